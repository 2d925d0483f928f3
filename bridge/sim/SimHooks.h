#ifndef TAVRIN_SIM_HOOKS_H
#define TAVRIN_SIM_HOOKS_H
/*
 * Extra entry points of the simulated libCp210xHid.so, for tests only. The
 * service never calls them; a test that runs against the simulated library
 * finds them with dlsym(RTLD_DEFAULT, ...) or links the simulated target.
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the loaded script, its position and the log, so the next open
   reads TAVRIN_SIM_SCRIPT, TAVRIN_SIM_LOG and the other variables afresh.
   Handles still open keep working against the new state. */
__attribute__((visibility("default"))) void tavrin_sim_reset(void);

/* The last cp210x_set_termios call: fills *cflag and *baud and returns 0, or
   returns -1 when there was none since the last reset. */
__attribute__((visibility("default"))) int tavrin_sim_last_termios(uint32_t* cflag, int* baud);

#ifdef __cplusplus
}
#endif

#endif
