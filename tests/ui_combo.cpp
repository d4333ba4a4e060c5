// Selection handlers driven through the real combo boxes: what lands in the
// records and the pending listing, and what the pages show or enable.
#include "combo_selected.h"
#include "page_driver.h"
#include "pccom.h"

#include <gtest/gtest.h>

namespace
{

class Selection : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ui_records::build_window_once(); }
    void SetUp() override { pages_show_module_state(); }
};

TEST(SelectionConverters, UnknownTextsTakeTheFallBackAndKnownOnesTheirPosition)
{
    struct row {
        void (*convert)(const char *, signed char *);
        const char *text;
        int code;
    };
    const row rows[] = {
        {struct_com_device_set, "COM12", 11},
        {struct_com_device_set, "com3", 0},
        {struct_com_device_set, "COM13", 0},
        {struct_com_baud_set, "460800", 19},
        {struct_com_baud_set, "50", 0},
        {struct_com_baud_set, "921600", 15},
        {struct_com_data_set, "7", 2},
        {struct_com_data_set, "8", 3},
        {struct_com_data_set, "9", 3},
        {struct_com_parity_set, "Space", 4},
        {struct_com_parity_set, "EVEN", 0},
        {struct_ap_channel_set, "Channel 14", 14},
        {struct_ap_channel_set, "Channel 15", 0},
        {struct_ap_channel_set, "", 0},
        {struct_ap_auth_set, "WPA2PSK", 3},
        {struct_ap_auth_set, "WPA3", 0},
    };
    for (const row &r : rows) {
        signed char field = 77;
        r.convert(r.text, &field);
        EXPECT_EQ(field, r.code) << "\"" << r.text << "\"";
    }
}

TEST_F(Selection, PageFlagZeroIgnoresWhatARefreshSets)
{
    page_comm_shown = page_ap_shown = page_sta_shown = 0;
    auto before = ui_records::snapshot::take(true);
    std::string out = console_of([] {
        choose(combo_modcom_baud, "115200");
        choose(combo_modnet_prot, "UDP");
        choose(combo_ap_channel, "Channel 3");
        choose(combo_ap_auth, "WPA2PSK");
        choose(combo_sta_auth, "SHARED");
    });
    EXPECT_EQ(listings_in(out), 0);
    ui_records::expect_same(before, ui_records::snapshot::take(true));
    EXPECT_TRUE(sensitive(entry_modnet_tcpto)); // no dependent widget moved
    EXPECT_TRUE(visible(combo_sta_encry_open));
}

