#!/usr/bin/env bash
# The interface in a real host: jalv.gtk3 on JACK's dummy driver under Xvfb opens
# it, the interface's patch:Get reaches the plug-in through jalv and the plug-in's
# answer comes back; a drag on Drive with xdotool turns the knob in the window.
# (jalv 1.6 prints neither input control changes nor a UI's port writes, so the
# change is read back from the window.) Exit 77, skipped, without the programs.
#   ui-jalv.sh LV2_DIR WORK_DIR
set -uo pipefail
lv2dir=$(cd "$1" && pwd) work=$2
for tool in Xvfb jackd jalv.gtk3 xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work" && cd "$work"
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; wait 2>/dev/null; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >xvfb.log 2>&1 3>display &
pids+=($!)
for _ in $(seq 50); do [ -s display ] && break; sleep 0.1; done
[ -s display ] || { echo "Xvfb did not start"; exit 77; }
export DISPLAY=:$(head -1 display)
export JACK_DEFAULT_SERVER=quorle-ui-$$ JACK_NO_AUDIO_RESERVATION=1
jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >jackd.log 2>&1 &
pids+=($!)
sleep 1.5
LV2_PATH="$lv2dir" timeout 25 stdbuf -oL jalv.gtk3 -d 'http://pellark.invalid/plugins/quorle#mono' \
  >jalv.log 2>&1 &
pids+=($!)
window=
for _ in $(seq 100); do
  window=$(xdotool search --name '^quorle$' 2>/dev/null | head -1)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { cat jalv.log jackd.log; fail "jalv showed no quorle window"; }
sleep 1
knob() { import -window "$window" -crop 80x80+26+66 +repage -depth 8 rgb:- | md5sum; }
before=$(knob)
xdotool mousemove --window "$window" 66 106 mousedown 1 sleep 0.1 mousemove_relative -- 0 -20 \
  sleep 0.1 mousemove_relative -- 0 -20 sleep 0.1 mouseup 1
sleep 0.5
after=$(knob)
[ "$before" != "$after" ] || fail "the Drive knob did not turn"
grep -q 'UI => Plugin' jalv.log || fail "no message from the interface reached jalv"
grep -A4 'Plugin => UI' jalv.log | grep -q 'quorle#archive' || fail "the plug-in's answer did not come back"
echo "jalv hosts the interface; the Drive knob turned"
