// The process side of the command protocol: run by the main flow whenever the command
// signal has set x_cmd_set. A stop command clears x_loop; the sender gets its reply.
#include "extract/extract.h"
#include "lib/ps/ps.h"

int ks_execute_command() { return ks_ps_execute_command(&x_loop, "no message in command queue."); }
