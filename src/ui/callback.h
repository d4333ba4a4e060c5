// The dispatchers every widget signal of the window is connected to. The
// user data of a connection is a constant ASCII key naming the handler;
// keys compare by content, so several widgets may share one.
#ifndef MODCFG_CALLBACK_H
#define MODCFG_CALLBACK_H

#include <gtk/gtk.h>

// "changed" of every text combo box.
void combo_selected(GtkComboBox *widget, gpointer data);
// "clicked" of every push button and of the check button.
void button_clicked(GtkButton *widget, gpointer data);
// "pressed" of every radio button: runs on every press, also on the
// button that is already active, and not when code makes one active.
void radio_changed(GtkButton *widget, gpointer data);
// "toggled" of every radio button: runs the same handler when a button
// becomes active other than by a pointer click, which "pressed" has taken
// already: from the keyboard (arrow keys, space), or from code, where the
// page flags keep a refresh from editing.
void radio_toggled(GtkToggleButton *widget, gpointer data);
// "focus-out-event" of every editable entry. Returns FALSE so the entry's
// own focus handling still runs.
gboolean entry_focus_out(GtkWidget *widget, GdkEventFocus *event, gpointer data);
// "switch-page" of the module notebook, connected without user data.
// `page` is the toolkit's page record (GtkNotebookPage, opaque in GTK 2).
void notebook_switch_page(GtkNotebook *notebook, gpointer page, guint page_num, gpointer data);

// The handler that dispatcher `dispatcher` ("combo", "button", "radio",
// "entry") runs for `key`: that of the first row of its table whose name
// equals the whole key. Null for a key in no row ("sta_mac" among them), a
// null key or another dispatcher name; such a signal does nothing.
using dispatch_handler = void (*)();
dispatch_handler dispatch_find(const char *dispatcher, const char *key);

// None of the dispatchers runs a handler once the window is closing
// (window_closing, window.h).
//
// Seen by the four keyed dispatchers first, with the dispatcher's name
// ("combo", "button", "radio", "entry") and the key. Null in the program;
// tests set it to check which key a widget reaches. Returning true stops
// the dispatch, so a test can emit signals without running handlers.
using dispatch_tap_fn = bool (*)(const char *dispatcher, const char *key);
extern dispatch_tap_fn dispatch_tap;

#endif
