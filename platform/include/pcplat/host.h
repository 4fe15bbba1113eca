/* For host programs that run the library as a tool away from any desk (packers, version
 * queries), rather than as the program on a desk. */
#ifndef PCPLAT_HOST_H
#define PCPLAT_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the next machine the built-in desk: the desk that DESKSIM names is left alone (a program
 * may be running on it, or its profile may be broken), and the simulated keyboard is kept off
 * standard input, which it would read and, on a terminal, switch to raw mode. Call before the
 * library is opened. */
void host_use_builtin_desk(void);

/* For the tools that rehearse an upgrade disk: the program is about to carry out a script
 * command; the offset is where reading stopped after its word, just past the character that ended
 * the word. On the desk it does nothing; on the simulated desk it goes to the bench trace when one
 * was asked for. */
void host_note_command(uint32_t script_offset);

/* For the same tools: the program set its error register (the code it shows the operator) to
 * code. Recorded as it changes, so a run cut off anywhere still tells its last value. */
void host_note_error_code(uint16_t code);

#ifdef __cplusplus
}
#endif

#endif
