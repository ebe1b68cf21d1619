// Definitions of the capture process's globals. They live in the library rather than in
// the program's entry so that tests and tools linking the capture code get them too.
#include "extract/extract.h"

volatile sig_atomic_t x_loop = 1;
volatile sig_atomic_t x_cmd_set = 0;
int x_thrd = 0;
int x_rac = 0;
uint64_t x_last_scn = 0;
uint64_t x_last_xid = 0;
ks_extr_t x_extr = {};
