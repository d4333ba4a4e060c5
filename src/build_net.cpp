// What the network build binds: the AT exchange over the module's TCP
// connection, the connection thread at start-up, its PC-side frame and lamp.
#include "main.h"
#include "module.h"
#include "window.h"

void build_startup() {}

int module_send_cmd_get(const char *, char *) { return 0; }
int module_send_cmd_set(const char *) { return 0; }
int module_echo() { return 0; }

void set_PC_frame(GtkWidget *) {}
void set_lamp(int state) { color = state; }
