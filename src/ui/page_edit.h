// What every handler that changes a page's edited record does last: the
// page is marked edited once and its Confirm button made sensitive.
#ifndef MODCFG_PAGE_EDIT_H
#define MODCFG_PAGE_EDIT_H

#include <gtk/gtk.h>

// Sets the module record's `dirty` flag and makes `confirm` sensitive, but
// only on the first edit: a later one leaves the button alone.
inline void mark_page_edited(int &dirty, GtkWidget *confirm)
{
    if (dirty == 0) {
        dirty = 1;
        gtk_widget_set_sensitive(confirm, TRUE);
    }
}

#endif
