// Header-only check that every text the window shows fits the place the
// fixed layout gives it: each mapped label's Pango extent within its own
// allocation and within every ancestor's, and the widget that carries it
// (the label, or the button it captions) clear of every other widget, and
// every widget within its containers.
#ifndef MODCFG_TEST_TEXT_FIT_H
#define MODCFG_TEST_TEXT_FIT_H

#include "lang.h"

#include <gtk/gtk.h>
#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

namespace text_fit
{

struct rect {
    int x, y, w, h;
};

// `widget`'s allocation in the coordinates of `top`.
inline rect in_top(GtkWidget *widget, GtkWidget *top)
{
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, top, 0, 0, &x, &y);
    return {x, y, a.width, a.height};
}

inline bool inside(const rect &a, const rect &outer)
{
    return a.x >= outer.x && a.y >= outer.y && a.x + a.w <= outer.x + outer.w &&
           a.y + a.h <= outer.y + outer.h;
}

inline bool overlap(const rect &a, const rect &b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

inline bool is_ancestor(GtkWidget *maybe, GtkWidget *of)
{
    for (GtkWidget *w = of; w; w = gtk_widget_get_parent(w))
        if (w == maybe)
            return true;
    return false;
}

// The widget whose place a text takes: the button (check and radio buttons
// too) a label captions, else the label.
inline GtkWidget *carrier(GtkWidget *label)
{
    GtkWidget *parent = gtk_widget_get_parent(label);
    return GTK_IS_BUTTON(parent) ? parent : label;
}

inline void collect(GtkWidget *w, std::vector<GtkWidget *> &labels, std::vector<GtkWidget *> &leaves)
{
    if (!gtk_widget_get_mapped(w))
        return;
    if (GTK_IS_LABEL(w)) {
        labels.push_back(w);
        if (!GTK_IS_BUTTON(gtk_widget_get_parent(w)))
            leaves.push_back(w);
        return;
    }
    // Entries, lists, the lamp and buttons are leaves: what is inside them
    // is theirs to lay out (a button's caption is checked as a label).
    if (GTK_IS_ENTRY(w) || GTK_IS_COMBO_BOX(w) || GTK_IS_DRAWING_AREA(w) || GTK_IS_BUTTON(w))
        leaves.push_back(w);
    if (GTK_IS_COMBO_BOX(w) || GTK_IS_ENTRY(w))
        return;
    if (!GTK_IS_CONTAINER(w))
        return;
    // forall, not foreach: frame titles and notebook tabs are internal
    // children.
    struct lists {
        std::vector<GtkWidget *> *labels, *leaves;
    } both{&labels, &leaves};
    gtk_container_forall(
        GTK_CONTAINER(w),
        [](GtkWidget *child, gpointer data) {
            auto *l = static_cast<lists *>(data);
            collect(child, *l->labels, *l->leaves);
        },
        &both);
}

// One line per text that does not fit in the mapped part of `top` (empty
// when all fit), naming the text and what it runs into. `labels_checked`
// counts the non-empty texts looked at.
inline std::vector<std::string> misfits(GtkWidget *top, int *labels_checked = nullptr)
{
    std::vector<GtkWidget *> labels, leaves;
    collect(top, labels, leaves);
    std::vector<std::string> out;
    int checked = 0;
    for (GtkWidget *label : labels) {
        const char *text = gtk_label_get_text(GTK_LABEL(label));
        if (!text || !text[0])
            continue;
        checked++;
        const std::string name = std::string("\"") + text + "\"";
        // Rounded as GTK rounds a label's size (to the nearest pixel; Pango's
        // pixel size rounds outward, a pixel more at some font sizes).
        PangoRectangle logical;
        pango_layout_get_extents(gtk_label_get_layout(GTK_LABEL(label)), nullptr, &logical);
        const int tw = PANGO_PIXELS(logical.width), th = PANGO_PIXELS(logical.height);
        gint xpad = 0, ypad = 0;
        gtk_misc_get_padding(GTK_MISC(label), &xpad, &ypad);
        const rect own = in_top(label, top);
        if (own.w < tw + 2 * xpad || own.h < th + 2 * ypad)
            out.push_back(name + " needs " + std::to_string(tw) + "x" + std::to_string(th) +
                          ", has " + std::to_string(own.w) + "x" + std::to_string(own.h));
        for (GtkWidget *up = gtk_widget_get_parent(label); up; up = gtk_widget_get_parent(up)) {
            if (!inside(own, in_top(up, top))) {
                out.push_back(name + " runs out of its " + G_OBJECT_TYPE_NAME(up));
                break;
            }
        }
        GtkWidget *mine = carrier(label);
        const rect place = in_top(mine, top);
        for (GtkWidget *other : leaves) {
            if (other == mine || is_ancestor(other, mine) || is_ancestor(mine, other))
                continue;
            if (overlap(place, in_top(other, top))) {
                const char *other_text =
                    GTK_IS_LABEL(other) ? gtk_label_get_text(GTK_LABEL(other)) : "";
                out.push_back(name + " overlaps a " + G_OBJECT_TYPE_NAME(other) + " \"" +
                              other_text + "\"");
            }
        }
    }
    // A layout that makes room for a long text (the framing entries move
    // right of their labels) must not push a widget out of its frame.
    for (GtkWidget *leaf : leaves) {
        const rect place = in_top(leaf, top);
        for (GtkWidget *up = gtk_widget_get_parent(leaf); up; up = gtk_widget_get_parent(up)) {
            if (!inside(place, in_top(up, top))) {
                out.push_back(std::string("a ") + G_OBJECT_TYPE_NAME(leaf) + " runs out of its " +
                              G_OBJECT_TYPE_NAME(up));
                break;
            }
        }
    }
    if (labels_checked)
        *labels_checked = checked;
    return out;
}

// Switches the window's language as a user's environment would: "en" sets
// LANGUAGE=en under the C.UTF-8 locale; null leaves the C locale, where
// gettext translates nothing. The build tree's catalogues are used.
// gettext caches lookups by locale name, not by LANGUAGE; naming the
// default domain again drops that cache (a program reads its environment
// once and never needs this).
inline void use_language(const char *language)
{
    ui_language_init(MODCFG_LOCALE_DIR);
    textdomain(textdomain(nullptr));
    if (language) {
        setenv("LANGUAGE", language, 1);
        std::setlocale(LC_ALL, "C.UTF-8");
    } else {
        unsetenv("LANGUAGE");
        std::setlocale(LC_ALL, "C");
    }
}

// Whether `text` holds anything but ASCII: in English every text should.
inline bool has_non_ascii(const char *text)
{
    for (const char *p = text; *p; p++)
        if (static_cast<unsigned char>(*p) >= 0x80)
            return true;
    return false;
}

// The non-empty texts of the mapped labels of `top`.
inline std::vector<std::string> shown_texts(GtkWidget *top)
{
    std::vector<GtkWidget *> labels, leaves;
    collect(top, labels, leaves);
    std::vector<std::string> out;
    for (GtkWidget *label : labels) {
        const char *text = gtk_label_get_text(GTK_LABEL(label));
        if (text && text[0])
            out.push_back(text);
    }
    return out;
}

// Saves what the X server shows of `top` as DIR/NAME.png when the
// environment names a DIR in MODCFG_SHOT_DIR (screenshots to look at).
inline void save_shot(GtkWidget *top, const std::string &name)
{
    const char *dir = std::getenv("MODCFG_SHOT_DIR");
    if (!dir || !dir[0])
        return;
    gdk_window_process_all_updates();
    gdk_flush();
    GtkAllocation a;
    gtk_widget_get_allocation(top, &a);
    GdkPixbuf *pb = gdk_pixbuf_get_from_drawable(nullptr, gtk_widget_get_window(top), nullptr, 0,
                                                 0, 0, 0, a.width, a.height);
    if (pb) {
        gdk_pixbuf_save(pb, (std::string(dir) + "/" + name + ".png").c_str(), "png", nullptr,
                        nullptr);
        g_object_unref(pb);
    }
}

} // namespace text_fit

#endif
