// The serial build's watch on its open port: a GLib source on the
// descriptor, polled by the main loop for hang-up and error conditions.
#include "pccom_watch.h"

#include <glib-unix.h>

namespace
{

guint watch_id;
void (*watch_gone)();

gboolean port_condition(gint, GIOCondition, gpointer)
{
    // The source goes away with this return: forget it first, so that the
    // close in on_gone does not remove it a second time.
    watch_id = 0;
    if (void (*gone)() = watch_gone) {
        watch_gone = nullptr;
        gone();
    }
    return G_SOURCE_REMOVE;
}

} // namespace

void pccom_watch_start(int fd, void (*on_gone)())
{
    pccom_watch_stop();
    watch_gone = on_gone;
    // HUP and ERR are reported by poll() whatever is asked for; asking for
    // nothing else keeps incoming bytes from waking the main loop. NVAL
    // only shows if the descriptor was closed under the watch.
    watch_id = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR | G_IO_NVAL),
                             port_condition, nullptr);
}

void pccom_watch_stop()
{
    if (watch_id != 0)
        g_source_remove(watch_id);
    watch_id = 0;
    watch_gone = nullptr;
}
