#!/usr/bin/env bash
# quorle's LV2 plug-in side by side with the Debian guitar processors (guitarix amp
# and studio preamp, Calf Saturator, ZamTube, mda Overdrive): installs the peers
# and lilv when they are missing, builds peer-bench and the plug-in bundle, and
# prints peer-bench's table (60 s of the plucked phrase at 44.1 kHz, block 512,
# 5 repetitions, x real time per channel, the latency each reports). Arguments go
# to peer-bench, e.g.
#   bash bench/peers.sh --block 16,64,512
#   bash bench/peers.sh --markdown
#   bash bench/peers.sh --only quorle,calf --factors 1,2 --seconds 10
# BUILD_DIR (default build) is the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

need=()
for p in liblilv-dev lv2-dev guitarix-lv2 calf-plugins zam-plugins mda-lv2; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target peer-bench >/dev/null

echo "quorle at $(git rev-parse --short HEAD 2>/dev/null || echo '?')$(git diff --quiet HEAD 2>/dev/null || echo ' (with uncommitted changes)'), $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
"$build/bench/peer-bench" "$@"
