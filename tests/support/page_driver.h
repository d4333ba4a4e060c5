// Header-only driver for the page-handler tests under Xvfb: shows the
// module state of ui_records on the four pages, acts on the widgets as GTK
// delivers an operator's actions, and reads the pending listing the
// handlers print.
#ifndef MODCFG_TEST_PAGE_DRIVER_H
#define MODCFG_TEST_PAGE_DRIVER_H

#include "command.h"
#include "main.h"
#include "module.h"
#include "set_combo_box.h"
#include "ui_records.h"
#include "window.h"
#include "window_pages.h"
#include "window_update.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

inline std::string dotted_of(const unsigned char *a)
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    return buf;
}

inline void set_entry(GtkWidget *entry, const std::string &text)
{
    gtk_entry_set_text(GTK_ENTRY(entry), text.c_str());
}

inline std::string entry_of(GtkWidget *entry)
{
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

inline bool sensitive(GtkWidget *w)
{
    return gtk_widget_get_sensitive(w) != FALSE;
}

inline bool visible(GtkWidget *w)
{
    return gtk_widget_get_visible(w) != FALSE;
}

// The pages as a refresh shows ui_records' module state (empty keys show the default
// key), every table empty, nothing edited, every page filled.
inline void pages_show_module_state()
{
    ui_records::load_module_state();
    update_mana_widgets();
    update_comm_widgets();
    update_ap_widgets();
    update_sta_widgets();
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
    for (GtkWidget *b :
         {button_mana_confirm, button_comm_confirm, button_ap_confirm, button_sta_confirm})
        gtk_widget_set_sensitive(b, FALSE);
    gtk_widget_set_sensitive(frame_module, TRUE);
}

// ---------------------------------------------------------------------------
// Operator actions.

// Picks the entry with text `text`; fails the test when the list lacks it.
inline void choose(GtkWidget *combo, const std::string &text)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter it;
    int i = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
         ok = gtk_tree_model_iter_next(model, &it), i++) {
        gchar *s = nullptr;
        gtk_tree_model_get(model, &it, 0, &s, -1);
        bool hit = s && text == s;
        g_free(s);
        if (hit) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), i);
            return;
        }
    }
    ADD_FAILURE() << "no entry \"" << text << "\" in the list";
}

inline void press(GtkWidget *radio)
{
    g_signal_emit_by_name(radio, "pressed");
}

// A click with the pointer as GTK delivers it to the button: the pointer
// enters, button 1 goes down and up inside ("pressed", then "clicked").
inline void click_with_pointer(GtkWidget *button)
{
    GdkWindow *w = gtk_button_get_event_window(GTK_BUTTON(button));
    ASSERT_NE(w, nullptr) << "the button is not realized";
    GdkEvent *enter = gdk_event_new(GDK_ENTER_NOTIFY);
    enter->crossing.window = GDK_WINDOW(g_object_ref(w));
    enter->crossing.detail = GDK_NOTIFY_NONLINEAR;
    enter->crossing.mode = GDK_CROSSING_NORMAL;
    gtk_main_do_event(enter);
    gdk_event_free(enter);
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent *ev = gdk_event_new(type);
        ev->button.window = GDK_WINDOW(g_object_ref(w));
        ev->button.button = 1;
        ev->button.x = ev->button.y = 3;
        ev->button.device = gdk_device_get_core_pointer();
        gtk_main_do_event(ev);
        gdk_event_free(ev);
    }
}

// A key pressed and released while `widget`'s window has the keyboard, as
// GTK delivers it (key bindings look at the hardware key code).
inline void press_key(GtkWidget *widget, guint keyval)
{
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    ASSERT_TRUE(gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &n));
    for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
        GdkEvent *ev = gdk_event_new(type);
        ev->key.window =
            GDK_WINDOW(g_object_ref(gtk_widget_get_window(gtk_widget_get_toplevel(widget))));
        ev->key.send_event = TRUE;
        ev->key.keyval = keyval;
        ev->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        ev->key.group = static_cast<guint8>(keys[0].group);
        gtk_main_do_event(ev);
        gdk_event_free(ev);
    }
    g_free(keys);
}

// The keyboard focus leaves the entry: the event GTK delivers to it.
inline void leave(GtkWidget *entry)
{
    GdkEvent *ev = gdk_event_new(GDK_FOCUS_CHANGE);
    ev->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(entry)));
    ev->focus_change.send_event = TRUE;
    ev->focus_change.in = FALSE;
    gtk_widget_event(entry, ev);
    gdk_event_free(ev);
}

// Types `text` into the entry (as far as its limit lets it) and leaves it.
inline void type_and_leave(GtkWidget *entry, const std::string &text)
{
    set_entry(entry, text);
    leave(entry);
}

// ---------------------------------------------------------------------------
// The console.

inline std::string console_of(const std::function<void()> &action)
{
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The lines of the last pending listing printed in `out`; nullopt when
// none was printed.
inline std::optional<std::vector<std::string>> last_listing(const std::string &out)
{
    const std::string head = "------------Commands----------------\n";
    const std::string tail = "------------------------------------\n";
    size_t start = out.rfind(head);
    if (start == std::string::npos)
        return std::nullopt;
    start += head.size();
    size_t end = out.find(tail, start);
    if (end == std::string::npos)
        return std::nullopt;
    std::vector<std::string> lines;
    for (size_t p = start; p < end;) {
        size_t nl = out.find('\n', p);
        lines.push_back(out.substr(p, nl - p));
        p = nl + 1;
    }
    return lines;
}

inline int listings_in(const std::string &out)
{
    int n = 0;
    for (size_t p = out.find("------------Commands"); p != std::string::npos;
         p = out.find("------------Commands", p + 1))
        n++;
    return n;
}

using lines = std::vector<std::string>;

#endif
