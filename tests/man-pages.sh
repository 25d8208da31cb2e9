#!/usr/bin/env bash
# The manual pages against the programs: each page, as man shows it, names every
# option the program's --help lists (quorle-model: every command's --help too) and
# every command, names no option the program does not list (besides --help, -h
# and --version; its examples aside), and man reads it without a warning.
#   man-pages.sh TOOLS_DIR MAN_DIR
set -euo pipefail
tools=$1 man=$2
command -v man >/dev/null || { echo "man is not installed"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# The options a text names: words starting with - or -- after a space, a bracket or
# a line's start.
options() { grep -oE '(^|[][ (,|])--?[a-z][a-z0-9-]*' | sed 's/^[][ (,|]//' | sort -u; }

for program in quorle-render quorle-model; do
  page=$man/$program.1.gz
  [ -f "$page" ] || fail "no manual page $page"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$program.1: $warnings"
  text=$(LC_ALL=C MANWIDTH=1000 man --nh --nj -E ascii -l "$page" 2>/dev/null | col -b)

  help=$("$tools/$program" --help)
  commands=""
  if [ "$program" = quorle-model ]; then
    commands=$(sed -n '/^commands:/,$p' <<<"$help" | sed -n 's/^  \([a-z]*\) .*/\1/p')
    for command in $commands; do
      # (A build without the measuring part refuses measure and cabinets.)
      help+=$'\n'$("$tools/$program" "$command" --help 2>/dev/null || true)
      grep -qE "^ +$command( |$)" <<<"$text" || fail "$program.1 does not describe the command $command"
    done
  fi
  listed=$(options <<<"$help")
  [ -n "$listed" ] || fail "$program --help lists no options"
  for option in $listed; do
    grep -qE "(^|[^a-z0-9-])$option([^a-z0-9-]|$)" <<<"$text" ||
      fail "$program.1 does not name $option, which $program's help lists"
  done
  # (The examples may show other programs' options.)
  for option in $(sed '/^EXAMPLES/,$d' <<<"$text" | options); do
    case "$option" in --help | -h | --version) continue ;; esac
    grep -qxF -- "$option" <<<"$listed" || fail "$program.1 names $option, which $program's help does not list"
  done
  echo "$program.1: $(wc -w <<<"$listed") options${commands:+, commands $(echo $commands)}"
done
