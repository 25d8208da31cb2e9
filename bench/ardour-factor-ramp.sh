#!/usr/bin/env bash
# An Oversampling lane drawn in Ardour 7 from 8x to 1x, as a player draws it (two
# points, which Ardour joins with a linear ramp through 4x and 2x), played through
# quorle (mono) and exported, headless: JACK's dummy driver at 48 kHz, a track whose
# SinGen (Ardour's own sine generator: 220 Hz, -12 dB) feeds the plug-in, the ramp
# from 1 s to 1 s + RAMP, the master bus exported to WAV by ardour7-lua. For each
# ramp it prints the steady level, the quietest and loudest 5 ms window after it
# against it, the largest sample step against the steady one, and the gaps
# (stretches 6 dB under the steady quietest window).
#   bash bench/ardour-factor-ramp.sh BUILD_DIR [RAMP_SECONDS ...]   (default 0.01 0.1)
# The judged stretch runs from 0.95 s to 0.4 s after the ramp (at most 1.95 s).
# Needs ardour7 (ardour7-lua, ardour7-new_session), jackd and python3. On a busy
# machine JACK's dummy server now and then halts mid-export ("the export failed"):
# run it again.
set -uo pipefail
build=$(cd "${1:?usage: ardour-factor-ramp.sh BUILD_DIR [RAMP_SECONDS ...]}" && pwd)
shift
ramps=("$@")
[ $# -eq 0 ] && ramps=(0.01 0.1)
for tool in ardour7-lua ardour7-new_session jackd python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 2; }
done
work=$(mktemp -d)
jack=
finish() {
  [ -n "$jack" ] && kill "$jack" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
export HOME="$work/home"
mkdir -p "$HOME/.config/ardour7"
touch "$HOME/.config/ardour7/.a7"
export LV2_PATH="$build/lv2:/usr/lib/lv2"

for ramp in "${ramps[@]}"; do
  # A JACK server of its own for each session: one Ardour leaves is not reused.
  [ -n "$jack" ] && kill "$jack" 2>/dev/null && wait "$jack" 2>/dev/null
  export JACK_DEFAULT_SERVER="quorle-ramp-$$-$ramp"
  jackd -t 10000 -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
  jack=$!
  sleep 2
  rm -rf "$work/s"
  ardour7-new_session -m 1 "$work/s" s >/dev/null 2>&1 || { echo "ardour7-new_session failed"; exit 1; }
  cat > "$work/ramp.lua" <<LUA
AudioEngine:set_backend("JACK", "", "")
AudioEngine:start()
local s = load_session("$work/s", "s")
assert(s, "the session does not load")
local t = s:new_audio_track(1, 1, nil, 1, "guitar", ARDOUR.PresentationInfo.max_order,
                            ARDOUR.TrackMode.Normal, true):front()
local gen = ARDOUR.LuaAPI.new_luaproc(s, "SinGen")
assert(not gen:isnil(), "no SinGen")
t:add_processor_by_index(gen, 0, nil, true)
ARDOUR.LuaAPI.set_processor_param(gen, 0, 220)
ARDOUR.LuaAPI.set_processor_param(gen, 1, -12)
local p = ARDOUR.LuaAPI.new_plugin(s, "http://pellark.invalid/plugins/quorle#mono",
                                   ARDOUR.PluginType.LV2, "")
assert(not p:isnil(), "quorle is not found")
t:add_processor_by_index(p, 1, nil, true)
-- The Oversampling control: its place among the controls and its port.
local plug = p:to_insert():plugin(0)
local param, port = -1, -1
for j = 0, 16 do
  local at, ok = plug:nth_parameter(j, true)
  if not ok then break end
  if plug:parameter_is_input(at) and plug:parameter_label(at) == "Oversampling" then
    param, port = j, at
  end
end
assert(param >= 0, "no Oversampling control")
local al, cl = ARDOUR.LuaAPI.plugin_automation(p, param)
local rate = s:nominal_sample_rate()
cl:add(Temporal.timepos_t(0), 8, false, false)
cl:add(Temporal.timepos_t(rate), 8, false, false)
cl:add(Temporal.timepos_t(math.floor(rate * (1 + $ramp))), 1, false, false)
cl:add(Temporal.timepos_t(2 * rate), 1, false, false)
p:to_insert():to_automatable():automation_control(
  Evoral.Parameter(ARDOUR.AutomationType.PluginAutomation, 0, port), false)
  :set_automation_state(ARDOUR.AutoState.Play)
local e = s:simple_export()
e:set_range(0, 2 * rate)
e:set_folder("$work")
e:set_name("ramp")
e:set_preset("75969a1c-3133-4694-864b-a1fa50e43348") -- WAV at the session's rate
assert(e:run_export(), "the export failed")
print("exported")
LUA
  rm -f "$work/ramp.wav"
  timeout 120 ardour7-lua "$work/ramp.lua" >"$work/lua.log" 2>&1
  grep -q "^exported" "$work/lua.log" && [ -s "$work/ramp.wav" ] \
    || { grep -v "Ignored format" "$work/lua.log" | tail -5; tail -5 "$work/jackd.log"; echo "the export failed"; exit 1; }
  echo "8x to 1x drawn over $ramp s:"
  python3 - "$work/ramp.wav" "$ramp" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1])
end = min(1.4 + float(sys.argv[2]), 1.95)
n, rate, width, channels = w.getnframes(), w.getframerate(), w.getsampwidth(), w.getnchannels()
assert width == 2, "16-bit WAV expected"
x = [v / 32768.0 for v in struct.unpack('<%dh' % (n * channels), w.readframes(n))[::channels]]
window = rate // 200
sums = [0.0]
for v in x:
    sums.append(sums[-1] + v * v)
def rms(a):
    return math.sqrt(max(sums[a + window] - sums[a], 0.0) / window)
steady = [rms(a) for a in range(int(0.5 * rate), int(0.95 * rate))]
quiet, loud = min(steady), max(steady)
during = [rms(a) for a in range(int(0.95 * rate), int(end * rate) - window)]
def step(a, b):
    return max(abs(x[i] - x[i - 1]) for i in range(a, b))
gaps, inside = 0, False
for r in during:
    gaps += r < quiet / 2 and not inside
    inside = r < quiet / 2
print("  steady 5 ms RMS %.1f..%.1f dBFS; from 0.95 to %.2f s: quietest %+.2f dB, "
      "loudest %+.2f dB; largest step x%.2f the steady one; gaps: %d" % (
          20 * math.log10(quiet), 20 * math.log10(loud), end,
          20 * math.log10(min(during) / quiet), 20 * math.log10(max(during) / loud),
          step(int(0.95 * rate), int(end * rate)) / step(int(0.5 * rate), int(0.95 * rate)), gaps))
PY
done
