// Radio-button handlers driven by "pressed" on the real buttons.
#include "page_driver.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

namespace
{

class Radio : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ui_records::build_window_once(); }
    void SetUp() override { pages_show_module_state(); }
};

TEST_F(Radio, EachButtonStoresItsOwnValueAndQueuesItsCommand)
{
    struct row {
        GtkWidget *&radio;
        signed char &field;
        int code;
        const char *line;
        int &dirty;
        GtkWidget *&confirm;
    };
    const row rows[] = {
        {radio_wifimode_sta, strMODMana_up.wmode, 1, "AT+WMODE=STA", strMODMana.dirty,
         button_mana_confirm},
        {radio_wifimode_ap, strMODMana_up.wmode, 0, "AT+WMODE=AP", strMODMana.dirty,
         button_mana_confirm},
        {radio_workmode_ag, strMODMana_up.tmode, 1, "AT+TMODE=Agreement", strMODMana.dirty,
         button_mana_confirm},
        {radio_workmode_th, strMODMana_up.tmode, 0, "AT+TMODE=Through", strMODMana.dirty,
         button_mana_confirm},
        {radio_wan_static, strMODSTA_up.bDHCP, 1,
         "AT+WANN=Static,192.168.2.50,255.255.255.0,192.168.2.1", strMODSTA.dirty,
         button_sta_confirm},
        {radio_wan_dhcp, strMODSTA_up.bDHCP, 0, "AT+WANN=DHCP", strMODSTA.dirty,
         button_sta_confirm},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        pages_show_module_state();
        // The edited value starts opposite, so the button has to store it.
        // The AP, TH and DHCP buttons are the active ones on screen: a
        // press on them counts all the same.
        r.field = static_cast<signed char>(1 - r.code);
        std::string out = console_of([&] { press(r.radio); });
        EXPECT_EQ(r.field, r.code);
        EXPECT_EQ(last_listing(out), lines{r.line});
        EXPECT_EQ(r.dirty, 1);
        EXPECT_TRUE(sensitive(r.confirm));
    }
}

TEST_F(Radio, ApThenStaLeavesOneEntryWithTheStaChoice)
{
    press(radio_wifimode_ap);
    std::string out = console_of([] { press(radio_wifimode_sta); });
    EXPECT_EQ(last_listing(out), lines{"AT+WMODE=STA"});
    EXPECT_EQ(cmd_num_mod, 1);
}

TEST_F(Radio, WanButtonsSwitchTheStaticAddressEntries)
{
    GtkWidget *const addresses[] = {entry_wan_ip, entry_wan_mask, entry_wan_gateway};
    press(radio_wan_static);
    for (GtkWidget *w : addresses)
        EXPECT_TRUE(sensitive(w));
    press(radio_wan_dhcp);
    for (GtkWidget *w : addresses)
        EXPECT_FALSE(sensitive(w));
    EXPECT_EQ(dotted_of(strMODSTA_up.ipadd), "192.168.2.50");
    EXPECT_EQ(cmd_num_sta, 1);
}

TEST_F(Radio, PressesWhileThePageIsNotFilledChangeNothing)
{
    page_mana_shown = page_sta_shown = 0;
    auto before = ui_records::snapshot::take(true);
    std::string out = console_of([] {
        press(radio_wifimode_sta);
        press(radio_workmode_ag);
        press(radio_wan_static);
    });
    EXPECT_EQ(listings_in(out), 0);
    ui_records::expect_same(before, ui_records::snapshot::take(true));
    EXPECT_FALSE(sensitive(entry_wan_ip));
}

// The arrow keys move the active button of a group without a press: the
// change reaches its handler once, as a press would.
TEST_F(Radio, ArrowKeysChangeTheChoiceAsAPressWould)
{
    struct row {
        int page;
        GtkWidget *&from;
        guint key;
        GtkWidget *&to;
        const char *line;
    };
    const row rows[] = {
        {0, radio_wifimode_ap, GDK_KEY_Down, radio_wifimode_sta, "AT+WMODE=STA"},
        {0, radio_wifimode_sta, GDK_KEY_Up, radio_wifimode_ap, "AT+WMODE=AP"},
        {3, radio_wan_dhcp, GDK_KEY_Down, radio_wan_static,
         "AT+WANN=Static,192.168.2.50,255.255.255.0,192.168.2.1"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_module), r.page);
        pages_show_module_state();
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(r.from), TRUE); // as a refresh would
        gtk_widget_grab_focus(r.from);
        std::string out = console_of([&] { press_key(r.from, r.key); });
        EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(r.to)));
        EXPECT_EQ(listings_in(out), 1) << out;
        EXPECT_EQ(last_listing(out), lines{r.line});
    }
    EXPECT_TRUE(sensitive(entry_wan_ip));
    EXPECT_TRUE(sensitive(button_sta_confirm));
}

// A click is taken once, at its press, whether it changes the choice or not.
TEST_F(Radio, APointerClickQueuesOnce)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_module), 0);
    for (GtkWidget *radio : {radio_wifimode_sta, radio_wifimode_sta, radio_wifimode_ap}) {
        std::string out = console_of([&] { click_with_pointer(radio); });
        EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio)));
        EXPECT_EQ(listings_in(out), 1) << out;
    }
    EXPECT_EQ(strMODMana_up.wmode, WIFIMODE_AP);
    EXPECT_EQ(cmd_num_mod, 1);
}

} // namespace
