// Commands from the manager: the shared executor takes the message addressed to this
// process, clears x_loop on a stop request and answers the sender.
#include "apply/apply.h"
#include "lib/ps/ps.h"

int ks_execute_command() { return ks_ps_execute_command(&x_loop, "read command queue error.") < 0 ? -1 : 0; }
