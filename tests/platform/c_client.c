/* A program written in C against the platform headers only, run as a real process by
 * c_client_test.sh: desk from DESKSIM, keys from standard input, the host's clock, the halt. */
#include <pcplat/cpu.h>
#include <pcplat/dos.h>
#include <pcplat/dpmi.h>
#include <pcplat/win32.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

static volatile int ticks;
static FarPtr saved_1c;

static void on_tick(void) {
    ++ticks;
    cpu_call_vector(saved_1c);
}

static double seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "keys";
    uint16_t sel = 0;
    Win32Module kernel = win32_get_module_handle("kernel32.dll");
    if (!win32_get_proc_address(kernel, "Borland32")) {
        printf("no extender\n");
        return 0;
    }
    if (!dpmi_alloc_ldt(1, &sel) || !dpmi_set_base(sel, 0xD1000) || !dpmi_set_limit(sel, 0xFFFF))
        return 10;
    printf("card type %04X\n", far_read16(sel, 0x108));

    if (strcmp(mode, "timer") == 0) {
        /* 39.26 Hz, as the runtime library sets it */
        FarPtr mine;
        dos_get_vector(0x1C, &saved_1c);
        mine.offset = (uint32_t)(uintptr_t)&on_tick;
        mine.selector = cpu_code_selector();
        dos_set_vector(0x1C, mine);
        io_outb(0x43, 0x34);
        io_outb(0x40, 0xB8);
        io_outb(0x40, 0x76);
        double start = seconds();
        ticks = 0;
        while (ticks < 20)
            cpu_wait_interrupt();
        printf("20 ticks in %.2f s\n", seconds() - start);
        dos_set_vector(0x1C, saved_1c);
        return 0;
    }
    if (strcmp(mode, "poll") == 0) { /* waits as a script's yes/no question does */
        while (!console_key_waiting()) {
        }
        printf("key %d\n", console_read_key());
        return 0;
    }
    if (strcmp(mode, "bios") == 0) { /* the BIOS's own wait for a key */
        RealRegs regs;
        memset(&regs, 0, sizeof regs);
        dpmi_real_int(0x16, &regs);
        printf("key %d\n", (int)(regs.eax & 0xFF));
        return 0;
    }
    for (;;) {
        int c = console_read_key();
        if (c == 'q') break;
        printf("key %d\n", c);
    }
    if (strcmp(mode, "stop") == 0) cpu_halt(CPU_HALT_STOP);
    if (strcmp(mode, "fail") == 0) cpu_halt(CPU_HALT_FAILED);
    return 0;
}
