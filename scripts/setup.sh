#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, if any is missing. Quiet when
# everything is there already, so every other script can start with it.
set -euo pipefail

packages=(
    g++-multilib   # the desk is i386: g++ -m32
    cmake
    googletest     # sources, built with our flags
    libgtest-dev
    libtoml11-dev  # desk profiles
    libcli11-dev   # tool command lines
    ncompress      # compress/uncompress, to check our LZW streams against
    gzip
    clang-format
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || {
        echo "setup: need root (or sudo) to install: ${missing[*]}" >&2
        exit 1
    }
    as_root=(sudo)
fi

echo "setup: installing ${missing[*]}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" </dev/null >/dev/null
