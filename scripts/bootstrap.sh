#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only the missing
# ones). Runs apt-get as root, or through sudo when not root. dpkg-dev and
# systemd serve the package stage: dpkg-shlibdeps for the .deb's dependencies,
# systemd-analyze to verify the unit (systemd need not run for that).
#   scripts/bootstrap.sh windows   also the Windows stage: the mingw-w64 cross
#                                  compilers, GoogleTest's source, Wine (64-bit)
#                                  and pugixml's Debian source (its Debian
#                                  package holds no source to build for Windows)
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

sudo=""
if [ "$(id -u)" != 0 ]; then
  sudo=sudo
fi
if [ ${#missing[@]} -gt 0 ]; then
  [ -z "$sudo" ] || command -v sudo >/dev/null || { echo "bootstrap: need root to install: ${missing[*]}" >&2; exit 1; }
  echo "bootstrap: installing ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# pugixml's source for the Windows build (cmake/windows-deps.cmake), through a
# source list of its own so that the system's apt setup stays as it is.
pugixml_source=/usr/local/src/telmo-pugixml
if [ "${1:-}" = windows ] && [ ! -f "$pugixml_source/src/pugixml.cpp" ]; then
  echo "bootstrap: fetching pugixml's Debian source into $pugixml_source"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  mkdir -p "$work/lists/partial"
  # The system's own Debian sources, for source packages.
  mkdir -p "$work/parts"
  touch "$work/sources.list"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list >"$work/sources.list"
  fi
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb \(.*\)$/deb-src \1/p' "$f" >"$work/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*$/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
  done
  apt_options=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"
    -o Dir::State::Lists="$work/lists")
  $sudo apt-get "${apt_options[@]}" update -qq
  (cd "$work" && $sudo apt-get "${apt_options[@]}" source --download-only -qq pugixml)
  $sudo dpkg-source -x "$work"/pugixml_*.dsc "$work/pugixml" >/dev/null
  $sudo mkdir -p "$(dirname "$pugixml_source")"
  $sudo rm -rf "$pugixml_source"
  $sudo mv "$work/pugixml" "$pugixml_source"
fi
