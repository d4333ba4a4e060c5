// Header-only helpers for in-process window tests under Xvfb: which keys the
// dispatchers saw, waiting on the main loop with a deadline, reading widget
// texts, fonts and places, and pixels of the realised window.
#ifndef MODCFG_TEST_WINDOW_PROBE_H
#define MODCFG_TEST_WINDOW_PROBE_H

#include "callback.h"
#include "main.h"
#include "module.h"
#include "window.h"

#include <gtk/gtk.h>

#include <cairo.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Every dispatch since the last clear, as (dispatcher, key); the tap stops
// the dispatch so no handler runs.
inline std::vector<std::pair<std::string, std::string>> &dispatched()
{
    static std::vector<std::pair<std::string, std::string>> seen;
    return seen;
}
inline bool record_dispatch(const char *dispatcher, const char *key)
{
    dispatched().emplace_back(dispatcher, key ? key : "(null)");
    return true;
}

// Runs the main loop until `done` holds or `ms` have passed; returns done().
inline bool pump_until(const std::function<bool()> &done, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        else
            g_usleep(2000);
    }
    return true;
}

inline void pump_pending()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

inline std::vector<GtkWidget *> children_of(GtkWidget *container)
{
    std::vector<GtkWidget *> out;
    GList *list = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList *l = list; l != nullptr; l = l->next)
        out.push_back(GTK_WIDGET(l->data));
    g_list_free(list);
    return out;
}

// The fixed container a builder put into `frame`.
inline GtkWidget *fixed_in(GtkWidget *frame)
{
    return gtk_bin_get_child(GTK_BIN(frame));
}

// The frame whose fixed container holds `widget`.
inline GtkWidget *frame_around(GtkWidget *widget)
{
    return gtk_widget_get_parent(gtk_widget_get_parent(widget));
}

// Texts of the plain labels placed directly in `fixed`, in placing order.
inline std::vector<std::string> label_texts(GtkWidget *fixed)
{
    std::vector<std::string> out;
    for (GtkWidget *w : children_of(fixed))
        if (GTK_IS_LABEL(w))
            out.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
    return out;
}

inline std::string frame_title(GtkWidget *frame)
{
    const char *t = gtk_frame_get_label(GTK_FRAME(frame));
    return t ? t : "";
}

inline std::string button_text(GtkWidget *button)
{
    const char *t = gtk_button_get_label(GTK_BUTTON(button));
    return t ? t : "";
}

// The font a builder set on the widget ("" when it keeps the default).
inline std::string font_override(GtkWidget *widget)
{
    GtkRcStyle *rc = gtk_widget_get_modifier_style(widget);
    if (rc == nullptr || rc->font_desc == nullptr)
        return "";
    gchar *s = pango_font_description_to_string(rc->font_desc);
    std::string out = s;
    g_free(s);
    return out;
}

inline std::pair<int, int> place_in_fixed(GtkWidget *widget)
{
    int x = -1, y = -1;
    gtk_container_child_get(GTK_CONTAINER(gtk_widget_get_parent(widget)), widget, "x", &x, "y", &y,
                            nullptr);
    return {x, y};
}

inline std::pair<int, int> size_request(GtkWidget *widget)
{
    int w = 0, h = 0;
    gtk_widget_get_size_request(widget, &w, &h);
    return {w, h};
}

