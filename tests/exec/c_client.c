/* A client in C against the public header only, linked with libvantrel.so: proves the binary
 * interface (offsets, calling convention, exports), not the C++ code behind it. */
#include <vantrel/exec.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

static int failures;
static volatile int ticks_seen;

static void count_tick(void) {
    ++ticks_seen;
}

static void check(int ok, const char* what) {
    if (!ok) {
        printf("FAIL %s\n", what);
        ++failures;
    }
}

/* The slot at a byte offset of the table, read as the raw bytes a client compiled elsewhere
 * would read. */
static void* slot_at(const ExecTable* t, unsigned offset) {
    void* p;
    memcpy(&p, (const char*)t + offset, sizeof p);
    return p;
}

int main(void) {
    /* The services this build fills: resource files and byte comparison, diskette tracks, buffered
     * streams, files and console, clock and strings, extended-real arithmetic, far memory, locks
     * and interrupt nesting, timers, key and mouse handlers, debug output, shared library
     * modules, lists, memory, real-mode interrupts, the graphics-restore routine. */
    static const unsigned filled[] = {
        0xaf,  0xb3,  0xb7,  0xbb,  0xbf,  0xc3,  0xc7,  0xcb,  0xcf,  0xd3,  0xd7,  0xdb,
        0xdf,  0xe3,  0x257, 0xe7,  0xeb,  0xef,  0xf3,  0xf7,  0xfb,  0xff,  0x187, 0x18b,
        0x18f, 0x193, 0x197, 0x19b, 0x19f, 0x10b, 0x10f, 0x113, 0x117, 0x11b, 0x11f, 0x123,
        0x127, 0x12b, 0x12f, 0x15f, 0x163, 0x167, 0x16b, 0x16f, 0x173, 0x177, 0x17b, 0x17f,
        0x183, 0x1a3, 0x1a7, 0x1ab, 0x1af, 0x1b3, 0x1b7, 0x1bb, 0x1bf, 0x1c3, 0x1c7, 0x1cb,
        0x1cf, 0x1d3, 0x1d7, 0x1db, 0x1e7, 0x15b, 0x1eb, 0x1ef, 0x1f3, 0x1f7, 0x1fb, 0x1ff,
        0x203, 0x207, 0x20b, 0x20f, 0x213, 0x217, 0x21b, 0x21f, 0x223, 0x227, 0x22b, 0x22f,
        0x233, 0x237, 0x23b, 0x23f, 0x243, 0x247, 0x24b, 0x24f, 0x253, 0x25b, 0x25f, 0x263};
    unsigned i;
    uint32_t before_total, before_peak, before_owner, after_owner, peak;
    char name[16];
    void* block;
    RSCFile* rsc;
    FILE* file;
    ExecStream* stream;
    unsigned char bytes[32];
    uint16_t cylinders = 0, heads = 0, sectors = 0;
    TimerNode* timer;
    clock_t waited;
    ExecTable* t = EXEC_OpenExec(0);
    if (!t) {
        printf("FAIL open\n");
        return 1;
    }
    check(t->version == 3 && t->revision == 7 && t->subrevision == 1, "version words 3, 7, 1");
    check(strcmp(t->build_time, "14:16:38") == 0, "build time text");
    check(strcmp(t->build_date, "Apr 13 2000") == 0, "build date text");
    check(*(const uint16_t*)((const char*)t + 0x00) == 3, "version at offset 0");
    check(strcmp((const char*)t + 0x06, "14:16:38") == 0, "build time at offset 6");
    check(strcmp((const char*)t + 0x10, "Apr 13 2000") == 0, "build date at offset 0x10");
    for (i = 0; i < sizeof filled / sizeof filled[0]; ++i) {
        char what[64];
        sprintf(what, "slot 0x%x filled", filled[i]);
        check(slot_at(t, filled[i]) != NULL, what);
    }
    check(memcmp((const char*)t + 0x247, &t->EXEC_MEMFarMalloc, 4) == 0,
          "EXEC_MEMFarMalloc at 0x247");
    check(memcmp((const char*)t + 0x12f, &t->EXEC_Printf, 4) == 0, "EXEC_Printf at 0x12f");

    before_total = t->bytes_allocated;
    t->EXEC_MEMGetUsage(3, &peak, &before_owner, name);
    block = t->EXEC_MEMFarMalloc(100, 3);
    check(block != NULL, "allocation of 100 bytes");
    check(t->bytes_allocated - before_total == 116, "bytes allocated raised by 116");
    t->EXEC_MEMGetUsage(3, &peak, &after_owner, name);
    check(after_owner - before_owner == 116, "owner 3 raised by 116");
    before_peak = t->peak_allocated;
    t->EXEC_MEMFarFree(block, 3);
    check(t->bytes_allocated == before_total, "freed");
    check(t->peak_allocated == before_peak, "peak kept");

    /* Extended reals travel by value on the stack and come back on the x87 stack. */
    check(t->EXEC_MATHToLong(t->EXEC_MATHDiv(t->EXEC_MATHFromLong(-10), 0.5L)) == -20,
          "-10 / 0.5 through the table");
    check(t->EXEC_MATHCompare(1.0L, t->EXEC_MATHAdd(0.5L, 0.5L)) == 0, "0.5 + 0.5 == 1");

    /* One service of each of the other groups, through the table: a resource file made and
     * read back through a stream, a module that is not there, and drive 0's geometry (the
     * default desk's drive is empty and still answers for a 1.44 MB diskette). */
    check(t->EXEC_RSCCreate("CLIENT.RSC") == 1, "resource file created");
    rsc = t->EXEC_RSCOpen("CLIENT.RSC");
    check(rsc != NULL, "resource file opened");
    if (rsc) t->EXEC_RSCClose(rsc);
    file = t->EXEC_FILEOpen("CLIENT.RSC", "rb");
    stream = file ? t->EXEC_STREAMOpen(file, 4, 1) : NULL;
    check(stream != NULL && t->EXEC_STREAMRead(bytes, sizeof bytes, stream) == 14 &&
              t->EXEC_STREAMClose(stream) == 1,
          "14 header bytes through a stream of 4");
    if (file) t->EXEC_FILEClose(file);
    remove("CLIENT.RSC");
    check(t->EXEC_SLLOpen("NOSUCH.SLL", 1, 0) == NULL, "no module of that name");
    check(t->EXEC_DISKGetGeometry(0, &cylinders, &heads, &sectors) == 0 && cylinders == 80 &&
              heads == 2 && sectors == 18,
          "drive 0's geometry");
    /* A timer called from the real tick; the unmatched enable is a point where the tick can
     * come in. */
    timer = t->EXEC_TIMERAdd(count_tick, 1);
    check(timer != NULL && timer->period == 1, "timer added");
    waited = clock();
    while (!ticks_seen && clock() - waited < 5 * CLOCKS_PER_SEC)
        t->EXEC_INTEnable();
    check(ticks_seen > 0 && t->tick_count > 0, "timer called from the tick");
    t->EXEC_TIMERRemove(timer);

    t->EXEC_Printf("%s %d\n", "printed through the table:", 42);
    EXEC_CloseExec();
    printf("%s\n", failures ? "client failed" : "client passed");
    return failures ? 1 : 0;
}
