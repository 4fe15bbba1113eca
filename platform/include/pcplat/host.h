/* For host programs that run the library as a tool away from any desk (packers, version
 * queries), rather than as the program on a desk. */
#ifndef PCPLAT_HOST_H
#define PCPLAT_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the next machine the built-in desk: the desk that DESKSIM names is left alone (a program
 * may be running on it, or its profile may be broken), and the simulated keyboard is kept off
 * standard input, which it would read and, on a terminal, switch to raw mode. Call before the
 * library is opened. */
void host_use_builtin_desk(void);

#ifdef __cplusplus
}
#endif

#endif
