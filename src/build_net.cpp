// What the network build binds: the AT exchange over the module's TCP
// connection, the connection thread at start-up, its PC-side frame and lamp.
#include "main.h"
#include "module.h"
#include "lang.h"
#include "window.h"

void build_startup() {}

int module_send_cmd_get(const char *, char *) { return 0; }
int module_send_cmd_set(const char *) { return 0; }
int module_echo() { return 0; }

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
