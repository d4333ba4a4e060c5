// Main window and PC-side frames.
#include "window.h"

#include "main.h"

GtkWidget *window;

gboolean window_close(GtkWidget *, GdkEvent *, gpointer)
{
    gtk_main_quit();
    return FALSE;
}

void init_window(int *argc, char ***argv)
{
    gtk_init(argc, argv);
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "QX-B27设置工具 V2.2");
    g_signal_connect(window, "delete_event", G_CALLBACK(window_close), nullptr);
    gtk_widget_show_all(window);
}
