#!/usr/bin/env bash
# Prepares a Debian 12 machine and builds the project with the default preset.
# As root it installs the packages that are missing (one apt-get update, only
# when something is missing); as another user it names them and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++                      # build tools
  qt6-base-dev qt6-base-dev-tools libgl-dev  # Qt 6 Core/Network/Sql/Gui/Widgets/Test
  libqt6sql6-sqlite libqt6sql6-psql          # the two SQL drivers
  libsqlite3-dev                             # process-wide settings of the library the driver uses
  qt6-translations-l10n                      # Qt's own dialog texts in Portuguese
  postgresql                                 # PostgreSQL test clusters
  openssl                                    # throw-away TLS certificates in tests
  libssl-dev                                 # the server checks its TLS key against the certificate
  rapidjson-dev                              # quv-admin reads grants files as a stream
  clang-format                               # formatting check
  xvfb xauth                                 # running the host on a virtual display
)
# scripts/fuzz.sh alone needs clang and libFuzzer; the default build does not.
build=1
if [[ ${1:-} == --fuzz ]]; then
  packages+=(clang libclang-rt-14-dev)
  build=0
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: run this script as root, or install them with apt-get" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

if ((build)); then
  cmake --preset default
  cmake --build --preset default -j "${QUV_BUILD_JOBS:-2}"
fi
