#!/usr/bin/env bash
# Every factory preset's level as a fresh instance plays it (its cabinet, or the
# model's own for a tone preset), rendered by quorle-render: the plucked phrase's
# RMS and peak (dBFS), and the RMS over the recordings in DIR (tools/measure/
# recordings.sh makes them), each brought to -21 dBFS RMS first: their mean and
# range. The presets' Post gain is chosen so that the means sit at -24 dBFS.
#   bash tools/measure/preset-levels.sh DIR      BUILD_DIR (default build)
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:?usage: preset-levels.sh DIR}
build=${BUILD_DIR:-build}
render="$build/tools/quorle-render"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# RMS and peak of a file in dBFS, from sox.
levels() { sox "$1" -n stats 2>&1 | awk '/^RMS lev dB/ {r=$4} /^Pk lev dB/ {p=$4} END {print r, p}'; }

"$build/tools/make-test-signal" "$work/phrase.wav" 1 48000 4
takes=()
for f in "$dir"/*.wav "$dir"/*.flac; do
  [ -e "$f" ] || continue
  case "$f" in *low-note*) continue ;; esac
  name=$(basename "${f%.*}")
  sox "$f" -c 1 -r 48000 -e floating-point "$work/raw-$name.wav"
  rms=$(levels "$work/raw-$name.wav" | cut -d' ' -f1)
  sox "$work/raw-$name.wav" "$work/take-$name.wav" gain "$(awk -v r="$rms" 'BEGIN {print -21 - r}')"
  takes+=("$work/take-$name.wav")
done

printf '%-20s %8s %8s %8s %16s\n' preset phrase peak takes range
"$render" --list-presets | while read -r short _; do
  "$render" --preset "$short" "$work/phrase.wav" "$work/out.wav" 2>/dev/null
  read -r prms ppeak < <(levels "$work/out.wav")
  all=""
  for t in "${takes[@]}"; do
    "$render" --preset "$short" "$t" "$work/out.wav" 2>/dev/null
    all+="$(levels "$work/out.wav" | cut -d' ' -f1) "
  done
  echo "$short $prms $ppeak $all" | awk '{
    s = 0; lo = 1e9; hi = -1e9
    for (i = 4; i <= NF; i++) { s += $i; if ($i < lo) lo = $i; if ($i > hi) hi = $i }
    printf "%-20s %8.1f %8.1f %8.1f %7.1f..%-7.1f\n", $1, $2, $3, s / (NF - 3), lo, hi }'
done
