#!/usr/bin/env bash
# Runs every LV2-host command of the top README as it stands (its sh blocks and the
# LV2_PATH and host commands written inline), in a scratch folder where build/ is
# the build under test and the plug-in is found as an installed one is (LV2_PATH
# holds the build's lv2/ and /usr/lib/lv2), and checks what the text around each
# claims:
#   lv2apply   the named ports play, the others keep their defaults: the output is
#              quorle-render's with the same options, as many frames late as the
#              text says; the cabinet plays (cabinet off gives another output)
#   ecasound   the values go to the ports in the order the text lists, which is
#              the order of the bundle's control ports; the output is lv2apply's
#              with those values, and plays the model and cabinet the text names
#   jackd      started as written but on JACK's dummy driver (-d alsa -> -d dummy)
#   jalv.gtk3  (under Xvfb) makes the ports the text names and plays a signal fed
#              to its input
#   jalv       in a terminal: the commands the text names list and set controls
#              and print the latency and meters; the ports' latency grows by the
#              plug-in's
#   LV2_PATH   a path to try the build with keeps the system's folders: lilv finds
#              every plug-in of /usr/lib/lv2 besides quorle, and files quorle in
#              the class the text names
# Other commands (building, installing, apt) belong to other tests; a host command
# this script does not know fails it. Exit 77 (skipped) without the programs.
#   readme-hosts.sh README BUILD_DIR WORK_DIR
set -euo pipefail
readme=$(realpath "$1") build=$(realpath "$2") work=$3
for tool in lv2apply lv2info lv2ls ecasound jackd jalv jalv.gtk3 jack_metro jack_rec jack_lsp \
  jack_connect jack_wait Xvfb sox stdbuf; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work"
ln -s "$build" "$work/build"
cd "$work"
export LV2_PATH="$build/lv2:/usr/lib/lv2"
export JACK_DEFAULT_SERVER=quorle-readme-$$ JACK_NO_AUDIO_RESERVATION=1
mono='http://pellark.invalid/plugins/quorle#mono'
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# The README's paragraph (blank-line separated) holding the text $1, on one line.
paragraph() { P="$1" perl -00 -ne 'print if index($_, $ENV{P}) >= 0' "$readme" | tr -s '\n ' '  '; }
# Peak level of a sound file's channel $2 (default 1), dBFS.
peak() { sox -V1 "$1" -n remix "${2:-1}" stats 2>&1 | awk '/^Pk lev dB/ {print $4}'; }
# Whether two files hold the same samples from frame $3 of the first on, against
# the second's frames up to its length less $3: the first $3 frames late.
late_by() {
  local frames
  frames=$(soxi -V1 -s "$2")
  sox -V1 "$1" a.wav trim "$3s" && sox -V1 "$2" b.wav trim 0 "$((frames - $3))s" &&
    build/tools/audio-diff a.wav b.wav
}

