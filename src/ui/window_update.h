// Page refresh: writes a page's edited record into its widgets, sets the
// sensitivity and visibility that depend on the values, and marks the page
// as filled.
#ifndef MODCFG_WINDOW_UPDATE_H
#define MODCFG_WINDOW_UPDATE_H

#include <gtk/gtk.h>

#include <string>

// Each reads only its page's edited record (strMODMana_up, strMODComm_up,
// strMODAP_up, strMODSTA_up) and may be called any number of times, once
// the pages are built. A stored code outside a combo's list leaves that
// combo with no active entry.
//
// The page flag (page_mana_shown, ...) is held at 0 while the widgets are
// set and becomes 1 as the last step: the "changed" signals that setting a
// combo emits then reach handlers that ignore them, so a refresh never
// edits the record it shows, queues no command and leaves dirty flags and
// Confirm buttons alone.
void update_mana_widgets();
void update_comm_widgets();
void update_ap_widgets();
void update_sta_widgets();

// The text a refresh puts into `entry` for the record text `bytes`: shown as
// module_text_shown does, cut to the entry's limit of characters. An entry
// still holding exactly this text has not been edited, whatever `bytes` are.
std::string entry_shown_text(GtkWidget *entry, const std::string &bytes);

#endif
