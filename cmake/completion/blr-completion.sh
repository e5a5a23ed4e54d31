#!/bin/bash
# Writes the bash completion of blr: the command tree as the program's own
# --help shows it (every family, verb, option, value choice and positional),
# followed by the completion function that reads it.
#
# usage: blr-completion.sh BLR FUNCTION_FILE OUTPUT
set -euo pipefail
blr=$1 function_file=$2 output=$3
mkdir -p "$(dirname "$output")"

declare -A subs opts valued choices args

# One help text as records: "sub NAME...", "opt VALUED NAMES...|CHOICES...",
# "pos NAME".  Entries start in column 3; their descriptions are two or more
# blanks further on, or on the next lines.
parse_help() {
  awk '
    /^[A-Za-z]+:$/ { section = tolower($0); next }
    /^  [^ ]/ {
      entry = substr($0, 3); sub(/  .*/, "", entry)
      n = split(entry, w, " ")
      if (section == "subcommands:") { gsub(/,/, "", entry); print "sub " entry }
      else if (section == "positionals:") print "pos " w[1]
      else if (section == "options:") {
        names = w[1]; gsub(/,/, " ", names)
        choice = ""
        if (n > 1 && match(w[2], /\{[^}]*\}/)) {
          choice = substr(w[2], RSTART + 1, RLENGTH - 2); gsub(/,/, " ", choice)
        }
        print "opt " (n > 1 && w[2] != "REQUIRED" ? 1 : 0) " " names "|" choice
      }
    }'
}

walk() {
  local path=$1 kind rest name
  local -a children=()
  # shellcheck disable=SC2086  # the path is words
  while read -r kind rest; do
    case $kind in
      sub)
        subs[$path]+="${subs[$path]:+ }$rest"
        for name in $rest; do children+=("$path $name"); done ;;
      pos) [ -n "${args[$path]:-}" ] || args[$path]=$rest ;;
      opt)
        local names=${rest#? } list=${rest#*|}
        names=${names%%|*}
        opts[$path]+="${opts[$path]:+ }$names"
        if [ "${rest%% *}" = 1 ]; then
          valued[$path]+="${valued[$path]:+ }$names"
          for name in $names; do [ -z "$list" ] || choices["$path $name"]=$list; done
        fi ;;
    esac
  done < <("$blr" ${path#blr} --help | parse_help)
  for name in "${children[@]}"; do walk "$name"; done
}

print_table() {
  local -n table=$1
  local key
  echo "declare -gA _blr_$1=("
  for key in "${!table[@]}"; do printf '  [%q]=%q\n' "$key" "${table[$key]}"; done | LC_ALL=C sort
  echo ")"
}

# Keys are command paths: "blr", "blr pairs", "blr pairs props"...
walk blr
[ -n "${subs[blr]:-}" ] || { echo "$0: no commands in the help of $blr" >&2; exit 1; }
{
  echo "# bash completion of blr, generated from its --help at build time."
  for t in subs opts valued choices args; do print_table "$t"; done
  cat "$function_file"
} >"$output.tmp"
mv "$output.tmp" "$output"
