#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Runs as root on a fresh machine (apt-get); does nothing when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  binutils pkg-config python3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
  dpkg-dev file llvm lld
  lintian man-db groff-base
  clang-tidy cppcheck
  python3-setuptools python3-wheel python3-pip python3-venv
)

# The Win32 build runs its tests under 32-bit Wine, which needs the i386 architecture (installed
# everywhere; whether the kernel can run it is probed when the tests start).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "the i386 architecture is not enabled and not root" >&2
    exit 1
  fi
  dpkg --add-architecture i386
fi

# The real-driver stage (ctest -L hil) boots a QEMU guest; without these it skips with a line.
optional=(qemu-system-x86 busybox-static)

# The names among the arguments that are not installed.
not_installed() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

mapfile -t missing < <(not_installed "${packages[@]}")

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages and not root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  updated=yes
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

mapfile -t optional_missing < <(not_installed "${optional[@]}")
if ((${#optional_missing[@]})); then
  if [ "$(id -u)" -eq 0 ] && { [ -n "${updated:-}" ] || apt-get update -q >/dev/null; } &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${optional_missing[@]}" >/dev/null; then
    echo "installed for the real-driver stage: ${optional_missing[*]}"
  else
    echo "not installed, the real-driver stage will skip: ${optional_missing[*]}"
  fi
fi
