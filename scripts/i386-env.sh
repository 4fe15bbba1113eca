# Sourced by the scripts that build and run sanitized programs (their test discovery runs them
# at build time too). Allocation failures are the library's to report, so ASan returns null for
# them. Where 32-bit programs run through qemu's i386 emulator (see setup.sh), LeakSanitizer
# cannot stop the program's threads to look for leaks and hangs instead: leak checks are off
# there, and DESK_EMULATED_I386=1 tells the tests. The emulator also hands out addresses up to
# 4 GiB, where AddressSanitizer's 32-bit layout ends at 3 GiB: a big block mapped at or past
# that end fails one of its checks. Holding the emulated address space below it keeps them apart.
if [[ -r /proc/sys/fs/binfmt_misc/qemu-i386 ]] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
    LEAK_CHECKS=0
    export DESK_EMULATED_I386=1
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xbf000000}
else
    LEAK_CHECKS=1
fi
export ASAN_OPTIONS="detect_leaks=$LEAK_CHECKS:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
