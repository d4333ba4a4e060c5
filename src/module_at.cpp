// AT exchange (placeholder until the serial link lands).
#include "module_at.h"

int at_send_cmd_get(const at_link &, const char *, char *) { return 0; }
int at_send_cmd_set(const at_link &, const char *) { return 0; }
int at_echo(const at_link &) { return 0; }
const at_link serial_link = {nullptr, nullptr};
