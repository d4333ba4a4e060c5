// What the serial build binds: the AT exchange over the PC serial port, its
// PC-side frame, its lamp, and restart and reset over the serial link.
#include "main.h"
#include "window_state.h"
#include "module.h"
#include "module_at.h"
#include "module_port.h"
#include "lang.h"
#include "window.h"
#include "button_clicked.h"
#include "pccom.h"

void build_startup() {}

const GOptionEntry *build_option_entries()
{
    return nullptr;
}

void build_bind()
{
    module_bind(module_ops_over(serial_link));
}

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

namespace
{

// After "AT+Z" or "AT+RELD" the module goes off: the link ends without
// "AT+ENTM", and the operator connects again once it is back. The
// command-file buttons, page flags and counters are left as they are.
void end_link_after_restart()
{
    pccom_close();
    pccom_selectors_set_sensitive(TRUE);
    pccom_open_set_label(text_button_connect);
    gtk_widget_set_sensitive(frame_module, FALSE);
    strPCCom.bopened = 0;
    set_lamp(2);
}

} // namespace

void button_mod_restart_clicked()
{
    // Written raw: the module restarts at once, so no reply is awaited. fd 0
    // is no port (it would be standard input).
    if (strPCCom.fd != 0)
        CommWrite(strPCCom.fd, "AT+Z\n", 5);
    end_link_after_restart();
}

void button_mod_reload_clicked()
{
    if (strPCCom.fd != 0)
        module_send_cmd_set("AT+RELD");
    end_link_after_restart();
}