TEST_F(Selection, EachModuleSelectorStoresItsCodeAndQueuesItsCommand)
{
    struct row {
        GtkWidget *&combo;
        const char *text;
        const signed char &field;
        int code;
        const char *line;
    };
    const row rows[] = {
        {combo_modcom_baud, "115200", strMODComm_up.baud, 16, "AT+UART=115200,8,1,None,FC"},
        {combo_modcom_data, "7", strMODComm_up.data_bits, 2, "AT+UART=57600,7,1,None,FC"},
        {combo_modcom_data, "5", strMODComm_up.data_bits, 0, "AT+UART=57600,5,1,None,FC"},
        {combo_modcom_parity, "Even", strMODComm_up.parity, 2, "AT+UART=57600,8,1,Even,FC"},
        {combo_modcom_stop, "2", strMODComm_up.stop_bits, 1, "AT+UART=57600,8,2,None,FC"},
        {combo_modnet_mode, "Client", strMODComm_up.mode, 1,
         "AT+NETP=TCP,Client,8899,10.10.100.100"},
        {combo_ap_wifimode, "802.11N Only", strMODAP_up.mode, 3, "AT+WAP=11N,QX-B27_AP,CH11"},
        {combo_ap_channel, "Channel 14", strMODAP_up.channel, 14, "AT+WAP=11BGN,QX-B27_AP,CH14"},
        {combo_ap_channel, "Auto", strMODAP_up.channel, 0, "AT+WAP=11BGN,QX-B27_AP,Auto"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        pages_show_module_state();
        std::string out = console_of([&] { choose(r.combo, r.text); });
        EXPECT_EQ(r.field, r.code);
        EXPECT_EQ(last_listing(out), lines{r.line});
    }
}

TEST_F(Selection, FirstChangeMarksThePageALaterOneLeavesConfirmAlone)
{
    choose(combo_modcom_baud, "9600");
    EXPECT_EQ(strMODComm.dirty, 1);
    EXPECT_TRUE(sensitive(button_comm_confirm));
    EXPECT_EQ(strMODAP.dirty, 0);
    EXPECT_FALSE(sensitive(button_ap_confirm));

    gtk_widget_set_sensitive(button_comm_confirm, FALSE);
    choose(combo_modcom_parity, "Odd");
    EXPECT_FALSE(sensitive(button_comm_confirm));
}

TEST_F(Selection, BaudAwayAndBackLeavesThePendingCommandWithTheModulesValue)
{
    choose(combo_modcom_baud, "115200");
    std::string out = console_of([] { choose(combo_modcom_baud, "57600"); });
    EXPECT_EQ(last_listing(out), lines{"AT+UART=57600,8,1,None,FC"});
    EXPECT_TRUE(sensitive(button_comm_confirm));
}

TEST_F(Selection, AutoFramingSwitchesTheTimeAndLengthWidgets)
{
    GtkWidget *const framing[] = {label_modcom_aft, label_modcom_afl, entry_modcom_aft,
                                  entry_modcom_afl};
    std::string out = console_of([] { choose(combo_modcom_af, "Enable"); });
    EXPECT_EQ(strMODComm_up.bAF, COMAF_EN);
    EXPECT_EQ(last_listing(out), lines{"AT+UARTF=enable"});
    for (GtkWidget *w : framing)
        EXPECT_TRUE(sensitive(w));

    out = console_of([] { choose(combo_modcom_af, "Disable"); });
    EXPECT_EQ(strMODComm_up.bAF, COMAF_DIS);
    EXPECT_EQ(last_listing(out), lines{"AT+UARTF=disable"});
    for (GtkWidget *w : framing)
        EXPECT_FALSE(sensitive(w));
    EXPECT_EQ(strMODComm_up.AFT, 500);
    EXPECT_EQ(strMODComm_up.AFL, 1024);
}

TEST_F(Selection, ServerAddressOnlyOutsideATcpServerConnectionCountOnlyThere)
{
    struct step {
        GtkWidget *&combo;
        const char *text;
        bool role_and_timeout, address, count;
        const char *line;
    };
    const step steps[] = {
        {combo_modnet_prot, "UDP", false, true, false, "AT+NETP=UDP,Server,8899,10.10.100.100"},
        {combo_modnet_prot, "TCP", true, false, true, "AT+NETP=TCP,Server,8899,10.10.100.100"},
        {combo_modnet_mode, "Client", true, true, false, "AT+NETP=TCP,Client,8899,10.10.100.100"},
        {combo_modnet_prot, "UDP", false, true, false, "AT+NETP=UDP,Client,8899,10.10.100.100"},
        {combo_modnet_mode, "Server", false, true, false, "AT+NETP=UDP,Server,8899,10.10.100.100"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(std::string(s.text));
        std::string out = console_of([&] { choose(s.combo, s.text); });
        EXPECT_EQ(sensitive(combo_modnet_mode), s.role_and_timeout);
        EXPECT_EQ(sensitive(entry_modnet_tcpto), s.role_and_timeout);
        EXPECT_EQ(sensitive(entry_modnet_ip), s.address);
        EXPECT_EQ(sensitive(entry_modnet_maxsk), s.count);
        EXPECT_EQ(last_listing(out), lines{s.line});
    }
    // UDP leaves the stored role alone.
    EXPECT_EQ(strMODComm_up.mode, NETMODE_SERVER);
    EXPECT_EQ(strMODComm_up.protocol, NETPROT_UDP);
}

TEST_F(Selection, ApAuthenticationToWpa2pskTakesTheShownEncryptionAndKey)
{
    text_set(strMODAP.password, "apsecret1");
    text_set(strMODAP_up.password, "apsecret1");
    set_entry(entry_ap_key, "apsecret1");
    page_ap_shown = 0;
    choose(combo_ap_encry_wpapsk, "AES");
    page_ap_shown = 1;

    std::string out = console_of([] { choose(combo_ap_auth, "WPA2PSK"); });
    EXPECT_EQ(strMODAP_up.enc_auth, WIFIAUTH_WPA2PSK);
    EXPECT_EQ(strMODAP_up.enc_encry, ENC_AES);
    EXPECT_FALSE(visible(combo_ap_encry_open));
    EXPECT_FALSE(visible(combo_ap_encry_shared));
    EXPECT_TRUE(visible(combo_ap_encry_wpapsk));
    EXPECT_TRUE(visible(label_ap_key));
    EXPECT_TRUE(visible(entry_ap_key));
    EXPECT_EQ(last_listing(out), lines{"AT+WAKEY=WPA2PSK,AES,apsecret1"});
    EXPECT_EQ(cmd_num_ap, 1);
    EXPECT_TRUE(sensitive(button_ap_confirm));

    out = console_of([] { choose(combo_ap_auth, "SHARED"); });
    EXPECT_TRUE(visible(combo_ap_encry_shared));
    EXPECT_FALSE(visible(combo_ap_encry_wpapsk));
    EXPECT_EQ(strMODAP_up.enc_encry, ENC_WEPH);
    EXPECT_EQ(last_listing(out), lines{"AT+WAKEY=SHARED,WEP-H,apsecret1"});
}

TEST_F(Selection, ChoosingAnEncryptionTakesTheShownDefaultKeyIntoThePendingCommand)
{
    ASSERT_STREQ(strMODSTA.password, "");
    ASSERT_EQ(entry_of(entry_sta_key), DEFAULT_WIFI_KEY);
    std::string out = console_of([] { choose(combo_sta_encry_open, "WEP-ASCII"); });
    EXPECT_EQ(strMODSTA_up.enc_encry, ENC_WEPA);
    EXPECT_STREQ(strMODSTA_up.password, DEFAULT_WIFI_KEY);
    EXPECT_EQ(last_listing(out), lines{"AT+WSKEY=OPEN,WEP-A,73914620"});
    EXPECT_TRUE(visible(entry_sta_key));
    EXPECT_TRUE(visible(label_sta_key));
    EXPECT_TRUE(sensitive(button_sta_confirm));
}

TEST_F(Selection, NoneHidesTheKeyAnotherEncryptionShowsItAndTakesTheKeyAgain)
{
    choose(combo_ap_encry_open, "WEP-HEX");
    ASSERT_TRUE(visible(entry_ap_key));
    std::string out = console_of([] { choose(combo_ap_encry_open, "NONE"); });
    EXPECT_FALSE(visible(label_ap_key));
    EXPECT_FALSE(visible(entry_ap_key));
    EXPECT_EQ(last_listing(out), lines{"AT+WAKEY=OPEN,NONE"});
    EXPECT_STREQ(strMODAP_up.password, DEFAULT_WIFI_KEY); // kept in the record

    set_entry(entry_ap_key, "hexkey0123");
    out = console_of([] { choose(combo_ap_encry_open, "WEP-HEX"); });
    EXPECT_TRUE(visible(label_ap_key));
    EXPECT_TRUE(visible(entry_ap_key));
    EXPECT_EQ(last_listing(out), lines{"AT+WAKEY=OPEN,WEP-H,hexkey0123"});
}

TEST_F(Selection, EncryptionIsReadFromTheComboOfTheCurrentAuthentication)
{
    // Authentication OPEN: the hidden WPA combo's signal still reads the
    // open list, whose "NONE" is active.
    std::string out = console_of([] { choose(combo_ap_encry_wpapsk, "TKIPAES"); });
    EXPECT_EQ(strMODAP_up.enc_encry, ENC_NONE);
    EXPECT_EQ(last_listing(out), lines{"AT+WAKEY=OPEN,NONE"});
}

TEST_F(Selection, AnEncryptionComboWithoutActiveEntryStoresAndQueuesNothing)
{
    // A refresh of SHARED with NONE leaves the shared list without an
    // active entry.
    strMODAP.enc_auth = strMODAP_up.enc_auth = WIFIAUTH_SHARED;
    update_ap_widgets();
    ASSERT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo_ap_encry_shared)), -1);

    auto before = ui_records::snapshot::take(true);
    std::string out = console_of([] { choose(combo_ap_encry_open, "WEP-ASCII"); });
    EXPECT_EQ(listings_in(out), 0);
    ui_records::expect_same(before, ui_records::snapshot::take(true));
}

