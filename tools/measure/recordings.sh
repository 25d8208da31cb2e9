#!/usr/bin/env bash
# Makes the folder of guitar recordings `quorle-model measure --rig DIR` judges the
# rig on, from Debian's packages (installed when missing): the four guitar takes
# of sonic-pi-samples (power-chord fifths, a slide, an Em9 chord, harmonics), and
# a clean electric guitar of fluid-soundfont-gm, sampled from a real instrument,
# played by fluidsynth (reverb and chorus off, 48 kHz): a riff on the low strings,
# strummed open chords, and a low A left to ring (clean-low-note, whose decay
# the rig measures).
#   bash tools/measure/recordings.sh DIR        BUILD_DIR (default build) holds
#                                               make-guitar-midi
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:?usage: recordings.sh DIR}
build=${BUILD_DIR:-build}

need=()
for p in sonic-pi-samples fluid-soundfont-gm fluidsynth; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -x "$build/tools/make-guitar-midi" ] || cmake --build "$build" --target make-guitar-midi >/dev/null

mkdir -p "$dir"
for take in guit_e_fifths guit_e_slide guit_em9 guit_harmonics; do
  cp "/usr/share/sonic-pi/samples/$take.flac" "$dir/$take.flac"
done
midi=$(mktemp -d)
trap 'rm -rf "$midi"' EXIT
"$build/tools/make-guitar-midi" "$midi" 27 # the clean electric guitar
for take in riff chords low-note; do
  fluidsynth -ni -q -R 0 -C 0 -g 0.8 -r 48000 -F "$dir/clean-$take.wav" \
    /usr/share/sounds/sf2/FluidR3_GM.sf2 "$midi/$take.mid" >/dev/null
done
ls "$dir"
