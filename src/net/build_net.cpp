// What the network build binds: the AT exchange over the module's TCP
// connection, the connection thread at start-up, its PC-side frame and lamp.
#include "main.h"
#include "module.h"
#include "lang.h"
#include "window.h"

#include "button_clicked.h"
#include "module_at.h"
#include "net_module.h"
#include "pccom.h"
#include "tcpsock.h"

void build_startup()
{
    net_start_connect_thread();
}

const GOptionEntry *build_option_entries()
{
    return nullptr;
}

// Each whole exchange holds the exchange lock: the UI thread, the auto-apply
// and the connection thread's keep-alive share the one module socket.
int module_send_cmd_get(const char *cmd, char *ret) { return net_send_cmd_get(cmd, ret); }
int module_send_cmd_set(const char *cmd) { return net_send_cmd_set(cmd); }
int module_echo() { return net_echo(); }

// The socket stays open after a restart or reset: the connection thread
// notices the module going away at its next keep-alive and runs the
// link-lost steps then.
namespace
{

void show_module_gone()
{
    gtk_widget_set_sensitive(frame_module, FALSE);
    strPCCom.bopened = 0;
    set_lamp(2);
    set_conn_text(1);
}

} // namespace

void button_mod_restart_clicked()
{
    {
        tcp_exchange ex;
        sendn("AT+Z\n", 5);
    }
    show_module_gone();
}

void button_mod_reload_clicked()
{
    module_send_cmd_set("AT+RELD");
    show_module_gone();
}

void set_PC_frame(GtkWidget *table)
{
    set_PC_area(table, text_frame_pcnet, set_PC_net_frame);
}

namespace
{

gboolean redraw_lamp(gpointer)
{
    if (draw_net_connect != nullptr)
        gtk_widget_queue_draw(draw_net_connect);
    return FALSE;
}

} // namespace

// The connection thread calls this too, and only the main thread may touch
// widgets: the state is stored at once, the redraw is left to the main loop.
void set_lamp(int state)
{
    g_atomic_int_set(&color, state);
    g_idle_add(redraw_lamp, nullptr);
}
