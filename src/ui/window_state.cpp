#include "window_state.h"

int started;
int notebook_page_now;
int page_mana_shown;
int page_comm_shown;
int page_ap_shown;
int page_sta_shown;
int color = 2;

void window_state_reset()
{
    started = 0;
    notebook_page_now = 0;
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    color = 2;
}