TEST_F(Selection, LanDhcpChoiceLivesInTheEditedRecordOnly)
{
    std::string out = console_of([] { choose(combo_lan_dhcp, "Disable"); });
    EXPECT_EQ(strMODAP_up.bDHCP, DHCP_DISABLE);
    out += console_of([] { choose(combo_lan_dhcp, "Enable"); });
    EXPECT_EQ(strMODAP_up.bDHCP, DHCP_ENABLE);
    EXPECT_EQ(listings_in(out), 0);
    EXPECT_EQ(cmd_num_ap, 0);
    EXPECT_EQ(strMODAP.dirty, 0);
    EXPECT_FALSE(sensitive(button_ap_confirm));
}

TEST_F(Selection, PcPortSelectorsStoreIntoThePortRecordOnly)
{
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    struct row {
        GtkWidget *&combo;
        const char *text;
        const signed char &field;
        int code;
    };
    const row rows[] = {
        {combo_pccom_device, "COM3", strPCCom.device, 2},
        {combo_pccom_baud, "460800", strPCCom.baudrate, 19},
        {combo_pccom_data, "5", strPCCom.data_bits, 0},
        {combo_pccom_parity, "Mark", strPCCom.parity, 3},
        {combo_pccom_stop, "2", strPCCom.stop_bits, 1},
        {combo_pccom_stop, "1", strPCCom.stop_bits, 0},
    };
    std::string out;
    for (const row &r : rows) {
        out += console_of([&] { choose(r.combo, r.text); });
        EXPECT_EQ(r.field, r.code) << r.text;
    }
    EXPECT_EQ(listings_in(out), 0);
    EXPECT_EQ(cmd_num_comm, 0);
    EXPECT_EQ(strMODComm.dirty, 0);
}

} // namespace
