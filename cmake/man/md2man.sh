#!/bin/sh
# Makes a manual page of a page of docs/: the page's title line becomes the
# NAME section and its first paragraphs DESCRIPTION (less the line saying
# that the page is a manual page); "##" headings become sections (upper
# case) and "###" subsections.  Fenced code is left alone.
#
# usage: md2man.sh LOWDOWN SOURCE.md NAME SECTION SUMMARY VERSION OUTPUT
set -eu
lowdown=$1 source=$2 name=$3 section=$4 summary=$5 version=$6 output=$7
mkdir -p "$(dirname "$output")"

awk -v name="$name" -v summary="$summary" '
  NR == 1 && /^# / { printf "# NAME\n\n%s - %s\n\n# DESCRIPTION\n", name, summary; next }
  /^This page is also the manual page / { getline; next }
  /^```/ { fenced = !fenced }
  !fenced && /^## / { print "# " toupper(substr($0, 4)); next }
  !fenced && /^### / { print "## " substr($0, 5); next }
  { print }
' "$source" |
  "$lowdown" -s -Tman -M "title=$name" -M "section=$section" -M "source=blr $version" \
    -M "date=" -o "$output" -
