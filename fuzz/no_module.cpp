// The module operations for fuzz programs that never talk to a module: a
// call would mean the parser under test reached the module unexpectedly.
#include "fuzz_support.h"
#include "module_binding.h"

namespace
{

int no_get(const char *, char *)
{
    FUZZ_CHECK(false, "module_send_cmd_get called");
    return 0;
}
int no_set(const char *)
{
    FUZZ_CHECK(false, "module_send_cmd_set called");
    return 0;
}
int no_echo()
{
    FUZZ_CHECK(false, "module_echo called");
    return 0;
}
const module_binding binding(no_get, no_set, no_echo);

} // namespace
