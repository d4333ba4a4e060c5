// What the network build binds: the AT exchange over the module's TCP
// connection, the connection thread at start-up, its PC-side frame and lamp.
#include "main.h"
#include "window_state.h"
#include "module.h"
#include "lang.h"
#include "window.h"

#include "button_clicked.h"
#include "module_at.h"
#include "net_access.h"
#include "net_module.h"
#include "pccom.h"
#include "tcpsock.h"

#include <string>

void build_startup()
{
    net_start_connect_thread();
}

namespace
{

gboolean option_listen(const gchar *name, const gchar *value, gpointer, GError **error)
{
    std::string why;
    if (!net_address_parse(value, nullptr, &why)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, "%s %s: %s", name, value,
                    why.c_str());
        return FALSE;
    }
    net_listen_address = value;
    return TRUE;
}

gboolean option_allow(const gchar *name, const gchar *value, gpointer, GError **error)
{
    std::string why;
    net_allow_rule rule;
    if (!net_allow_parse(value, &rule, &why)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, "%s %s: %s", name, value,
                    why.c_str());
        return FALSE;
    }
    net_allowed.push_back(rule);
    return TRUE;
}

const GOptionEntry net_entries[] = {
    {"listen", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(option_listen),
     "Listen for the module on this local IPv4 address only (default: every address)", "ADDR"},
    {"allow", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(option_allow),
     "Accept the module only from this network; repeatable (default: from anywhere)", "NET/LEN"},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

} // namespace

const GOptionEntry *build_option_entries()
{
    return net_entries;
}

// Each whole exchange holds the exchange lock: the UI thread, the auto-apply
// and the connection thread's keep-alive share the one module socket.
void build_bind()
{
    module_bind(net_module_ops());
}

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
