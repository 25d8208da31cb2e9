#!/usr/bin/env bash
# Runs the commands of "Rendering files" in the top README as they stand, in a
# scratch folder where build/ is the build under test, one line at a time, and
# checks what each one leaves: the output file of a render, every model's file of
# a demo, the names a listing prints. The README's other blocks need root, apt, a
# GUI or JACK and are not run here.
#   readme-commands.sh README BUILD_DIR WORK_DIR
set -euo pipefail
readme=$(realpath "$1") build=$(realpath "$2") work=$3
rm -rf "$work"
mkdir -p "$work"
ln -s "$build" "$work/build"

# The section's sh blocks, one command a line (a line ending in "\" goes on).
awk '/^## Rendering files/ { on = 1; next }
  on && /^## / { on = 0 }
  on && $0 == "```sh" { code = 1; next }
  code && /^```$/ { code = 0; next }
  code' "$readme" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' >"$work/steps.txt"
grep -q '^build/tools/quorle-render ' "$work/steps.txt" ||
  { echo "no quorle-render commands found under \"Rendering files\" in $readme"; exit 1; }
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
models=$(build/tools/quorle-render --list-models | wc -l)
[ "$models" -gt 0 ] || fail "quorle-render lists no models"
ran=0
while IFS= read -r line; do
  [ -n "$line" ] || continue
  case "$line" in build/tools/*) ;; *) fail "not a build/tools command: $line" ;; esac
  echo "+ $line"
  bash -euo pipefail -c "$line" </dev/null >out.txt 2>err.txt || { cat err.txt >&2; fail "failed: $line"; }
  read -r -a words <<<"$line"
  last=${words[${#words[@]} - 1]}
  # The file a command writes: its last word naming a sound file.
  written=
  for word in "${words[@]}"; do
    case "$word" in *.wav | *.flac | *.aiff | *.caf | *.w64 | *.au | *.ogg) written=$word ;; esac
  done
  case "$line" in
  *--demo*)
    [ "$(find "$last" -name '*.wav' -size +1k | wc -l)" -eq "$models" ] ||
      fail "$line: not one file per model in $last"
    ;;
  *--list-models*) grep -q '^0 ' out.txt || fail "$line: no model 0" ;;
  *--list-presets*)
    # Every preset the README's lines name by its short name is listed.
    for name in $(grep -o -- '--preset [a-z0-9-]*' steps.txt | cut -d' ' -f2 | sort -u); do
      grep -q "^$name " out.txt || fail "$line: preset $name not listed"
    done
    ;;
  *)
    [ -n "$written" ] || fail "$line: writes no sound file the test can check"
    [ -s "$written" ] && [ "$(wc -c <"$written")" -gt 1024 ] ||
      fail "$line: $written missing or empty"
    ;;
  esac
  ran=$((ran + 1))
done <steps.txt
echo "readme: $ran commands ran"
