// Header-only helpers for window tests that check what handlers and
// refreshes do to the records: the window built once, a module's typical
// settings loaded into the records, and a byte snapshot of everything a
// handler could change.
#ifndef MODCFG_TEST_UI_RECORDS_H
#define MODCFG_TEST_UI_RECORDS_H

#include "command.h"
#include "main.h"
#include "module.h"
#include "pccom.h"
#include "window.h"
#include "window_pages.h"
#include "window_state.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <utility>
#include <vector>

namespace ui_records
{

inline void build_window_once()
{
    if (window != nullptr)
        return;
    int argc = 0;
    char **argv = nullptr;
    init_window(&argc, &argv);
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

inline void set_addr(unsigned char (&a)[4], int b0, int b1, int b2, int b3)
{
    const int b[4] = {b0, b1, b2, b3};
    for (int i = 0; i < 4; i++)
        a[i] = static_cast<unsigned char>(b[i]);
}

// A module's typical settings in the module records (all read), copied
// into the edited ones; every page flag 0 and no command pending. The
// widgets are not touched.
inline void load_module_state()
{
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;

    strMODMana = _MOD_MANA_STRUCT{};
    strMODMana.wmode = WIFIMODE_AP;
    strMODMana.tmode = WORKMODE_TH;
    text_set(strMODMana.user, "admin");
    text_set(strMODMana.pswd, "secret");
    text_set(strMODMana.mid, "QX-B27");
    text_set(strMODMana.mver, "1.0.04a");

    strMODComm = _MOD_COMM_STRUCT{};
    strMODComm.baud = BAUDRATE_57600;
    strMODComm.data_bits = COMBITS_8;
    strMODComm.parity = COMPARITY_NONE;
    strMODComm.stop_bits = COMSTOPBITS_1;
    strMODComm.bAF = COMAF_DIS;
    strMODComm.AFT = 500;
    strMODComm.AFL = 1024;
    strMODComm.mode = NETMODE_SERVER;
    strMODComm.protocol = NETPROT_TCP;
    strMODComm.port = 8899;
    strMODComm.bip = 1;
    set_addr(strMODComm.ipadd, 10, 10, 100, 100);
    strMODComm.maxsk = 32;
    strMODComm.TCPto = 300;

    strMODAP = _MOD_AP_STRUCT{};
    strMODAP.mode = APSTD_11BGN;
    text_set(strMODAP.SSID, "QX-B27_AP");
    strMODAP.channel = APCH_CH11;
    strMODAP.enc_auth = WIFIAUTH_OPEN;
    strMODAP.enc_encry = ENC_NONE;
    set_addr(strMODAP.ipadd, 192, 168, 1, 1);
    set_addr(strMODAP.ipmask, 255, 255, 255, 0);
    set_addr(strMODAP.dhcpgw, 192, 168, 1, 1);

    strMODSTA = _MOD_STA_STRUCT{};
    text_set(strMODSTA.SSID, "HomeNet");
    strMODSTA.enc_auth = WIFIAUTH_OPEN;
    strMODSTA.enc_encry = ENC_NONE;
    strMODSTA.bDHCP = DHCP_ENABLE;
    set_addr(strMODSTA.ipadd, 192, 168, 2, 50);
    set_addr(strMODSTA.ipmask, 255, 255, 255, 0);
    set_addr(strMODSTA.dhcpgw, 192, 168, 2, 1);

    strMODMana.inited = strMODComm.inited = strMODAP.inited = strMODSTA.inited = 1;
    copy_module_mana_struct_up();
    copy_module_comm_struct_up();
    copy_module_ap_struct_up();
    copy_module_sta_struct_up();
}

// Everything a handler could change, byte for byte, by name: the records,
// the PC port record, the pending tables and counters, the page number,
// the Confirm buttons and the module frame, and (when asked) the page flags.
struct snapshot {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> parts;

    template <class T> void add(const char *name, const T &v)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(&v);
        parts.emplace_back(name, std::vector<unsigned char>(p, p + sizeof v));
    }
    static snapshot take(bool with_page_flags)
    {
        snapshot s;
        s.add("strMODMana", strMODMana);
        s.add("strMODMana_up", strMODMana_up);
        s.add("strMODComm", strMODComm);
        s.add("strMODComm_up", strMODComm_up);
        s.add("strMODAP", strMODAP);
        s.add("strMODAP_up", strMODAP_up);
        s.add("strMODSTA", strMODSTA);
        s.add("strMODSTA_up", strMODSTA_up);
        s.add("strPCCom", strPCCom);
        s.add("strcommand_mod", strcommand_mod);
        s.add("strcommand_comm", strcommand_comm);
        s.add("strcommand_ap", strcommand_ap);
        s.add("strcommand_sta", strcommand_sta);
        const int counts[5] = {cmd_num_mod, cmd_num_comm, cmd_num_ap, cmd_num_sta,
                               notebook_page_now};
        s.add("pending counts and page number", counts);
        const bool sensitive[5] = {gtk_widget_get_sensitive(button_mana_confirm) != FALSE,
                                   gtk_widget_get_sensitive(button_comm_confirm) != FALSE,
                                   gtk_widget_get_sensitive(button_ap_confirm) != FALSE,
                                   gtk_widget_get_sensitive(button_sta_confirm) != FALSE,
                                   gtk_widget_get_sensitive(frame_module) != FALSE};
        s.add("Confirm buttons and module frame", sensitive);
        if (with_page_flags) {
            const int flags[4] = {page_mana_shown, page_comm_shown, page_ap_shown, page_sta_shown};
            s.add("page flags", flags);
        }
        return s;
    }
};

inline void expect_same(const snapshot &before, const snapshot &after)
{
    ASSERT_EQ(before.parts.size(), after.parts.size());
    for (size_t i = 0; i < before.parts.size(); i++)
        EXPECT_TRUE(before.parts[i].second == after.parts[i].second)
            << before.parts[i].first << " changed";
}

} // namespace ui_records

#endif