# The ports of a plug-in as lilv reads the bundle: "index in|out symbol" for each
# control port, in index order.
control_ports() {
  lv2info "$1" | awk '
    function flush() { if (control && symbol != "") print index_, direction, symbol }
    /^\tPort [0-9]+:/ { flush(); index_ = $2 + 0; control = 0; direction = ""; symbol = "" }
    /lv2core#ControlPort/ { control = 1 }
    /lv2core#InputPort/ { direction = "in" }
    /lv2core#OutputPort/ { direction = "out" }
    /^\t\tSymbol:/ { symbol = $2 }
    END { flush() }' | sort -n
}
# The label of value $3 of port $2 of plug-in $1 (lv2info prints a port's scale
# points before its symbol).
label_of() {
  lv2info "$1" | awk -v symbol="$2" -v value="$3" '
    function flush() { if (mine && label != "") print label; label = ""; mine = 0 }
    /^\tPort [0-9]+:/ { flush() }
    /^\t\tSymbol:/ { mine = ($2 == symbol) }
    $1 == value && $2 == "=" { label = $0; sub(/^[^"]*"/, "", label); sub(/"$/, "", label) }
    END { flush() }'
}

# The README's commands: each sh block's lines (a line ending in "\" goes on), then
# the inline ones that set LV2_PATH or start a host with arguments.
awk '$0 == "```sh" { code = 1; next } code && /^```$/ { code = 0; next } code' "$readme" |
  sed -e ':a' -e '/\\$/N; s/\\\n *//; ta' >blocks.txt
awk '/^```/ { code = !code; next } !code' "$readme" | tr '\n' ' ' | grep -o '`[^`]*`' | tr -d '`' |
  grep -E '^(LV2_PATH=|(jalv|jalv\.gtk3|lv2apply|ecasound|ardour|jackd) [^ ])' >inline.txt || true
[ -s blocks.txt ] || fail "no sh blocks in $readme"
build/tools/make-test-signal guitar.wav 1 48000 4

check_lv2apply() {
  local line=$1 in out controls=() options=() words
  eval "words=($(sed -E 's/^([A-Z_]+=[^ ]* )*//' <<<"$line"))" # as the shell splits it
  for ((i = 1; i < ${#words[@]} - 1; i++)); do
    case "${words[i]}" in
    -i) in=${words[i + 1]} ;;
    -o) out=${words[i + 1]} ;;
    -c)
      controls+=(-c "${words[i + 1]}" "${words[i + 2]}")
      case "${words[i + 1]}" in
      drive | post | bass | model | oversampling) options+=(--"${words[i + 1]}" "${words[i + 2]}") ;;
      *) fail "$line: the test cannot give quorle-render the port ${words[i + 1]}" ;;
      esac
      ;;
    esac
  done
  local uri=${words[${#words[@]} - 1]} late
  bash -euo pipefail -c "$line" </dev/null >/dev/null || fail "failed: $line"
  late=$(paragraph '**lv2apply**' | grep -o 'comes [0-9]* frames late' | grep -o '[0-9]*')
  [ -n "$late" ] || fail "the README does not say how late lv2apply's output comes"
  build/tools/quorle-render "${options[@]}" "$in" render.wav
  late_by "$out" render.wav "$late" ||
    fail "$line: not quorle-render's output with ${options[*]}, $late frames late"
  ! build/tools/audio-diff "$in" "$out" 2>/dev/null || fail "$line: the output is the input"
  lv2apply -i "$in" -o no-cabinet.wav "${controls[@]}" -c cabinet 0 "$uri" >/dev/null
  ! build/tools/audio-diff no-cabinet.wav "$out" 2>/dev/null ||
    fail "$line: the cabinet plays no part (the same output with cabinet 0)"
  echo "lv2apply: quorle-render's output with ${options[*]}, $late frames late, through the cabinet"
}

check_ecasound() {
  local line=$1 plugarg uri values ports listed
  plugarg=$(grep -o -- '-elv2:[^ ]*' <<<"$line")
  plugarg=${plugarg#-elv2:}
  uri=${plugarg%%,*}
  IFS=, read -r -a values <<<"${plugarg#*,}"
  mapfile -t ports < <(control_ports "$uri")
  [ "${#values[@]}" -le "${#ports[@]}" ] || fail "$line: more values than control ports"
  # The order the text gives, as the symbols it lists, is the bundle's.
  listed=$(paragraph '**ecasound**' | sed -n 's/.*outputs included: \(.*\)\. Give each.*/\1/p' |
    grep -o '`[a-z_]*`' | tr -d '`' | paste -sd' ')
  local order=""
  for ((i = 0; i < ${#values[@]}; i++)); do order+="${order:+ }$(cut -d' ' -f3 <<<"${ports[i]}")"; done
  [ "$listed" = "$order" ] ||
    fail "the README lists ecasound's ports as \"$listed\"; the bundle's first ${#values[@]} control ports are \"$order\""
  local reference=() model="" cabinet="" drive=""
  for ((i = 0; i < ${#values[@]}; i++)); do
    read -r _ direction symbol <<<"${ports[i]}"
    [ "$direction" = in ] || continue
    reference+=(-c "$symbol" "${values[i]}")
    case $symbol in model) model=${values[i]} ;; cabinet) cabinet=${values[i]} ;; drive) drive=${values[i]} ;; esac
  done
  bash -euo pipefail -c "$line" </dev/null >ecasound.log 2>&1 || { cat ecasound.log; fail "failed: $line"; }
  local out
  out=$(grep -o -- '-o [^ ]*' <<<"$line" | cut -d' ' -f2)
  lv2apply -i guitar.wav -o ecasound-reference.wav "${reference[@]}" "$uri" >/dev/null
  build/tools/audio-diff ecasound-reference.wav "$out" ||
    fail "$line: not lv2apply's output with ${reference[*]}"
  # What the text says the line plays.
  local claim
  claim=$(paragraph '**ecasound**' | grep -o 'This plays model[^:]*')
  [[ $claim =~ model\ ([0-9]+)\ \(([^\)]*)\)\ with\ Drive\ ([0-9.]+)\ through\ the\ ([^ ]*)\ cabinet\ \(([0-9]+)\) ]] ||
    fail "the README does not say what its ecasound line plays"
  [ "${BASH_REMATCH[1]}" = "$model" ] && [ "${BASH_REMATCH[3]}" = "$drive" ] &&
    [ "${BASH_REMATCH[5]}" = "$cabinet" ] ||
    fail "the ecasound line gives model $model, drive $drive, cabinet $cabinet; the text says \"$claim\""
  [ "$(label_of "$uri" model "$model")" = "${BASH_REMATCH[2]}" ] ||
    fail "model $model is \"$(label_of "$uri" model "$model")\", not ${BASH_REMATCH[2]}"
  [ "$(label_of "$uri" cabinet "$cabinet")" = "${BASH_REMATCH[4]}" ] ||
    fail "cabinet $cabinet is \"$(label_of "$uri" cabinet "$cabinet")\", not ${BASH_REMATCH[4]}"
  lv2apply -i guitar.wav -o ecasound-off.wav "${reference[@]}" -c cabinet 0 "$uri" >/dev/null
  ! build/tools/audio-diff ecasound-off.wav "$out" 2>/dev/null || fail "$line: no cabinet plays"
  echo "ecasound: ports ${order}; plays ${BASH_REMATCH[2]} through ${BASH_REMATCH[4]}"
}

jack_started=
start_jackd() {
  local line=$1
  [[ $line == *"-d alsa"* ]] || fail "$line: the test runs it on the dummy driver in place of -d alsa"
  line=${line/-d alsa/-d dummy}
  line=${line%&}
  bash -c "exec $line" </dev/null >jackd.log 2>&1 &
  pids+=($!)
  jack_wait -w -t 10 >/dev/null 2>&1 || { cat jackd.log; fail "jackd did not start: $line"; }
  jack_started=1
}

# Waits for the plug-in's JACK ports, then feeds a metronome's clicks to its input.
wait_ports() {
  for _ in $(seq 100); do
    grep -qx 'quorle (mono):out' <<<"$(jack_lsp)" && return 0
    sleep 0.1
  done
  fail "no quorle ports in JACK: $(jack_lsp | paste -sd' ')"
}
feed() {
  if ! grep -q '^metro:' <<<"$(jack_lsp)"; then
    jack_metro -n metro -b 120 -f 220 -D 400 -A 0.3 >metro.log 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do grep -q '^metro:' <<<"$(jack_lsp)" && break; sleep 0.1; done
  fi
  jack_connect metro:120_bpm 'quorle (mono):in'
}

check_jalv_gtk() {
  local line=$1
  [ -n "$jack_started" ] || fail "$line: no jackd line before it"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >xvfb.log 2>&1 3>display &
  pids+=($!)
  for _ in $(seq 50); do [ -s display ] && break; sleep 0.1; done
  [ -s display ] || fail "Xvfb did not start"
  DISPLAY=:$(head -1 display) bash -c "exec $line" </dev/null >jalv-gtk.log 2>&1 &
  local jalv=$!
  pids+=($jalv)
  wait_ports
  # The ports the text tells a player to connect.
  for port in $(paragraph 'then connect your interface' | grep -o '"quorle ([a-z]*):[a-z]*"' | tr ' ' '_'); do
    port=${port//\"/}
    grep -qx "$port" <<<"$(jack_lsp | tr ' ' '_')" || fail "no JACK port ${port//_/ }, which the README names"
  done
  feed
  jack_rec -f jalv-gtk.wav -d 1 'quorle (mono):out' >/dev/null 2>&1
  kill "$jalv" 2>/dev/null || true
  local level
  level=$(peak jalv-gtk.wav)
  awk -v l="$level" 'BEGIN { exit !(l > -40) }' || fail "$line: its output peaks at $level dBFS"
  echo "jalv.gtk3: plays, output peak $level dBFS"
}

check_jalv_terminal() {
  local line=$1 log=jalv-terminal.log
  [ -n "$jack_started" ] || fail "$line: no jackd line before it"
  rm -f commands && mkfifo commands
  bash -c "exec stdbuf -oL $line" <commands >"$log" 2>&1 &
  local jalv=$!
  pids+=($jalv)
  exec 4>commands
  wait_ports
  feed
  jack_connect 'quorle (mono):out' system:playback_1
  # The commands the text names, each followed by what it prints.
  local names
  names=$(paragraph '**jalv**' | grep -o 'In a terminal, type.*' | grep -o '`[^`]*`' | tr -d '`')
  grep -qx controls <<<"$names" && grep -qx 'drive = 0.7' <<<"$names" && grep -qx monitors <<<"$names" ||
    fail "the README names other jalv commands: $names"
  echo controls >&4
  echo 'drive = 0.7' >&4
  echo controls >&4
  sleep 1.5
  echo monitors >&4
  sleep 0.5
  # "It passes the latency on to JACK": the playback latency JACK shows on the
  # plug-in's ports, against the speakers' it plays to.
  local system plugin
  system=$(jack_lsp -l system:playback_1 | grep -o 'playback latency = \[ [0-9]*' | grep -o '[0-9]*$')
  plugin=$(jack_lsp -l 'quorle (mono)' | grep -o 'playback latency = \[ [0-9]*' | grep -o '[0-9]*$' |
    sort -n | tail -1)
  exec 4>&-
  grep -q 'drive = 0.500000' "$log" ||
    fail "jalv's controls list no drive at its default: $(cat "$log")"
  grep -q 'drive = 0.700000' "$log" || fail "drive = 0.7 did not set Drive: $(cat "$log")"
  local latency out_rms
  latency=$(grep -o 'latency = [0-9.]*' "$log" | tail -1 | cut -d' ' -f3)
  out_rms=$(grep -o 'out_rms = [-0-9.]*' "$log" | tail -1 | cut -d' ' -f3)
  local grows
  grows=$(paragraph '**jalv**' | grep -o 'latency grows by [0-9]* frames' | grep -o '[0-9]*')
  [ -n "$grows" ] || fail "the README does not say how the ports' latency grows under jalv"
  [ "${latency%.*}" = "$grows" ] || fail "jalv's monitors show latency $latency, the README $grows"
  awk -v l="$out_rms" 'BEGIN { exit !(l > -60) }' || fail "the output meter reads $out_rms dBFS"
  [ "$plugin" -eq $((system + grows)) ] ||
    fail "the plug-in's ports show a playback latency of $plugin frames, the speakers' $system"
  kill "$jalv" 2>/dev/null || true
  echo "jalv: controls set, latency $latency, output $out_rms dBFS RMS, JACK latency $system + $grows"
}

# A path a README line tries the build with: it must leave every folder where the
# system keeps plug-ins in view, and quorle in the class the text names.
check_lv2_path() {
  local span=$1 path
  path=$(sed -E 's/^LV2_PATH=([^ ]*).*/\1/' <<<"$span")
  for folder in '$PWD/build/lv2' '$HOME/.lv2' /usr/local/lib/lv2 /usr/lib/lv2; do
    [[ ":$path:" == *":$folder:"* ]] || fail "$span: LV2_PATH leaves out $folder"
  done
  path=$(bash -c "echo \"$path\"")
  LV2_PATH=/usr/lib/lv2 lv2ls | sort >system-plugins.txt
  LV2_PATH=$path lv2ls | sort >path-plugins.txt
  local missing
  missing=$(comm -23 system-plugins.txt path-plugins.txt | head -3)
  [ -z "$missing" ] || fail "$span: hides the system's plug-ins ($missing ...)"
  grep -qx "$mono" path-plugins.txt || fail "$span: does not find quorle"
  local class
  class=$(paragraph '**Ardour 7**' | grep -o 'files it under "[A-Za-z]*"' | cut -d'"' -f2)
  [ -n "$class" ] || fail "the README does not say where Ardour files quorle"
  for uri in "$mono" "${mono%#mono}#stereo"; do
    LV2_PATH=$path lv2info "$uri" >info.txt
    grep -q "^\s*Class: *$class Plugin\$" info.txt ||
      fail "$span: lilv files $uri under \"$(grep -m1 Class: info.txt | tr -s '\t ' ' ')\", not $class"
  done
  echo "LV2_PATH: keeps the system's $(wc -l <system-plugins.txt) plug-ins, quorle under $class"
}

hosts=0
while IFS= read -r line <&3; do
  command=$(sed -E 's/^([A-Z_]+=[^ ]* )*//' <<<"$line")
  case "$command" in
  '' | bash\ * | cmake\ * | apt\ * | build/tools/*) continue ;; # readme-commands.sh, package.sh
  esac
  echo "+ $line"
  case "$command" in
  lv2apply\ *) check_lv2apply "$line" ;;
  ecasound\ *) check_ecasound "$line" ;;
  jackd\ *) start_jackd "$line" ;;
  jalv.gtk3\ *) check_jalv_gtk "$line" ;;
  jalv\ *) check_jalv_terminal "$line" ;;
  apt-get\ install\ *)
    for package in ${command#apt-get install }; do
      [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
        fail "$line: $package is not an installed Debian package here"
    done
    ;;
  *) fail "a README command no test runs: $line" ;;
  esac
  hosts=$((hosts + 1))
done 3<blocks.txt
while IFS= read -r span <&3; do
  echo "+ \`$span\`"
  case "$span" in
  LV2_PATH=*) check_lv2_path "$span" ;;
  *) fail "an inline README command no test runs: $span" ;;
  esac
  hosts=$((hosts + 1))
done 3<inline.txt
echo "readme: $hosts host commands ran and did what the text says"
