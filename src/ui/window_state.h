// The window's own state: whether it is built, the module page shown and
// which pages were filled from the module, and the lamp.
#ifndef MODCFG_WINDOW_STATE_H
#define MODCFG_WINDOW_STATE_H

extern int started;           // 1 once the window has been built
extern int notebook_page_now; // module page last switched to, 0..3
extern int page_mana_shown;   // 1 once the page was filled from the module
extern int page_comm_shown;
extern int page_ap_shown;
extern int page_sta_shown;
extern int color; // lamp: 1 connected, 2 not connected

// Back to the values at start: not built, first page, no page filled, lamp
// off. Done with init_app_state before the window is built.
void window_state_reset();

#endif
