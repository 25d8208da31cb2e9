#!/usr/bin/env bash
# The Debian package, built as the README's install section says and then checked
# as a player meets it:
#   - the file the README's apt line names is the one the build writes, and apt
#     (simulating) would install it here;
#   - its fields: name, the project's version, amd64, and dependencies that name
#     the package of every library its programs and plug-ins load;
#   - its files: the programs, the bundle (every file the build's bundle holds,
#     nothing else), a compressed manual page for each program, the documentation
#     with every page and picture it links to, the copyright and a changelog of
#     this version; nothing anywhere else;
#   - lintian finds no error;
#   - installed by dpkg into a throwaway root (never on this machine, where it
#     would shadow the build for every lilv-based test): lv2ls with LV2_PATH on the
#     root lists both plug-ins and nothing else, the root's quorle-render --demo
#     plays the root's bundle (strace shows what it opens) and renders what the
#     build's renders; purged, the root holds again exactly the files it held.
#   package.sh README BUILD_DIR VERSION WORK_DIR
set -euo pipefail
readme=$(realpath "$1") build=$(realpath "$2") version=$3 work=$4
for tool in dpkg-deb dpkg-shlibdeps lintian lv2ls strace; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work"
work=$(realpath "$work")
fail() { echo "FAIL: $*" >&2; exit 1; }
mono='http://pellark.invalid/plugins/quorle#mono'
stereo='http://pellark.invalid/plugins/quorle#stereo'

