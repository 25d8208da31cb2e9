#!/usr/bin/env bash
# Runs the commands of "Writing a model" in data/README.md as they stand, in a
# scratch folder where build/ is the build under test, and compares what check
# prints with the output the section shows.
#   tutorial.sh README BUILD_DIR WORK_DIR
set -euo pipefail
readme=$(realpath "$1") build=$(realpath "$2") work=$3
rm -rf "$work"
mkdir -p "$work"
ln -s "$build" "$work/build"

# The section's blocks of one kind, in order, each closed by a line "#--".
blocks() {
  awk -v kind="$1" '/^## Writing a model/ { on = 1; next }
    on && /^## / { on = 0 }
    on && $0 == "```" kind { code = 1; next }
    code && /^```$/ { code = 0; print "#--"; next }
    code' "$readme"
}
blocks sh >"$work/steps.sh"
grep -q 'quorle-model pack' "$work/steps.sh" || { echo "no tutorial found in $readme"; exit 1; }
cd "$work"
bash -euo pipefail steps.sh

test -s my.data && test -s grit.png && test -s out.wav
# check prints what the section says it prints; the speed it measures is the
# machine's, so only its form is compared.
speed() { sed -E 's/runs at [0-9]+(\.[0-9]+)?x real time/runs at Nx real time/'; }
blocks text | awk '/^#--$/ { exit } { print }' | speed >shown.txt
build/tools/quorle-model check my-models/grit.xml --presets my-models 2>&1 | speed >printed.txt
grep -q 'runs at Nx real time' printed.txt || { echo "check printed no speed"; exit 1; }
diff -u shown.txt printed.txt
echo "tutorial: every step ran"
