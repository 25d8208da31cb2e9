#!/usr/bin/env bash
# Renders the same 60 seconds through quorle's mono LV2 plug-in and two Debian
# guitar processors with lv2bench (block 512), and prints x real time for each.
# Installs lilv-utils, guitarix-lv2 and calf-plugins when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for p in lilv-utils guitarix-lv2 calf-plugins; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -f build/lv2/quorle.lv2/quorle_lv2.so ] || { cmake -S . -B build >/dev/null && cmake --build build -j2 >/dev/null; }

export LV2_PATH="$PWD/build/lv2:/usr/lib/lv2:/usr/local/lib/lv2"
rate=44100
frames=$((60 * rate))
quorle=http://pellark.invalid/plugins/quorle#mono
gx=$(lv2ls | grep -m1 -i 'gx_studiopre' || true)
calf=$(lv2ls | grep -m1 -i 'calf.*Saturator' || true)

# lv2bench prints one line per plug-in: "seconds URI".
seconds() {
  lv2bench -b 512 -n "$frames" "$1" 2>/dev/null | awk -v u="$1" '$2 == u {print $1}' | tail -n1
}
printf '%-62s %12s\n' "plug-in (60 s at 44.1 kHz, block 512)" "x real time"
for uri in "$quorle" "$gx" "$calf"; do
  [ -n "$uri" ] || continue
  t=$(seconds "$uri")
  if [ -n "$t" ]; then
    awk -v u="$uri" -v t="$t" 'BEGIN { printf "%-62s %12.1f\n", u, 60 / t }'
  else
    printf '%-62s %12s\n' "$uri" "failed"
  fi
done
