// Button handlers shared by both builds (restart and reset are per build).
#include "button_clicked.h"

// Not written yet: until they are, these buttons do nothing.
void button_pccom_start_clicked() {}

void button_mana_confirm_clicked() {}
void button_mana_cancel_clicked() {}
void button_comm_confirm_clicked() {}
void button_comm_cancel_clicked() {}
void button_ap_confirm_clicked() {}
void button_ap_cancel_clicked() {}
void button_sta_confirm_clicked() {}
void button_sta_cancel_clicked() {}

void button_setting_read_clicked() {}
void button_setting_save_clicked() {}
void button_setting_down_clicked() {}
void button_setting_auto_clicked() {}
