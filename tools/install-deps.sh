#!/bin/sh
# Installs what this kind of machine may lack, and nothing when all is there.
set -eu
need=""
have() { command -v "$1" >/dev/null 2>&1; }
have cmake        || need="$need cmake"
have g++          || need="$need g++"
have clang++      || need="$need clang"
have lld-link     || need="$need lld"
have objdump      || need="$need binutils"
have clang-tidy   || need="$need clang-tidy"
have cppcheck     || need="$need cppcheck"
[ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
[ -f /usr/include/gmock/gmock.h ] || need="$need libgmock-dev"
[ -f /usr/include/lzma.h ] || need="$need liblzma-dev"
have UEFIExtract  || need="$need uefitool-cli"
have xz           || need="$need xz-utils"
[ -x /usr/bin/python3 ] || need="$need python3"
# Other machines' firmware images: what fwimage's listing and edits are checked on.
[ -f /usr/share/OVMF/OVMF32_CODE_4M.secboot.fd ] || need="$need ovmf-ia32"
[ -f /usr/share/AAVMF/AAVMF_CODE.fd ] || need="$need qemu-efi-aarch64"
[ -f /usr/share/AAVMF/AAVMF32_CODE.fd ] || need="$need qemu-efi-arm"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
if [ "${BOARD_NEED_QEMU:-1}" = 1 ]; then
  have qemu-system-x86_64 || need="$need qemu-system-x86"
  /usr/bin/python3 -c 'import pyte' 2>/dev/null || need="$need python3-pyte"
  [ -f /usr/share/OVMF/OVMF_CODE_4M.secboot.fd ] || need="$need ovmf"
  # The AArch64 boot of an image fwimage grew.
  have qemu-system-aarch64 || need="$need qemu-system-arm"
fi
if [ -n "$need" ]; then
  echo "installing:$need"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq $need >/dev/null
fi
