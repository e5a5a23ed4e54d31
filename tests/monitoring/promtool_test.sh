#!/usr/bin/env bash
# Checks the alert rules in <dir> (blr-alerts.yml) and runs their unit tests
# (blr-alerts_test.yml) with promtool.  Exits 77 (skipped) without promtool;
# scripts/test.sh installs it (Debian package prometheus).
set -euo pipefail
dir=$1
command -v promtool >/dev/null 2>&1 || { echo "promtool is missing"; exit 77; }
cd "$dir"
promtool check rules blr-alerts.yml
promtool test rules blr-alerts_test.yml
