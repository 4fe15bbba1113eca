/* The record of the example module "lamps.sll": the on/off state of the desk's panel lamps,
 * shared by every part of a program that opens the module. A client opens it through the Exec
 * table and calls it through its record:
 *
 *     LampsLibrary* lamps = (LampsLibrary*)exec->EXEC_SLLOpen(LAMPS_NAME, 1, 16);
 *     if (lamps) {
 *         lamps->set(3, 1);
 *         ...
 *         exec->EXEC_SLLClose(&lamps->library);
 *     }
 *
 * The argument of the first open is the number of lamps, 1 to LAMPS_MOST; the module refuses
 * any other. Later opens share the module as it is and their argument is not looked at. */
#ifndef LAMPS_H
#define LAMPS_H

#include <vantrel/exec.h>

#define LAMPS_NAME "lamps.sll"
#define LAMPS_MOST 256
/* The memory owner id of the lamp states, so that they show apart in the memory figures. */
#define LAMPS_OWNER 4

#pragma pack(push, 1)
typedef struct LampsLibrary {
    SllLibrary library; /* first: the loader hands out its address */
    uint16_t count;
    /* Lamps from count on are ignored (set) or dark (lit). */
    void (*set)(uint16_t lamp, uint16_t on);
    uint16_t (*lit)(uint16_t lamp);
} LampsLibrary;
#pragma pack(pop)

#endif
