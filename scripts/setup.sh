#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, if any is missing (with
# --fuzz, also what the fuzzers need). Quiet when everything is there already, so every other
# script can start with it.
set -euo pipefail

packages=(
    g++-multilib   # the desk is i386: g++ -m32
    cmake
    googletest     # sources, built for i386 by the project
    libtoml11-dev  # desk profiles
    libcli11-dev   # tool command lines
    lib32ncurses-dev  # desksim panel (i386 ncurses)
    tmux           # drives desksim panel in its test, as a terminal would
    ncompress      # compress/uncompress, to check our LZW streams against
    gzip
)

as_root=()
need_root() {
    [[ $(id -u) -eq 0 || ${#as_root[@]} -gt 0 ]] && return 0
    command -v sudo >/dev/null || {
        echo "setup: need root (or sudo) to $1" >&2
        exit 1
    }
    as_root=(sudo)
}

updated=no
# install PACKAGE...: those of them that are missing, quietly.
install() {
    local missing=() package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    need_root "install: ${missing[*]}"
    echo "setup: installing ${missing[*]}" >&2
    if [[ $updated == no ]]; then
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
        updated=yes
    fi
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" </dev/null >/dev/null
}

# --fuzz: also clang with its sanitizer and libFuzzer runtimes (scripts/fuzz.sh).
[[ ${1:-} == --fuzz ]] && packages+=(clang-14 libclang-rt-14-dev)
install "${packages[@]}"

# Some 64-bit kernels run no 32-bit programs at all (IA-32 emulation left out or switched off).
# There the programs and tests run through qemu's user-mode i386 emulator, which the kernel
# starts for every i386 program once it is registered with binfmt_misc.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void) { return 0; }\n' >"$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe" || {
    echo "setup: gcc -m32 cannot build a 32-bit program; is g++-multilib complete?" >&2
    exit 1
}
if ! "$probe_dir/probe" 2>/dev/null; then
    echo "setup: this kernel runs no 32-bit programs; running them through qemu-i386" >&2
    install qemu-user-static
    need_root "register qemu-i386 with binfmt_misc"
    binfmt=/proc/sys/fs/binfmt_misc
    [[ -e $binfmt/register ]] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    if [[ ! -e $binfmt/qemu-i386 ]]; then
        # i386 ELF executables and shared objects; F: the emulator is opened now, so it also
        # serves programs in other mount namespaces.
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$magic" "$mask" |
            "${as_root[@]}" tee "$binfmt/register" >/dev/null
    fi
    "$probe_dir/probe" || {
        echo "setup: 32-bit programs still do not run; see $binfmt/qemu-i386" >&2
        exit 1
    }
fi
