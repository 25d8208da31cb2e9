#!/usr/bin/env bash
# quorle in Ardour 7 as a player meets it, headless: Xvfb, JACK's dummy driver, a
# session with one track and quorle (mono) made by ardour7-lua, opened in Ardour's
# mixer. Checks that the mixer strip draws the plug-in's inline display (its
# background among the strip's pixels) and that a double-click opens the plug-in's
# own interface window; with SHOTS=DIR it leaves screenshots there. Exit 77 (a
# skip for ctest) when Ardour, jackd, Xvfb, xdotool or ImageMagick is missing.
#   bash tests/ui-ardour.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: ui-ardour.sh BUILD_DIR}" && pwd)
for tool in ardour ardour7-lua ardour7-new_empty_session jackd Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 1
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "FAIL: $*"
  [ -n "${SHOTS:-}" ] && mkdir -p "$SHOTS" && import -window root "$SHOTS/ardour-failed.png"
  exit 1
}

# A home of its own: Ardour's first-run questions answered, JACK chosen.
export HOME="$work/home"
mkdir -p "$HOME/.config/ardour7"
touch "$HOME/.config/ardour7/.a7"
cat > "$HOME/.config/ardour7/config" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config/>
  <Extra>
    <AudioMIDISetup>
      <EngineStates>
        <State backend="JACK" driver="" device="" input-device="" output-device="" sample-rate="48000" buffer-size="256" n-periods="0" input-latency="0" output-latency="0" lm-input="" lm-output="" active="1" use-buffered-io="0" midi-option="" lru="1"/>
      </EngineStates>
    </AudioMIDISetup>
  </Extra>
</Ardour>
XML

display=":$((200 + $$ % 500))"
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY="$display"
export JACK_DEFAULT_SERVER="quorle-ui-$$"
jackd -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
pids+=($!)
sleep 2
export LV2_PATH="$build/lv2:/usr/lib/lv2"

ardour7-new_empty_session "$work/s" s >/dev/null 2>&1 || fail "ardour7-new_empty_session"
cat > "$work/add.lua" <<LUA
AudioEngine:set_backend("JACK", "", "")
AudioEngine:start()
local s = load_session("$work/s", "s")
assert(s, "the session does not load")
local tracks = s:new_audio_track(1, 1, nil, 1, "guitar", ARDOUR.PresentationInfo.max_order,
                                 ARDOUR.TrackMode.Normal, true)
local p = ARDOUR.LuaAPI.new_plugin(s, "http://pellark.invalid/plugins/quorle#mono",
                                   ARDOUR.PluginType.LV2, "")
assert(not p:isnil(), "quorle is not found")
tracks:front():add_processor_by_index(p, 0, nil, true)
-- A factory preset loaded, and the plug-in run a while after it.
local plugin = p:to_insert():plugin(0)
local preset = plugin:preset_by_label("Classic crunch")
assert(preset, "no preset Classic crunch")
assert(plugin:load_preset(preset), "the preset did not load")
ARDOUR.LuaAPI.usleep(500000)
s:save_state("", false, false, false, false, false)
close_session()
LUA
timeout 90 ardour7-lua "$work/add.lua" >"$work/lua.log" 2>&1 || { cat "$work/lua.log"; fail "ardour7-lua"; }
# Ardour names any patch:Set of a property it cannot write (the plug-in tells
# read-only values as reports): nothing after the preset load.
if grep -n "patch:Set" "$work/lua.log"; then
  fail "Ardour's log speaks of the plug-in's messages after a preset load (above)"
fi

ardour -n -a "$work/s/s.ardour" >"$work/ardour.log" 2>&1 &
pids+=($!)
# Without a window manager every window sits where Ardour puts it: the main one at
# the top left, its dialogs in the middle of the 1600x1000 screen. The warning a
# limit on locked memory brings is answered by its OK.
sleep 25
xdotool mousemove 968 570 click 1
main=$(timeout 40 xdotool search --sync --name "s - Ardour" | head -1)
[ -n "$main" ] || { tail -20 "$work/ardour.log"; fail "Ardour's window did not open"; }
sleep 3
# The mixer (its button at the top right), then the plug-in's place in the strip.
xdotool mousemove 1326 73 click 1
sleep 4
shot() { import -window root "$1"; }
shot "$work/mixer.png"
# The inline display's background (33, 31, 28) fills most of its rectangle.
strip=$(convert "$work/mixer.png" -crop 100x30+282+215 -format "%[fx:mean.r*255] %[fx:mean.g*255]" info:)
echo "inline display's mean red, green: $strip"
awk -v s="$strip" 'BEGIN { split(s, v, " "); exit !(v[1] > 20 && v[1] < 90 && v[2] > 18 && v[2] < 90) }' \
  || fail "the mixer strip shows no inline display"

# A loaded machine may let the first double-click go by: up to three tries.
ui=
for try in 1 2 3; do
  xdotool mousemove 340 207
  sleep 0.5
  xdotool click --repeat 2 --delay 40 1
  ui=$(timeout 15 xdotool search --sync --name "quorle" 2>/dev/null | grep -v "^$main$" | head -1)
  [ -n "$ui" ] && break
done
sleep 2
shot "$work/interface.png"
if [ -n "${SHOTS:-}" ]; then
  mkdir -p "$SHOTS"
  cp "$work/mixer.png" "$SHOTS/ardour-mixer.png"
  cp "$work/interface.png" "$SHOTS/ardour-interface.png"
fi
[ -n "$ui" ] || fail "a double-click opened no interface window"
echo "Ardour opened quorle's interface (window $ui: $(xdotool getwindowname "$ui"))"

# A drag up on Drive in that window, then the session saved (Session, Save): the
# plug-in's drive port in the saved session has moved up from 0.5.
eval "$(xdotool getwindowgeometry --shell "$ui")"
xdotool mousemove $((X + 76)) $((Y + 139)) mousedown 1
for step in $(seq 1 8); do xdotool mousemove_relative -- 0 -5; sleep 0.05; done
xdotool mouseup 1
sleep 1
xdotool windowmove "$ui" 700 420 # off the menu bar
sleep 1
xdotool mousemove 29 12 click 1 # Session
sleep 1
xdotool mousemove 41 113 click 1 # Save
sleep 3
drive=$(grep -o '<Port symbol="drive" value="[^"]*"' "$work/s/s.ardour" | head -1 | sed 's/.*value="//; s/"//')
echo "drive in the saved session: ${drive:-none}"
awk -v d="${drive:-0}" 'BEGIN { exit !(d > 0.55) }' || fail "the drag on Drive did not reach the plug-in"
[ -n "${SHOTS:-}" ] && shot "$SHOTS/ardour-dragged.png"
# Opening the session restored the plug-in's state: Ardour said nothing of it (it
# names any patch:Set of a property it cannot write).
if grep -n "patch:Set\|quorle" "$work/ardour.log" | grep -iv "^[0-9]*:.*scanning"; then
  fail "Ardour's log speaks of the plug-in (above)"
fi
echo "PASS"