// Entries of a text combo box in order, and its active entry.
inline std::vector<std::string> combo_entries(GtkWidget *combo)
{
    std::vector<std::string> out;
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
         ok = gtk_tree_model_iter_next(model, &it)) {
        gchar *s = nullptr;
        gtk_tree_model_get(model, &it, 0, &s, -1);
        out.emplace_back(s ? s : "");
        g_free(s);
    }
    return out;
}
inline std::string combo_active(GtkWidget *combo)
{
    gchar *s = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

// Counts the exposes a widget has handled, after its own handler ran.
inline int *count_exposes(GtkWidget *widget)
{
    int *n = new int(0);
    g_signal_connect_data(
        widget, "expose-event",
        G_CALLBACK(+[](GtkWidget *, GdkEventExpose *, gpointer d) -> gboolean {
            ++*static_cast<int *>(d);
            return FALSE;
        }),
        n, [](gpointer d, GClosure *) { delete static_cast<int *>(d); }, G_CONNECT_AFTER);
    return n;
}

struct rgb {
    int r, g, b;
    bool operator==(const rgb &o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const rgb &o) const { return !(*this == o); }
};
inline std::ostream &operator<<(std::ostream &os, const rgb &c)
{
    return os << "rgb(" << c.r << "," << c.g << "," << c.b << ")";
}

// What the X server shows of a realised top-level window; unref when done.
inline GdkPixbuf *grab_window(GtkWidget *top)
{
    gdk_window_process_all_updates();
    gdk_flush();
    GtkAllocation a;
    gtk_widget_get_allocation(top, &a);
    return gdk_pixbuf_get_from_drawable(nullptr, gtk_widget_get_window(top), nullptr, 0, 0, 0, 0,
                                        a.width, a.height);
}

inline rgb pixel(GdkPixbuf *pb, int x, int y)
{
    const guchar *p = gdk_pixbuf_get_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) +
                      x * gdk_pixbuf_get_n_channels(pb);
    return {p[0], p[1], p[2]};
}

// Pixel of the grabbed `top` at point (x, y) of `widget`'s own area.
inline rgb pixel_of(GdkPixbuf *pb, GtkWidget *top, GtkWidget *widget, int x, int y)
{
    int wx = 0, wy = 0;
    gtk_widget_translate_coordinates(widget, top, x, y, &wx, &wy);
    return pixel(pb, wx, wy);
}

// Waits until the window on the X server shows `want` at (x, y) of `widget`:
// the server may show a repaint a little after the expose that drew it.
inline bool shows_pixel(GtkWidget *top, GtkWidget *widget, int x, int y, rgb want)
{
    return pump_until([&] {
        GdkPixbuf *pb = grab_window(top);
        bool same = pixel_of(pb, top, widget, x, y) == want;
        g_object_unref(pb);
        return same;
    });
}

// Builds the window afresh as start-up does, from the given loaded settings,
// with the recording tap in place so that any handler run while building
// shows in dispatched(). GTK criticals abort: they mean a builder misused a
// widget.
inline void build_window(int auto_flag = 0, const char *file = "set_file.txt")
{
    if (window != nullptr)
        gtk_widget_destroy(window);
    auto_setting = auto_flag;
    text_set(setting_file, file);
    dispatched().clear();
    dispatch_tap = record_dispatch;
    g_log_set_always_fatal(
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR | G_LOG_FATAL_MASK));
    char arg0[] = "modcfg";
    char *args[] = {arg0, nullptr};
    int argc = 1;
    char **argv = args;
    init_window(&argc, &argv);
}

inline void destroy_window()
{
    dispatch_tap = nullptr;
    if (window != nullptr)
        gtk_widget_destroy(window);
}

// A w x h PNG "pic" of one colour in the working directory.
inline void write_solid_png(const char *path, double r, double g, double b, int w, int h)
{
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t *cr = cairo_create(s);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_write_to_png(s, path);
    cairo_surface_destroy(s);
}

// Pixel (x, y) of an ARGB32 or RGB24 image surface, unpremultiplied alpha
// aside: lamp and logo paint opaque colours.
struct argb {
    int a, r, g, b;
};
inline argb surface_pixel(cairo_surface_t *s, int x, int y)
{
    cairo_surface_flush(s);
    const unsigned char *row =
        cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
    uint32_t v = reinterpret_cast<const uint32_t *>(row)[x];
    int a = cairo_image_surface_get_format(s) == CAIRO_FORMAT_RGB24 ? 255 : int(v >> 24);
    return {a, int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)};
}

#endif
