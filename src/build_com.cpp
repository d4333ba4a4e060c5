// What the serial build binds: the AT exchange over the PC serial port, its
// PC-side frame, its lamp, and restart and reset over the serial link.
#include "main.h"
#include "module.h"
#include "window.h"

void build_startup() {}

int module_send_cmd_get(const char *, char *) { return 0; }
int module_send_cmd_set(const char *) { return 0; }
int module_echo() { return 0; }

void set_PC_frame(GtkWidget *) {}
void set_lamp(int state) { color = state; }
