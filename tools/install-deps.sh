#!/bin/sh
# Installs what this kind of machine may lack, and nothing when all is there.
# usage: install-deps.sh [run|test]
#   run   what `make run` needs: the compiler and tools that build the images,
#         fwimage, the kit and the bench, and the x86 QEMU, OVMF and pyte its
#         boot uses
#   test  (default) that and what `make test` adds: the sanitizers' runtime,
#         g++, GoogleTest, the linters, UEFIExtract, the AArch64 QEMU and the
#         other machines' firmware images fwimage is checked on
set -eu
mode=${1:-test}
case $mode in run|test) ;; *) echo "usage: install-deps.sh [run|test]" >&2; exit 2 ;; esac
need=""
have() { command -v "$1" >/dev/null 2>&1; }
# ---- make run ----
have cmake        || need="$need cmake"
have ninja        || need="$need ninja-build"
have clang++      || need="$need clang"
have lld-link     || need="$need lld"
[ -f /usr/include/lzma.h ] || need="$need liblzma-dev"
[ -x /usr/bin/python3 ] || need="$need python3"
if [ "${BOARD_NEED_QEMU:-1}" = 1 ]; then
  have qemu-system-x86_64 || need="$need qemu-system-x86"
  /usr/bin/python3 -c 'import pyte' 2>/dev/null || need="$need python3-pyte"
  [ -f /usr/share/OVMF/OVMF_CODE_4M.secboot.fd ] || need="$need ovmf"
fi
# ---- make test ----
if [ "$mode" = test ]; then
  # The host code is built with the sanitizers (make run's tree, when make
  # test has not configured it, without them).
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
  have g++          || need="$need g++"
  have objdump      || need="$need binutils"
  have clang-tidy   || need="$need clang-tidy"
  have cppcheck     || need="$need cppcheck"
  [ -f /usr/include/gtest/gtest.h ] || need="$need libgtest-dev"
  [ -f /usr/include/gmock/gmock.h ] || need="$need libgmock-dev"
  have UEFIExtract  || need="$need uefitool-cli"
  have xz           || need="$need xz-utils"
  # Other machines' firmware images: what fwimage's listing and edits are checked on.
  [ -f /usr/share/OVMF/OVMF32_CODE_4M.secboot.fd ] || need="$need ovmf-ia32"
  [ -f /usr/share/AAVMF/AAVMF_CODE.fd ] || need="$need qemu-efi-aarch64"
  [ -f /usr/share/AAVMF/AAVMF32_CODE.fd ] || need="$need qemu-efi-arm"
  if [ "${BOARD_NEED_QEMU:-1}" = 1 ]; then
    # The AArch64 boot of an image fwimage grew.
    have qemu-system-aarch64 || need="$need qemu-system-arm"
  fi
fi
if [ -n "$need" ]; then
  echo "installing:$need"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # Recommends left out: QEMU's bring its GTK display, USB and block
  # back-ends, which the headless boots never use (make run's set on a new
  # machine: 33 packages, 24 MB, instead of 167 and 146 MB). No fsync per
  # file: a machine that loses power mid-install installs again.
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
    $need >/dev/null
fi
