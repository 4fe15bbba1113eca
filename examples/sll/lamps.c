/* The example module "lamps.sll" (see lamps.h). It keeps its lamp states in memory from the Exec
 * table and gives that back in its cleanup routine, which the loader calls before unloading it. */
#include "lamps.h"

#include <stddef.h>

static ExecTable* g_exec;
static uint8_t* g_states;

static void lamps_set(uint16_t lamp, uint16_t on);
static uint16_t lamps_lit(uint16_t lamp);
static void lamps_cleanup(void);

static LampsLibrary g_record = {
    {{NULL, NULL}, LAMPS_NAME, 0, 0, lamps_cleanup},
    0,
    lamps_set,
    lamps_lit,
};

static void lamps_set(uint16_t lamp, uint16_t on) {
    if (lamp < g_record.count) g_states[lamp] = on != 0;
}

static uint16_t lamps_lit(uint16_t lamp) {
    return lamp < g_record.count ? g_states[lamp] : 0;
}

static void lamps_cleanup(void) {
    g_exec->EXEC_MEMFree(g_states, LAMPS_OWNER);
    g_states = NULL;
    g_record.count = 0;
    g_exec->EXEC_DEBUGPrintf("%s: closed\n", LAMPS_NAME);
}

/* The module's one export. The loader looks up "_SLL_Initialise": the desk's C compiler adds the
 * underscore, the host's does not, and the loader finds either form. */
__attribute__((visibility("default"))) SllLibrary* SLL_Initialise(ExecTable* exec,
                                                                  uint32_t argument) {
    if (argument == 0 || argument > LAMPS_MOST) return NULL;
    g_exec = exec;
    g_states = (uint8_t*)exec->EXEC_MEMAllocClear(argument, LAMPS_OWNER);
    if (!g_states) return NULL;
    g_record.count = (uint16_t)argument;
    exec->EXEC_DEBUGPrintf("%s: %u lamps\n", LAMPS_NAME, (unsigned)argument);
    return &g_record.library;
}
