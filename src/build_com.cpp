// What the serial build binds: the AT exchange over the PC serial port, its
// PC-side frame, its lamp, and restart and reset over the serial link.
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "lang.h"
#include "window.h"
#include "button_clicked.h"

void build_startup() {}

int module_send_cmd_get(const char *cmd, char *ret) { return at_send_cmd_get(serial_link, cmd, ret); }
int module_send_cmd_set(const char *cmd) { return at_send_cmd_set(serial_link, cmd); }
int module_echo() { return at_echo(serial_link); }

void set_PC_frame(GtkWidget *table)
{
    set_PC_area(table, text_frame_pccom, set_PC_COM_frame);
}

// Called only from handlers on the main thread, which may queue the redraw.
void set_lamp(int state)
{
    g_atomic_int_set(&color, state);
    if (draw_connect != nullptr)
        gtk_widget_queue_draw(draw_connect);
}

// Restart and factory reset over the serial link: not written yet.
void button_mod_restart_clicked() {}
void button_mod_reload_clicked() {}
