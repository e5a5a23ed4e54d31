#!/usr/bin/env bash
# Runs a browser test (status_page.test.mjs unless a third argument names
# another): installs puppeteer-core (the locked version) below the build
# tree, then drives headless Chromium.  Skips (exit 77) only when
# Node.js, npm or Chromium is missing, or the package can't be installed.
set -euo pipefail
src_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
build_dir=$(cd "$1" && pwd)  # the test's directory in the build tree
tools_dir=$(cd "$2" && pwd)
test_file=${3:-status_page.test.mjs}

skip() { echo "SKIPPED: $*" >&2; exit 77; }
command -v node >/dev/null || skip "no Node.js (scripts/deps.sh installs it)"
command -v npm >/dev/null || skip "no npm (scripts/deps.sh installs it)"
chromium=$(command -v chromium || command -v chromium-browser || true)
[ -n "$chromium" ] || skip "no Chromium (scripts/deps.sh installs the Debian package chromium)"

if ! cmp -s "$src_dir/package-lock.json" "$build_dir/package-lock.json" ||
   [ ! -d "$build_dir/node_modules/puppeteer-core" ]; then
  cp "$src_dir/package.json" "$src_dir/package-lock.json" "$build_dir/"
  (cd "$build_dir" && timeout 300 npm ci --no-audit --no-fund --loglevel=error) ||
    skip "couldn't install puppeteer-core from the npm registry"
fi
cp "$src_dir/$test_file" "$src_dir/trial.mjs" "$build_dir/"
cd "$build_dir"
# The pictures of the docs are made again only when asked for
# (BLR_UPDATE_DOCS_IMAGES=1): a test run leaves the source tree as it was.
docs_images=
[ "${BLR_UPDATE_DOCS_IMAGES:-}" = 1 ] && docs_images=$src_dir/../../docs/images
BLR_TOOLS_DIR=$tools_dir BLR_CHROMIUM=$chromium BLR_ARTEFACT_DIR=$build_dir/artefacts \
  BLR_DOCS_IMAGES=$docs_images PUPPETEER_SKIP_DOWNLOAD=1 timeout 180 node "$test_file"
