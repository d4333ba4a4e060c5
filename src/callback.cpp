// Signal dispatch: from a widget's key to its handler.
#include "callback.h"

dispatch_tap_fn dispatch_tap = nullptr;

namespace
{

// True when a tap took the signal.
bool tapped(const char *dispatcher, gpointer data)
{
    return dispatch_tap && dispatch_tap(dispatcher, static_cast<const char *>(data));
}

} // namespace

// The key tables and their handlers are not written yet: until then every
// key does nothing, as an unknown key will.

void combo_selected(GtkComboBox *, gpointer data)
{
    if (tapped("combo", data))
        return;
}

void button_clicked(GtkButton *, gpointer data)
{
    if (tapped("button", data))
        return;
}

void radio_changed(GtkButton *, gpointer data)
{
    if (tapped("radio", data))
        return;
}

gboolean entry_focus_out(GtkWidget *, GdkEventFocus *, gpointer data)
{
    tapped("entry", data);
    return FALSE;
}

void notebook_switch_page(GtkNotebook *, gpointer, guint, gpointer)
{
    // Reading a page's settings on its first showing comes with the
    // handlers; nothing is done here yet.
}
