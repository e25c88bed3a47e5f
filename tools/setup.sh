#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine. Idempotent:
# only missing packages are installed, so a second run takes a few seconds.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 fonts-wine xvfb xauth imagemagick
  fonts-arphic-uming fonts-wqy-zenhei locales
  dosfstools mtools ntfs-3g file python3-pefile
  qemu-system-x86 qemu-user-static wine64
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
elif [ "${need_update:-0}" = 1 ]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi

# The Chinese dialog texts need a Traditional Chinese UTF-8 locale under Wine.
if ! locale -a 2>/dev/null | grep -qi '^zh_TW\.utf-\?8$'; then
  "${sudo_cmd[@]}" sed -i 's/^# *zh_TW.UTF-8 UTF-8/zh_TW.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi
# Where the kernel cannot run 32-bit programs, Wine's loader runs under qemu.
"${sudo_cmd[@]}" "$(dirname "$0")/enable-i386.sh"
echo "setup: all packages present"
