#!/usr/bin/env bash
# The plug-in in real LV2 hosts (Debian's lilv utilities): lv2apply renders the
# same as quorle-render, lv2info shows the ports and presets, lv2_validate accepts
# the description and presets (exit 77, skipped, without it) and lv2bench runs it;
# and quorle-render as a user runs it (render-cli) and within a memory limit
# (render-memory).
#   lv2-hosts.sh CHECK TOOLS_DIR LV2_DIR WORK_DIR
set -euo pipefail
check=$1 tools=$2 lv2dir=$3 work=$4
export LV2_PATH="$lv2dir:/usr/lib/lv2:/usr/local/lib/lv2"
mono='http://pellark.invalid/plugins/quorle#mono'
stereo='http://pellark.invalid/plugins/quorle#stereo'
mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

case "$check" in
apply)
  # lv2apply does not compensate latency: both render without oversampling.
  "$tools/make-test-signal" "$work/mono.wav" 1 44100 1
  "$tools/make-test-signal" "$work/stereo.wav" 2 48000 1
  "$tools/quorle-render" --bundle "$lv2dir/quorle.lv2" --block 1 --drive 0.8 --bass 0.3 \
    --model 3-crunch --oversampling 1 "$work/mono.wav" "$work/mono-render.wav"
  lv2apply -i "$work/mono.wav" -o "$work/mono-lv2.wav" -c drive 0.8 -c bass 0.3 -c model 2 \
    -c oversampling 1 "$mono" >/dev/null
  "$tools/audio-diff" "$work/mono-render.wav" "$work/mono-lv2.wav" || fail "mono output differs"
  "$tools/quorle-render" --bundle "$lv2dir/quorle.lv2" --block 1 --post 0.9 --model 3 \
    --oversampling 1 "$work/stereo.wav" "$work/stereo-render.wav"
  lv2apply -i "$work/stereo.wav" -o "$work/stereo-lv2.wav" -c post 0.9 -c model 3 \
    -c oversampling 1 "$stereo" >/dev/null
  "$tools/audio-diff" "$work/stereo-render.wav" "$work/stereo-lv2.wav" || fail "stereo output differs"
  # A shipped cabinet, chosen by name on the command line and by the Cabinet port.
  "$tools/quorle-render" --bundle "$lv2dir/quorle.lv2" --block 1 --model 3 --cabinet 4x12-closed \
    --oversampling 1 "$work/stereo.wav" "$work/stereo-cab-render.wav"
  lv2apply -i "$work/stereo.wav" -o "$work/stereo-cab-lv2.wav" -c model 3 -c cabinet 5 \
    -c oversampling 1 "$stereo" >/dev/null
  "$tools/audio-diff" "$work/stereo-cab-render.wav" "$work/stereo-cab-lv2.wav" ||
    fail "the cabinet's output differs"
  ;;
info)
  out=$(lv2info "$mono" 2>/dev/null)
  for symbol in drive post bass model; do
    grep -q "Symbol: *$symbol\$" <<<"$out" || fail "port $symbol missing"
  done
  for label in 1-clean 2-edge 3-crunch 4-lead 5-high-gain 6-octave-fuzz; do
    grep -q "\"$label\"" <<<"$out" || fail "model label $label missing"
  done
  grep -q "Maximum: *63.000000" <<<"$out" || fail "model range"
  [ "$(grep -c 'Maximum: *1.000000' <<<"$out")" -eq 3 ] || fail "control ranges"
  # Both plug-ins list the factory presets.
  for uri in "$mono" "$stereo"; do
    presets=$(lv2info "$uri" 2>/dev/null | sed -n '/^\tPresets:/,/^$/p')
    for label in "Clean sparkle" "Edge of breakup" "Classic crunch" "Singing lead" \
      "Modern high gain" "Octave fuzz"; do
      grep -q "^\s*$label\$" <<<"$presets" || fail "preset $label missing for $uri"
    done
  done
  ;;
validate)
  # The description and the presets; lv2_validate comes with lv2-dev (77: skipped).
  command -v lv2_validate >/dev/null || { echo "lv2_validate not installed"; exit 77; }
  lv2_validate "$lv2dir/quorle.lv2/"*.ttl 2>&1 | tee "$work/validate.log"
  grep -q "Found 0 errors" "$work/validate.log" || fail "the description does not validate"
  ;;
bench)
  for uri in "$mono" "$stereo"; do
    out=$(lv2bench -b 512 -n 88200 "$uri" 2>&1)
    grep -qi 'error\|warning' <<<"$out" && fail "lv2bench complained: $out"
    grep -q "$uri" <<<"$out" || fail "lv2bench did not run $uri: $out"
  done
  ;;
missing-archive)
  # Without its data archive the plug-in outputs silence and says so once.
  rm -rf "$work/broken/quorle.lv2" && mkdir -p "$work/broken/quorle.lv2"
  cp "$lv2dir/quorle.lv2/"*.ttl "$lv2dir/quorle.lv2/"*.so "$work/broken/quorle.lv2/"
  "$tools/make-test-signal" "$work/short.wav" 1 44100 0.2
  "$tools/make-test-signal" "$work/silence.wav" 1 44100 0.2 silent
  LV2_PATH="$work/broken" lv2apply -i "$work/short.wav" -o "$work/silent.wav" "$mono" \
    >/dev/null 2>"$work/stderr.log" || fail "lv2apply failed"
  [ "$(grep -c '^quorle: ' "$work/stderr.log")" -eq 1 ] || fail "expected one line on stderr"
  "$tools/audio-diff" "$work/silence.wav" "$work/silent.wav" || fail "expected silence"
  ;;
