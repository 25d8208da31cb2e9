#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing
# (the last line: the Debian package, cpack's dependency list and lintian, and the
# README's host commands).
set -euo pipefail
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libtinyxml-dev libminizip-dev zlib1g-dev libsndfile1-dev lv2-dev lilv-utils liblilv-dev sordi
          libfftw3-dev libcairo2-dev libsamplerate0-dev graphviz clang libclang-rt-14-dev
          libx11-dev libxtst-dev xvfb xdotool imagemagick jalv jackd2 ardour
          dpkg-dev file lintian man-db strace ecasound sox bsdextrautils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
