#!/usr/bin/env bash
# The generated bash completion of blr against the program itself: every
# family, verb and option its --help shows is offered, option values and
# global options are handled, and plan and run names come from a live
# central server (none, and no hang, from a dead one).  Run with and without
# the bash-completion helpers when they are installed.
#
# usage: completion_test.sh <completion file> <directory of blr, blr-anchor>
set -euo pipefail
completion=$1 bin=$2
export PATH=$bin:$PATH

work=$(mktemp -d /tmp/blr-completion-XXXXXX)
anchor=
cleanup() {
  [ -z "$anchor" ] || { kill "$anchor" 2>/dev/null; wait "$anchor" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
cases=$work/cases

# A case: the word the completion must offer ("-": nothing at all) for a
# command line whose last word is being typed.
expect() { printf '%q ' "$@" >>"$cases"; echo >>"$cases"; }

# Runs every case in one shell: prints the failures, exits 1 on any.
run_cases() {
  bash -c '
    [ -z "$HELPERS" ] || source "$HELPERS"
    source "$1"
    failed=0
    while read -r line; do
      eval "args=($line)"
      COMP_WORDS=("${args[@]:1}") COMP_CWORD=$((${#args[@]} - 2))
      COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE} COMPREPLY=()
      _blr blr "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      if [ "${args[0]}" = - ]; then
        [ ${#COMPREPLY[@]} -eq 0 ] && continue
      else
        for w in "${COMPREPLY[@]}"; do [ "$w" = "${args[0]}" ] && continue 2; done
      fi
      echo "FAIL: \"${COMP_LINE}\" offers \"${COMPREPLY[*]}\", not \"${args[0]}\""
      failed=1
    done <"$2"
    exit $failed' "$completion" "$completion" "$cases"
}

# Commands and options as --help lists them, walked from the top; read here
# in the simplest way, apart from the generator's own parser.
help_section() {  # help_section SECTION COMMAND-PATH...
  local section=$1
  shift
  blr "$@" --help | awk -v s="$section:" '
    /^[A-Za-z]+:$/ { on = ($0 == s); next }
    on && /^  [^ ]/ { sub(/^  /, ""); sub(/  .*/, ""); print }'
}

walk() {
  local entry name
  for entry in $(help_section Options "$@" | awk '{ print $1 }' | tr ',' ' '); do
    expect "$entry" blr "$@" "${entry:0:3}"
  done
  for name in $(help_section Subcommands "$@" | tr -d ','); do
    expect "$name" blr "$@" ""
    expect "$name" blr "$@" "${name:0:2}"
    [ $# -gt 0 ] || expect "$name" blr -r "$work/x.reg" --json ""
    walk "$@" "$name"
  done
}

echo "== a trial with a plan that ran once"
blr certs init "$work/trial" --proxy head1 --proxy tail1 --operator cli --registries >/dev/null
sed 's/^nServerPort = .*/nServerPort = 1/' "$work/trial/cli.reg" >"$work/dead.reg"
blr-anchor serve --registry "$work/trial/anchor.reg" >"$work/anchor.out" 2>&1 &
anchor=$!
for _ in $(seq 100); do grep -q listening "$work/anchor.out" && break; sleep 0.1; done
cli=(blr -r "$work/trial/cli.reg")
"${cli[@]}" pairs create --sub-client 7 --dst-client 3 --head 2 --tail 3 --src-name web01 \
  --src-guid 6f1c0a3e-5b7d-4c2a-9e8f-1a2b3c4d5e6f --disk 11111111-2222-3333-4444-555555555555:/d0 >/dev/null
echo '{"name": "site b", "groups": [{"pairs": [1]}]}' | "${cli[@]}" plans create --file - >/dev/null
"${cli[@]}" plans failover "site b" >/dev/null 2>&1 || true  # no proxies: a failed run

walk
expect json blr plans report 1 --format ""
expect --json blr pairs list --lim 5 --j
expect --registry blr pairs show --reg
expect list blr --registry "$work/x.reg" pairs ""
expect update blr pairs up
expect "site\\ b" blr -r "$work/trial/cli.reg" plans show ""
expect "site\\ b" blr -r "$work/trial/cli.reg" --json plans failover s
expect 1 blr -r "$work/trial/cli.reg" plans report ""
expect - blr -r "$work/dead.reg" plans show ""
echo "== $(wc -l <"$cases") cases"

status=0
HELPERS= run_cases || status=1
if [ -f /usr/share/bash-completion/bash_completion ]; then
  echo "== again with the bash-completion helpers"
  HELPERS=/usr/share/bash-completion/bash_completion run_cases || status=1
fi
[ "$status" -eq 0 ] || exit 1
echo "completion test passed"
