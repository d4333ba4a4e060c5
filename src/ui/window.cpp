// Main window, the PC-side area, and the lamp and logo drawing.
#include "window.h"

#include "callback.h"
#include "lang.h"
#include "main.h"
#include "set_combo_box.h"
#include "window_state.h"
#include "workdir.h"

#include <algorithm>
#include <cmath>

GtkWidget *window;
GtkWidget *draw_logo;
GtkWidget *combo_pccom_device;
GtkWidget *combo_pccom_baud;
GtkWidget *combo_pccom_data;
GtkWidget *combo_pccom_parity;
GtkWidget *combo_pccom_stop;
GtkWidget *button_pccom_open;
GtkWidget *draw_connect;
GtkWidget *draw_net_connect;
GtkWidget *label_net_conn;
GtkWidget *button_setting_read;
GtkWidget *button_setting_save;
GtkWidget *label_setting_file;
GtkWidget *entry_setting_file;
GtkWidget *check_setting_auto;
GtkWidget *button_setting_down;

namespace
{

// The PC-side frames' width; their texts must fit inside it.
constexpr int link_frame_width = 190;

// Dispatch keys are constant strings; the dispatchers take them as gpointer.
gpointer key(const char *k)
{
    return const_cast<char *>(k);
}

GtkWidget *put_label(GtkWidget *fixed, const char *text, int x, int y)
{
    GtkWidget *label = gtk_label_new(ui_text(text).get());
    set_widget_font(label);
    gtk_fixed_put(GTK_FIXED(fixed), label, x, y);
    return label;
}

// A text combo filled before "changed" is connected, so filling it reaches
// no handler.
GtkWidget *put_combo(GtkWidget *fixed, void (*fill)(GtkWidget *), int x, int y, const char *k)
{
    GtkWidget *combo = gtk_combo_box_new_text();
    fill(combo);
    gtk_fixed_put(GTK_FIXED(fixed), combo, x, y);
    g_signal_connect(combo, "changed", G_CALLBACK(combo_selected), key(k));
    return combo;
}

GtkWidget *put_button(GtkWidget *fixed, const char *text, int x, int y, int w, int h, const char *k)
{
    GtkWidget *button = gtk_button_new_with_label(ui_text(text).get());
    gtk_fixed_put(GTK_FIXED(fixed), button, x, y);
    gtk_widget_set_size_request(button, w, h);
    set_caption_fit(button);
    g_signal_connect(button, "clicked", G_CALLBACK(button_clicked), key(k));
    return button;
}

// Clears `global` when GTK destroys the widget, so that a late caller (a
// lamp change from the connection thread while the program ends) finds null
// rather than a freed widget.
GtkWidget *track(GtkWidget *&global, GtkWidget *widget)
{
    global = widget;
    g_signal_connect(widget, "destroy", G_CALLBACK(gtk_widget_destroyed), &global);
    return widget;
}

GtkWidget *put_lamp(GtkWidget *fixed, int x, int y)
{
    GtkWidget *lamp = gtk_drawing_area_new();
    gtk_widget_set_size_request(lamp, 30, 30);
    gtk_fixed_put(GTK_FIXED(fixed), lamp, x, y);
    g_signal_connect(lamp, "expose_event", G_CALLBACK(draw_expose_event), nullptr);
    return lamp;
}

GtkWidget *new_fixed_in(GtkWidget *frame)
{
    GtkWidget *fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(frame), fixed);
    return fixed;
}

GtkWidget *put_frame(GtkWidget *fixed, const char *title, int x, int y, int w, int h,
                     void (*fill)(GtkWidget *))
{
    GtkWidget *frame = gtk_frame_new(ui_text(title).get());
    gtk_fixed_put(GTK_FIXED(fixed), frame, x, y);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_ETCHED_OUT);
    fill(frame);
    gtk_widget_set_size_request(frame, w, h);
    return frame;
}

} // namespace

int window_closing = 0;

gboolean window_close(GtkWidget *, GdkEvent *, gpointer)
{
    window_closing = 1;
    gtk_main_quit();
    return FALSE;
}

