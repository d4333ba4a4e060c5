// The main window: its builders, the widget globals other parts touch, the
// page refresh and the connection lamp.
#ifndef MODCFG_WINDOW_H
#define MODCFG_WINDOW_H

#include <gtk/gtk.h>

extern GtkWidget *window;

// Initialises GTK with the command line, builds the window and shows it.
void init_window(int *argc, char ***argv);
// Delete event of the window: ends the main loop.
gboolean window_close(GtkWidget *widget, GdkEvent *event, gpointer data);

// Build-specific (one definition per build).
// The PC-side frame: serial port settings or network status.
void set_PC_frame(GtkWidget *table);
// Lamp state: 1 connected (green), 2 not connected (red).
void set_lamp(int state);

#endif
