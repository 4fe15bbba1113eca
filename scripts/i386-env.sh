# Sourced by the scripts that run sanitized programs. Where 32-bit programs run through qemu's
# i386 emulator (see setup.sh), LeakSanitizer cannot stop the program's threads to look for
# leaks and hangs instead: leak checks are off there, and on everywhere else.
if [[ -r /proc/sys/fs/binfmt_misc/qemu-i386 ]] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
    LEAK_CHECKS=0
else
    LEAK_CHECKS=1
fi
export ASAN_OPTIONS="detect_leaks=$LEAK_CHECKS${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
