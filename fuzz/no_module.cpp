// The module operations for fuzz programs that never talk to a module: the
// core's readers and command files refer to them, so they must exist, and
// a call would mean the parser under test reached the module unexpectedly.
#include "fuzz_support.h"

int module_send_cmd_get(const char *, char *)
{
    FUZZ_CHECK(false, "module_send_cmd_get called");
    return 0;
}
int module_send_cmd_set(const char *)
{
    FUZZ_CHECK(false, "module_send_cmd_set called");
    return 0;
}
int module_echo()
{
    FUZZ_CHECK(false, "module_echo called");
    return 0;
}
