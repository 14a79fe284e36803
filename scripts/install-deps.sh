#!/usr/bin/env bash
# Installs the Debian packages that building and testing vistrel needs, when they are missing.
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev
  libavcodec-dev libavutil-dev ffmpeg
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386
  libyuv-dev
  mono-mcs
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index now and then: try again, and go on with the lists
# that did come (the install itself says so if a package is really missing).
for attempt in 1 2 3; do
  if "${sudo_cmd[@]}" apt-get update -qq; then break; fi
  echo "apt-get update failed (attempt $attempt)"
  sleep $((attempt * 10))
done
if ! "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  # With one architecture's security list missing, the 32-bit libraries Wine needs cannot match the
  # versions of their 64-bit twins: take both from the release's own archive then.
  . /etc/os-release
  echo "install failed: trying again with the versions of $VERSION_CODENAME itself"
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    -o "APT::Default-Release=$VERSION_CODENAME" "${missing[@]}" >/dev/null
fi