void set_PC_COM_frame(GtkWidget *frame)
{
    GtkWidget *fixed = new_fixed_in(frame);
    struct row {
        const char *label;
        GtkWidget *&combo;
        void (*fill)(GtkWidget *);
        const char *key;
    };
    const row rows[] = {
        {text_cpcom_device, combo_pccom_device, set_com_port, "pccom_device"},
        {text_serial_baud, combo_pccom_baud, set_com_baudrate, "pccom_baudrate"},
        {text_serial_data, combo_pccom_data, set_com_data, "pccom_data"},
        {text_serial_parity, combo_pccom_parity, set_com_parity, "pccom_parity"},
        {text_serial_stop, combo_pccom_stop, set_com_stop, "pccom_stop"},
    };
    // The lists start at x 60, or right of the widest label where a
    // language needs more room (English "Data bits").
    int x = 60;
    for (int i = 0; i < 5; i++) {
        GtkWidget *label = put_label(fixed, rows[i].label, 10, 11 + 30 * i);
        GtkRequisition req;
        gtk_widget_size_request(label, &req);
        x = std::max(x, 10 + req.width + 4);
    }
    for (int i = 0; i < 5; i++)
        track(rows[i].combo, put_combo(fixed, rows[i].fill, x, 7 + 30 * i, rows[i].key));
    track(draw_connect, put_lamp(fixed, 10, 170));
    track(button_pccom_open,
          put_button(fixed, text_button_connect, 60, 170, 100, 28, "comstart_button"));
}

void set_PC_net_frame(GtkWidget *frame)
{
    GtkWidget *fixed = new_fixed_in(frame);
    // The Chinese first line and the full address mask are wider than the
    // frame in the field font: they take a smaller size rather than run
    // past its border.
    const int room = link_frame_width - 2 * gtk_widget_get_style(frame)->xthickness - 5 - 2;
    set_widget_font_within(put_label(fixed, text_net_connect1, 5, 21), room);
    GtkWidget *address = put_label(fixed, text_net_connect2, 5, 51);
    set_widget_font_within(address, room);
    GdkColor blue = {0, 0, 0, 65535};
    gtk_widget_modify_fg(address, GTK_STATE_NORMAL, &blue);
    put_label(fixed, text_net_connect3, 5, 81);
    put_label(fixed, text_net_connect4, 5, 111);
    track(draw_net_connect, put_lamp(fixed, 10, 150));
    track(label_net_conn, gtk_label_new(ui_text(text_net_conn1).get()));
    set_widget_font_sb(label_net_conn);
    gtk_fixed_put(GTK_FIXED(fixed), label_net_conn, 50, 158);
}

void set_Setting_frame(GtkWidget *frame)
{
    GtkWidget *fixed = new_fixed_in(frame);
    track(button_setting_read,
          put_button(fixed, text_button_read, 10, 10, 70, 28, "setting_read_button"));
    track(button_setting_save,
          put_button(fixed, text_button_save, 100, 10, 70, 28, "setting_save_button"));
    // The two buttons share x 10 to 170; a longer read caption (English
    // "Read settings") takes room from the save button as long as its own
    // caption still fits.
    const int read_w = std::max(70, caption_width(button_setting_read));
    const int save_x = std::max(100, 10 + read_w + 8);
    if (170 - save_x >= caption_width(button_setting_save)) {
        gtk_widget_set_size_request(button_setting_read, read_w, 28);
        gtk_fixed_move(GTK_FIXED(fixed), button_setting_save, save_x, 10);
        gtk_widget_set_size_request(button_setting_save, 170 - save_x, 28);
    }
    track(label_setting_file, put_label(fixed, text_cmd_filename, 10, 53));

    track(entry_setting_file, gtk_entry_new());
    gtk_entry_set_max_length(GTK_ENTRY(entry_setting_file), 15);
    // The name comes from set_para.txt, which may hold any bytes; GTK must
    // only ever see UTF-8.
    gchar *name = g_utf8_make_valid(setting_file, -1);
    gtk_entry_set_text(GTK_ENTRY(entry_setting_file), name);
    g_free(name);
    gtk_fixed_put(GTK_FIXED(fixed), entry_setting_file, 70, 50);
    gtk_widget_set_size_request(entry_setting_file, 100, 22);

    track(check_setting_auto, gtk_check_button_new_with_label(ui_text(text_auto_config).get()));
    // Ticked before "clicked" is connected: loading the flag must not write
    // it back through the handler.
    if (auto_setting == 1)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_setting_auto), TRUE);
    gtk_fixed_put(GTK_FIXED(fixed), check_setting_auto, 10, 77);
    g_signal_connect(check_setting_auto, "clicked", G_CALLBACK(button_clicked),
                     key("auto_setting_button"));

    track(button_setting_down,
          put_button(fixed, text_button_file_config, 15, 100, 140, 28, "setting_down_button"));

    // Nothing to read, save or apply until a module is connected.
    gtk_widget_set_sensitive(button_setting_read, FALSE);
    gtk_widget_set_sensitive(button_setting_save, FALSE);
    gtk_widget_set_sensitive(button_setting_down, FALSE);
}

