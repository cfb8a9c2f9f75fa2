#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only the missing
# ones). Runs apt-get as root, or through sudo when not root. dpkg-dev and
# systemd serve the package stage: dpkg-shlibdeps for the .deb's dependencies,
# systemd-analyze to verify the unit (systemd need not run for that).
#   scripts/bootstrap.sh windows   also the Windows stage: the mingw-w64 cross
#                                  compilers, GoogleTest's source, Wine (64-bit)
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libpugixml-dev
  libpam0g-dev libpam-modules libsystemd-dev
  clang libclang-rt-14-dev
  dpkg-dev systemd
)
if [ "${1:-}" = windows ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix googletest wine64 python3)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "bootstrap: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "bootstrap: installing ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
