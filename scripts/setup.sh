#!/usr/bin/env bash
# Installs what the build, the tests and the demo need from Debian 12's packages.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 wine64 xvfb xauth x11-apps x11-utils imagemagick
  cmake ninja-build googletest clang-format
  python3 python3-pytest python3-pytest-timeout python3-numpy python3-soundfile python3-matplotlib
  sox libsox-fmt-all sndfile-programs alsa-utils libasound2-plugins:i386
  tmux procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: installed ${missing[*]}"