# The README's install section: the package it builds and the file apt installs.
install_block=$(awk '/^## Install it/ { on = 1; next } on && /^## / { on = 0 }
  on && $0 == "```sh" { code = 1; next } code && /^```$/ { code = 0; next } code' "$readme")
grep -q -- '--target package' <<<"$install_block" || fail "the README's install section builds no package"
named=$(grep -o 'apt install \./build/[^ ]*' <<<"$install_block" | sed 's|.*\./build/||')
deb_name=quorle_${version}_amd64.deb
[ "$named" = "$deb_name" ] || fail "the README installs \"$named\"; the build makes $deb_name"

rm -f "$build/$deb_name"
cmake --build "$build" --target package >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$build/$deb_name
[ -f "$deb" ] || fail "no $deb after building the package"
# The README's apt line would install it here, with every library it needs (apt
# simulating, without taking dpkg's lock).
apt-get -o Debug::NoLocking=1 -s install "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt cannot install $deb here"; }
grep -q "^Inst quorle ($version " "$work/apt.log" || { cat "$work/apt.log"; fail "apt would not install quorle $version"; }

# Fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorle ] && [ "$(field Version)" = "$version" ] &&
  [ "$(field Architecture)" = amd64 ] || fail "fields: $(dpkg-deb -f "$deb" Package Version Architecture)"
depends=$(field Depends)
echo "Depends: $depends"
tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ :].*//' >"$work/depends.txt"
# Every library an ELF file of the package loads comes from a package it depends on.
mkdir "$work/files"
dpkg-deb -x "$deb" "$work/files"
ldconfig -p >"$work/ldconfig.txt"
for elf in "$work/files/usr/bin/"* "$work/files/usr/lib/lv2/quorle.lv2/"*.so; do
  readelf -d "$elf" | sed -n "s|.*(NEEDED).*\[\(.*\)\]|\1 $(basename "$elf")|p"
done | sort -u -k1,1 >"$work/needed.txt"
while read -r soname elf; do
  path=$(awk -v s="$soname" '$1 == s && /x86-64/ {print $NF; exit}' "$work/ldconfig.txt")
  [ -n "$path" ] || fail "$elf needs $soname, which this machine lacks"
  # (dpkg knows a library by the path its package ships, with /usr or without.)
  owner=
  for candidate in "$path" "$(realpath "$path")"; do
    for name in "$candidate" "${candidate#/usr}" "/usr$candidate"; do
      owner=$(dpkg -S "$name" 2>/dev/null | head -1) && [ -n "$owner" ] && break 2
    done
  done
  [ -n "$owner" ] || fail "no package owns $path"
  owner=${owner%%:*}
  grep -qxF "$owner" "$work/depends.txt" || fail "$elf needs $soname (package $owner), which Depends leaves out"
done <"$work/needed.txt"
echo "Depends names the package of each of the $(wc -l <"$work/needed.txt") libraries loaded"

# Files: nothing outside the four places, the bundle as built.
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./||' | grep -v '/$' | sort >"$work/contents.txt"
outside=$(grep -vE '^usr/(bin/quorle-(render|model)|lib/lv2/quorle\.lv2/[^/]+|share/man/man1/quorle-(render|model)\.1\.gz|share/doc/quorle/.+)$' \
  "$work/contents.txt" || true)
[ -z "$outside" ] || fail "files outside their places: $outside"
diff <(ls "$build/lv2/quorle.lv2") <(sed -n 's|^usr/lib/lv2/quorle\.lv2/||p' "$work/contents.txt") ||
  fail "the package's bundle is not the build's (< build, > package)"
for file in usr/bin/quorle-render usr/bin/quorle-model usr/share/man/man1/quorle-render.1.gz \
  usr/share/man/man1/quorle-model.1.gz usr/share/doc/quorle/README.md usr/share/doc/quorle/copyright \
  usr/share/doc/quorle/changelog.gz; do
  grep -qx "$file" "$work/contents.txt" || fail "$file is not in the package"
done
doc=$work/files/usr/share/doc/quorle
head -1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not machine-readable"
[ "$(zcat "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)" = "$version" ] ||
  fail "the changelog's last entry is not $version"
# Every page or picture a shipped page links to by a relative path is shipped.
for page in $(cd "$doc" && find . -name '*.md'); do
  for target in $(grep -o '](\([^)#]*\))' "$doc/$page" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:'); do
    [ -e "$(dirname "$doc/$page")/$target" ] || fail "${page#./} links to $target, which is not shipped"
  done
done
echo "package: $(wc -l <"$work/contents.txt") files, $(stat -c %s "$deb") bytes"

# lintian: its whole report, failing on an error.
status=0
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || echo "lintian: nothing to report"
! grep -q '^E: ' "$work/lintian.txt" && [ "$status" -eq 0 ] || fail "lintian reports errors (status $status)"

# A throwaway root with an empty dpkg database, primed so that dpkg's own files
# (locks, the status backup) are there before the package comes.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The root's database lists none of the libraries the package needs (they are on
# this machine): --force-depends. --log keeps this machine's dpkg log out of it.
dpkg_root=(dpkg --root="$root" --log=/dev/null --force-depends)
if [ "$(id -u)" -ne 0 ]; then dpkg_root=(fakeroot "${dpkg_root[@]}" --force-not-root); fi
"${dpkg_root[@]}" --configure -a
(cd "$root" && find . | sort) >"$work/before.txt"
"${dpkg_root[@]}" -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i failed"; }

found=$(LV2_PATH=$root/usr/lib/lv2 lv2ls | sort | paste -sd' ')
[ "$found" = "$mono $stereo" ] || fail "lv2ls in the root finds \"$found\""
[ "$("$root/usr/bin/quorle-render" --version)" = "quorle-render $version" ] ||
  fail "the installed quorle-render says $("$root/usr/bin/quorle-render" --version)"
strace -f -e trace=%file -o "$work/demo.trace" "$root/usr/bin/quorle-render" --demo "$work/demo-root" \
  >"$work/demo-root.txt"
"$build/tools/quorle-render" --demo "$work/demo-build" >/dev/null
for file in "$work/demo-build/"*.wav; do
  "$build/tools/audio-diff" "$file" "$work/demo-root/$(basename "$file")" ||
    fail "the installed demo's $(basename "$file") differs from the build's"
done
for file in quorle.so quorle.data; do
  grep -q "openat(.*\"$root/usr/lib/lv2/quorle.lv2/$file\", .*) = [0-9]" "$work/demo.trace" ||
    fail "the installed quorle-render did not open the root's $file"
done
! grep -F -e "$build/lv2" -e /usr/local/lib/lv2 "$work/demo.trace" ||
  fail "the installed quorle-render looked for the build's or /usr/local's bundle"
! grep -E 'openat\(.*quorle\.(so|data)", .*\) = [0-9]' "$work/demo.trace" | grep -vF "\"$root/" ||
  fail "the installed quorle-render opened a bundle outside the root"
cat "$work/demo-root.txt"

"${dpkg_root[@]}" -P quorle >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg -P failed"; }
(cd "$root" && find . | sort) >"$work/after.txt"
diff "$work/before.txt" "$work/after.txt" || fail "purged, the root holds other files than before (> left behind)"
! grep -q '^Package: quorle$' "$root/var/lib/dpkg/status" || fail "the root's database still lists quorle"
echo "installed into $root, used there and purged without a trace"
