#!/usr/bin/env bash
# The project's version (CMakeLists.txt's project()) where a player reads it:
# quorle-render --version and quorle-model --version, both plug-ins'
# lv2:minorVersion and lv2:microVersion as an RDF reader reads the bundle, and the
# manual pages' footer. (tests/package.sh checks the package's and the changelog's.)
#   version.sh VERSION BUILD_DIR
set -euo pipefail
version=$1 build=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
IFS=. read -r major minor patch <<<"$version"
[ -n "$patch" ] || fail "\"$version\" is not MAJOR.MINOR.PATCH"

for program in quorle-render quorle-model; do
  said=$("$build/tools/$program" --version)
  [ "$said" = "$program $version" ] || fail "$program --version says \"$said\""
  footer=$(LC_ALL=C MANWIDTH=200 man -E ascii -l "$build/packaging/man/$program.1.gz" 2>/dev/null | col -b | tail -1)
  grep -q "quorle $version" <<<"$footer" || fail "$program.1's footer is \"$footer\""
done

command -v sordi >/dev/null || { echo "sordi is not installed"; exit 77; }
triples=$(sordi -o ntriples "file://$(realpath "$build/lv2/quorle.lv2/quorle.ttl")")
for plugin in mono stereo; do
  for part in minor:$minor micro:$patch; do
    grep -qF "<http://pellark.invalid/plugins/quorle#$plugin> <http://lv2plug.in/ns/lv2core#${part%:*}Version> \"${part#*:}\"^^" <<<"$triples" ||
      fail "quorle#$plugin has no lv2:${part%:*}Version ${part#*:}"
  done
done
echo "version $version: the programs, both plug-ins (minor $minor, micro $patch), the manual pages"
