// The main window: its builders, the widget globals other parts touch, and
// the connection lamp and logo.
#ifndef MODCFG_WINDOW_H
#define MODCFG_WINDOW_H

#include <gtk/gtk.h>
#include <string>

// The module area's globals and set_MOD_frame, so that this header alone
// reaches every widget of the window.
#include "window_pages.h"

// Widget globals of the window and the PC-side area. Null until built; the
// window is built once. The link-group globals of the other build (the
// serial selectors, connect button and lamp, or the network lamp and status
// label) are never created and stay null.
extern GtkWidget *window;
extern GtkWidget *draw_logo; // the logo strip
// Serial link group.
extern GtkWidget *combo_pccom_device;
extern GtkWidget *combo_pccom_baud;
extern GtkWidget *combo_pccom_data;
extern GtkWidget *combo_pccom_parity;
extern GtkWidget *combo_pccom_stop;
extern GtkWidget *button_pccom_open;
extern GtkWidget *draw_connect;
// Network link group.
extern GtkWidget *draw_net_connect;
extern GtkWidget *label_net_conn;
// Settings group.
extern GtkWidget *button_setting_read;
extern GtkWidget *button_setting_save;
extern GtkWidget *label_setting_file;
extern GtkWidget *entry_setting_file;
extern GtkWidget *check_setting_auto;
extern GtkWidget *button_setting_down;

// Initialises GTK with the command line (a no-op when it already is), builds
// the whole window from `setting_file` and `auto_setting`, and shows it.
// Connects every signal after the widget's initial state is set, so
// building runs no handler.
void init_window(int *argc, char ***argv);
// Delete event of the window: sets window_closing, ends the main loop and
// returns FALSE, so GTK goes on to destroy the window.
gboolean window_close(GtkWidget *widget, GdkEvent *event, gpointer data);
// 1 from the window's close on (0 again when init_window builds one): its
// teardown, which takes the focus from an entry, must reach no handler.
extern int window_closing;

// Builders. Each fills the given container; labels get their fonts here.
// The PC-side area into column 0 of `table`: the link frame titled
// `link_title` and filled by `fill_link`, and the settings frame. The
// per-build set_PC_frame passes its own title and filler.
void set_PC_area(GtkWidget *table, const char *link_title, void (*fill_link)(GtkWidget *frame));
void set_PC_COM_frame(GtkWidget *frame); // serial selectors, lamp, connect
void set_PC_net_frame(GtkWidget *frame); // instructions, lamp, status
void set_Setting_frame(GtkWidget *frame);

// Lamp and logo. The lamp is a disc of radius 10 at (20, 13) in its area's
// own pixels, coloured by `color`: 0 grey, 1 green, 3 yellow, anything else
// red. Expose handlers return FALSE.
gboolean draw_expose_event(GtkWidget *widget, GdkEventExpose *event, gpointer data);
void show_pictures_draw(cairo_t *cr, int width, int height);
// The logo strip shows the PNG file "pic" of the working directory at
// (0, 0), unscaled, loaded at every expose; without one there, the logo the
// program was installed with; a missing or broken file leaves the strip
// empty.
gboolean draw_logo_expose_event(GtkWidget *widget, GdkEventExpose *event, gpointer data);
void show_pictures(cairo_t *cr);

// A modal message dialog saying that the working directory cannot be used
// and why, for a start from the menu where standard error is seen by no
// one; not yet shown.
GtkWidget *workdir_error_dialog(const std::string &why);

// Build-specific (one definition per build).
// Binds the module operations to the build's exchange (module_port.h):
// first thing at start, and in the widget tests' main.
void build_bind();
// Command-line options of the build beside the common ones, ended by an
// entry whose long name is null; null when it has none.
const GOptionEntry *build_option_entries();
// The PC-side area: serial settings or network status, then settings.
void set_PC_frame(GtkWidget *table);
// Stores the lamp state (1 connected, 2 not connected) in `color` and has
// the build's lamp redrawn from the main loop. The network build may call
// it from its connection thread.
void set_lamp(int state);

#endif