render-cli)
  bundle="$lv2dir/quorle.lv2"
  "$tools/make-test-signal" "$work/zero.wav" 2 44100 0
  "$tools/quorle-render" --bundle "$bundle" "$work/zero.wav" "$work/zero-out.wav" || fail "0 frames"
  "$tools/audio-diff" "$work/zero.wav" "$work/zero-out.wav" || fail "0-frame output"
  "$tools/make-test-signal" "$work/in.wav" 3 22050 0.3
  "$tools/quorle-render" --bundle "$bundle" --block 100000 "$work/in.wav" "$work/out.flac" || fail "long blocks"
  [ "$("$tools/quorle-render" --bundle "$bundle" --list-models | wc -l)" -eq 6 ] || fail "list"
  expect_error() { # the command fails with one line on stderr naming the problem
    local what=$1; shift
    if "$@" >/dev/null 2>"$work/err.log"; then fail "$what: no error"; fi
    [ "$(wc -l <"$work/err.log")" -eq 1 ] || fail "$what: $(cat "$work/err.log")"
    grep -qi "$what" "$work/err.log" || fail "$what: $(cat "$work/err.log")"
  }
  "$tools/quorle-render" --bundle "$bundle" "$work/in.wav" "$work/quiet.wav" 2>"$work/quiet.log" || fail "render"
  [ ! -s "$work/quiet.log" ] || fail "a render that succeeds says something: $(cat "$work/quiet.log")"
  # A file rendered onto itself gives what it gives into another file.
  "$tools/make-test-signal" "$work/self.wav" 2 48000 3
  "$tools/quorle-render" --bundle "$bundle" --block 300 --model 3 "$work/self.wav" "$work/other.wav"
  "$tools/quorle-render" --bundle "$bundle" --block 300 --model 3 "$work/self.wav" "$work/self.wav" &&
    "$tools/audio-diff" "$work/other.wav" "$work/self.wav" || fail "rendering a file onto itself"
  expect_error "unknown model" "$tools/quorle-render" --bundle "$bundle" --model nope "$work/in.wav" "$work/x.wav"
  expect_error "unknown model" "$tools/quorle-render" --bundle "$bundle" --model "" "$work/in.wav" "$work/x.wav"
  expect_error "unknown model" "$tools/quorle-render" --bundle "$bundle" --model 6 "$work/in.wav" "$work/x.wav"
  expect_error "from 0 to 1" "$tools/quorle-render" --bundle "$bundle" --drive 1.5 "$work/in.wav" "$work/x.wav"
  expect_error "oversampling needs 1, 2, 4 or 8" "$tools/quorle-render" --bundle "$bundle" --oversampling 3 "$work/in.wav" "$work/x.wav"
  expect_error "cannot read" "$tools/quorle-render" --bundle "$bundle" "$work/none.wav" "$work/x.wav"
  expect_error "cannot write" "$tools/quorle-render" --bundle "$bundle" "$work/in.wav" "$work/no/dir/x.wav"
  expect_error "cannot load" "$tools/quorle-render" --bundle "$work/nowhere" "$work/in.wav" "$work/x.wav"
  mkdir -p "$work/broken" && cp "$bundle/quorle.so" "$work/broken/"
  expect_error "status -1" "$tools/quorle-render" --bundle "$work/broken" "$work/in.wav" "$work/x.wav"
  # Sample rates the unit refuses, written into a file's header (bytes 24..27).
  for rate in 1:'\001\000\000\000' 400000:'\200\032\006\000'; do
    cp "$work/in.wav" "$work/rate.wav"
    printf "${rate#*:}" | dd of="$work/rate.wav" bs=1 seek=24 count=4 conv=notrunc status=none
    expect_error "sample rate ${rate%%:*} Hz is not supported (8000..384000 Hz)" \
      "$tools/quorle-render" --bundle "$bundle" "$work/rate.wav" "$work/x.wav"
  done
  ;;
render-memory)
  # A long file renders in bounded memory: ten minutes of stereo at 48 kHz (230 MB
  # of samples) within 300 MB of address space, where holding the whole file needs
  # about a gigabyte.
  bundle="$lv2dir/quorle.lv2"
  trap 'rm -f "$work/long.wav" "$work/long-out.wav"' EXIT
  "$tools/make-test-signal" "$work/long.wav" 2 48000 600
  (ulimit -v 300000 && exec "$tools/quorle-render" --bundle "$bundle" "$work/long.wav" \
    "$work/long-out.wav") || fail "the long file"
  # Same format and channels: the same size means the same length.
  [ "$(stat -c %s "$work/long.wav")" -eq "$(stat -c %s "$work/long-out.wav")" ] ||
    fail "the long file's output has another length"
  # Whatever the memory it is given, it renders or says so in one line with status 1.
  "$tools/make-test-signal" "$work/mid.wav" 2 48000 20
  for limit in $(seq 20000 10000 130000); do
    status=0
    (ulimit -v "$limit" && exec "$tools/quorle-render" --bundle "$bundle" "$work/mid.wav" \
      "$work/mid-out.wav") 2>"$work/err.log" || status=$?
    [ "$status" -eq 0 ] ||
      { [ "$status" -eq 1 ] && [ "$(wc -l <"$work/err.log")" -eq 1 ] &&
        grep -q '^quorle-render: ' "$work/err.log"; } ||
      fail "within $limit kB: status $status: $(cat "$work/err.log")"
  done
  ;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