void set_PC_area(GtkWidget *table, const char *link_title, void (*fill_link)(GtkWidget *frame))
{
    GtkWidget *area = gtk_frame_new(nullptr);
    gtk_table_attach_defaults(GTK_TABLE(table), area, 0, 1, 0, 1);
    gtk_frame_set_shadow_type(GTK_FRAME(area), GTK_SHADOW_ETCHED_OUT);
    gtk_widget_set_size_request(area, 200, 400);
    GtkWidget *fixed = new_fixed_in(area);
    put_frame(fixed, link_title, 3, 8, link_frame_width, 220, fill_link);
    put_frame(fixed, text_frame_config, 3, 242, 190, 150, set_Setting_frame);
}

void init_window(int *argc, char ***argv)
{
    gtk_init(argc, argv);
    window_closing = 0;

    track(window, gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(GTK_WINDOW(window), ui_text(text_title).get());
    g_signal_connect(window, "delete-event", G_CALLBACK(window_close), nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(window), 10);

    // Homogeneous tables: the logo gets a sixth of the height, the PC-side
    // area a quarter of the width.
    GtkWidget *outer = gtk_table_new(6, 1, TRUE);
    gtk_container_add(GTK_CONTAINER(window), outer);

    GtkWidget *logo_frame = gtk_frame_new(nullptr);
    gtk_table_attach_defaults(GTK_TABLE(outer), logo_frame, 0, 1, 0, 1);
    track(draw_logo, gtk_drawing_area_new());
    gtk_container_add(GTK_CONTAINER(logo_frame), draw_logo);
    g_signal_connect(draw_logo, "expose_event", G_CALLBACK(draw_logo_expose_event), nullptr);

    GtkWidget *inner = gtk_table_new(1, 4, TRUE);
    gtk_table_attach_defaults(GTK_TABLE(outer), inner, 0, 1, 1, 6);
    set_PC_frame(inner);
    set_MOD_frame(inner);

    gtk_widget_show_all(window);
}

void show_pictures_draw(cairo_t *cr, int, int)
{
    // `color` may be set from the network build's connection thread.
    switch (g_atomic_int_get(&color)) {
    case 0:
        cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
        break;
    case 1:
        cairo_set_source_rgb(cr, 0, 1, 0);
        break;
    case 3:
        cairo_set_source_rgb(cr, 1, 1, 0);
        break;
    default: // 2, and any state no caller sets
        cairo_set_source_rgb(cr, 1, 0, 0);
        break;
    }
    // Fixed place and size whatever the allocation: the area is 30 x 30.
    cairo_arc(cr, 20, 13, 10, 0, 2 * M_PI);
    cairo_fill(cr);
}

gboolean draw_expose_event(GtkWidget *widget, GdkEventExpose *, gpointer)
{
    GtkAllocation alloc;
    gtk_widget_get_allocation(widget, &alloc);
    cairo_t *cr = gdk_cairo_create(gtk_widget_get_window(widget));
    show_pictures_draw(cr, alloc.width, alloc.height);
    cairo_destroy(cr);
    return FALSE;
}

void show_pictures(cairo_t *cr)
{
    // Loaded at every expose, so a logo put beside the program later shows
    // up; a missing file gives a surface in error state that paints nothing.
    // A window typed in a shell elsewhere has no "pic" beside it.
    static const std::string installed = workdir_installed_logo();
    const char *path =
        g_file_test("pic", G_FILE_TEST_EXISTS) || installed.empty() ? "pic" : installed.c_str();
    cairo_surface_t *image = cairo_image_surface_create_from_png(path);
    cairo_save(cr);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(image);
}

gboolean draw_logo_expose_event(GtkWidget *widget, GdkEventExpose *, gpointer)
{
    cairo_t *cr = gdk_cairo_create(gtk_widget_get_window(widget));
    show_pictures(cr);
    cairo_destroy(cr);
    return FALSE;
}

GtkWidget *workdir_error_dialog(const std::string &why)
{
    GtkWidget *dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE,
                               "%s", ui_text(text_workdir_error).get());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", why.c_str());
    const char *prog = g_get_prgname();
    gtk_window_set_title(GTK_WINDOW(dialog), prog ? prog : "modcfg");
    return dialog;
}
