// The module notebook as built: every widget there with its key, limits,
// texts and initial state, a layout without overlaps, and no handler run
// while building.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "callback.h"
#include "command.h"
#include "main.h"
#include "module.h"
#include "window_pages.h"
#include "window_state.h"

namespace
{

std::vector<std::string> taps; // "dispatcher:key"

bool record_tap(const char *dispatcher, const char *key)
{
    taps.push_back(std::string(dispatcher) + ":" + (key ? key : "(null)"));
    return true; // no handler runs behind a test's back
}

std::string text_of(GtkWidget *w)
{
    const char *t = nullptr;
    if (GTK_IS_LABEL(w))
        t = gtk_label_get_text(GTK_LABEL(w));
    else if (GTK_IS_BUTTON(w))
        t = gtk_button_get_label(GTK_BUTTON(w));
    else if (GTK_IS_ENTRY(w))
        return std::to_string(gtk_entry_get_max_length(GTK_ENTRY(w))); // the limit matters more
    else if (GTK_IS_COMBO_BOX(w)) {
        gchar *active = gtk_combo_box_get_active_text(GTK_COMBO_BOX(w));
        std::string s = active ? active : "(none)";
        g_free(active);
        return s;
    }
    return t ? t : "";
}

// The children the program added (no toolkit internals such as a combo's
// cell view).
std::vector<GtkWidget *> children(GtkWidget *w)
{
    std::vector<GtkWidget *> out;
    if (!GTK_IS_CONTAINER(w))
        return out;
    GList *list = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList *l = list; l; l = l->next)
        out.push_back(GTK_WIDGET(l->data));
    g_list_free(list);
    return out;
}

void collect(GtkWidget *root, std::vector<GtkWidget *> &out)
{
    out.push_back(root);
    for (GtkWidget *c : children(root))
        collect(c, out);
}

// What a widget sends, found by emitting each dispatcher's signal with the
// tap on: "dispatcher:key", "" for none; two connections show as two taps.
std::string sent_by(GtkWidget *w)
{
    taps.clear();
    if (GTK_IS_COMBO_BOX(w))
        g_signal_emit_by_name(w, "changed");
    if (GTK_IS_RADIO_BUTTON(w)) {
        g_signal_emit_by_name(w, "pressed");
        g_signal_emit_by_name(w, "released"); // the pointer is elsewhere: no click
    } else if (GTK_IS_BUTTON(w)) {
        g_signal_emit_by_name(w, "clicked");
    }
    if (GTK_IS_ENTRY(w)) {
        GdkEvent *ev = gdk_event_new(GDK_FOCUS_CHANGE);
        gboolean handled = TRUE;
        g_signal_emit_by_name(w, "focus-out-event", ev, &handled);
        gdk_event_free(ev);
        EXPECT_FALSE(handled) << "the entry's own focus-out handling must still run";
    }
    std::string s;
    for (const std::string &t : taps)
        s += (s.empty() ? "" : " + ") + t;
    return s;
}

bool font_is(GtkWidget *w, const char *font)
{
    const PangoFontDescription *have = gtk_widget_get_modifier_style(w)->font_desc;
    if (!have || !font)
        return !have && !font;
    PangoFontDescription *want = pango_font_description_from_string(font);
    bool same = pango_font_description_equal(have, want);
    pango_font_description_free(want);
    return same;
}

class ModulePages : public ::testing::Test
{
  protected:
    static GtkWidget *host;
    static std::vector<std::string> build_taps;
    static std::string state_before, state_after;
    static std::vector<GtkWidget *> all;
    static std::map<GtkWidget *, std::string> sent;

    // What any handler could change: pending counts, flags, dirty marks.
    static std::string state()
    {
        int v[] = {cmd_num_mod,       cmd_num_comm,     cmd_num_ap,       cmd_num_sta,
                   notebook_page_now, page_mana_shown,  page_comm_shown,  page_ap_shown,
                   page_sta_shown,    strMODMana.dirty, strMODComm.dirty, strMODAP.dirty,
                   strMODSTA.dirty};
        std::string s;
        for (int i : v)
            s += std::to_string(i) + " ";
        return s;
    }

    static void SetUpTestSuite()
    {
        state_before = state();
        dispatch_tap = record_tap;
        taps.clear();
        host = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWidget *table = gtk_table_new(1, 4, TRUE);
        gtk_container_add(GTK_CONTAINER(host), table);
        set_MOD_frame(table);
        build_taps = taps;

        gtk_widget_show_all(host);
        gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
        while (!gtk_widget_get_mapped(host) && g_get_monotonic_time() < deadline)
            gtk_main_iteration_do(FALSE);
        while (gtk_events_pending())
            gtk_main_iteration();
        state_after = state();

        collect(frame_module, all);
        for (GtkWidget *w : all)
            sent[w] = sent_by(w);
    }
    static void TearDownTestSuite()
    {
        dispatch_tap = nullptr;
        gtk_widget_destroy(host);
    }
};
GtkWidget *ModulePages::host;
std::vector<std::string> ModulePages::build_taps;
std::string ModulePages::state_before, ModulePages::state_after;
std::vector<GtkWidget *> ModulePages::all;
std::map<GtkWidget *, std::string> ModulePages::sent;

struct global_row {
    const char *name;
    GtkWidget **widget;
    const char *key;  // what it sends to its dispatcher, "" for nothing
    const char *text; // label or caption; active entry of a combo; limit of an entry
};
#define W(w) #w, &w

// Every widget global of the area; the kind and dispatcher follow from the
// name's prefix.
const global_row globals[] = {
    {W(frame_module), "", ""},
    {W(notebook_module), "", ""},
    {W(radio_wifimode_ap), "AP_Mode", "AP 模式"},
    {W(radio_wifimode_sta), "STA_Mode", "STA 模式"},
    {W(radio_workmode_th), "TH_Mode", "透明传输模式"},
    {W(radio_workmode_ag), "AG_Mode", "协议传输模式"},
    {W(entry_mod_usr), "user", "15"},
    {W(entry_mod_pwd), "pwd", "15"},
    {W(entry_mod_mid), "", "15"},
    {W(label_mod_ver), "", "软件版本: "},
    {W(button_mana_confirm), "mana_confirm_button", "确认"},
    {W(combo_modcom_baud), "modcom_baudrate", "57600"},
    {W(combo_modcom_data), "modcom_data", "8"},
    {W(combo_modcom_parity), "modcom_parity", "None"},
    {W(combo_modcom_stop), "modcom_stop", "1"},
    {W(combo_modcom_af), "modcom_frame", "Disable"},
    {W(label_modcom_aft), "", "成帧时间(100~10000)(ms)"},
    {W(entry_modcom_aft), "aft", "5"},
    {W(label_modcom_afl), "", "成帧长度(16~4096)(Byte)"},
    {W(entry_modcom_afl), "afl", "5"},
    {W(combo_modnet_mode), "modnet_mode", "Server"},
    {W(combo_modnet_prot), "modnet_prot", "TCP"},
    {W(entry_modnet_port), "netp_port", "5"},
    {W(entry_modnet_ip), "netp_ip", "100"},
    {W(entry_modnet_tcpto), "netp_tcpto", "5"},
    {W(entry_modnet_maxsk), "netp_maxsk", "5"},
    {W(button_comm_confirm), "comm_confirm_button", "确认"},
    {W(combo_ap_wifimode), "modap_wifimode", "802.11BGN"},
    {W(entry_ap_ssid), "ap_ssid", "32"},
    {W(combo_ap_channel), "modap_wifichannel", "Auto"},
    {W(combo_ap_auth), "modap_wifiauth", "OPEN"},
    {W(combo_ap_encry_open), "modap_wifiencry", "NONE"},
    {W(combo_ap_encry_shared), "modap_wifiencry", "WEP-HEX"},
    {W(combo_ap_encry_wpapsk), "modap_wifiencry", "TKIP"},
    {W(label_ap_key), "", "密码"},
    {W(entry_ap_key), "ap_key", "65"},
    {W(combo_lan_dhcp), "modap_dhcp", "Enable"},
    {W(entry_lan_ip), "lan_ip", "20"},
    {W(entry_lan_mask), "lan_mask", "20"},
    {W(entry_lan_gateway), "lan_gw", "20"},
    {W(button_ap_confirm), "ap_confirm_button", "确认"},
    {W(entry_sta_ssid), "sta_ssid", "32"},
    {W(entry_sta_mac), "sta_mac", "32"},
    {W(combo_sta_auth), "modsta_wifiauth", "OPEN"},
    {W(combo_sta_encry_open), "modsta_wifiencry", "NONE"},
    {W(combo_sta_encry_shared), "modsta_wifiencry", "WEP-HEX"},
    {W(combo_sta_encry_wpapsk), "modsta_wifiencry", "TKIP"},
    {W(label_sta_key), "", "密码"},
    {W(entry_sta_key), "sta_key", "65"},
    {W(radio_wan_dhcp), "modsta_dhcp", "动态地址分配"},
    {W(radio_wan_static), "modsta_static", "静态地址分配"},
    {W(entry_wan_ip), "wan_ip", "20"},
    {W(entry_wan_mask), "wan_mask", "20"},
    {W(entry_wan_gateway), "wan_gw", "20"},
    {W(button_sta_confirm), "sta_confirm_button", "确认"},
};

bool starts(const char *s, const char *prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

TEST_F(ModulePages, BuildingRunsNoHandlerAndChangesNoState)
{
    EXPECT_EQ(build_taps, std::vector<std::string>{});
    EXPECT_EQ(state_after, state_before);
    EXPECT_EQ(notebook_page_now, 0);
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_module)), 0);
}

TEST_F(ModulePages, EveryGlobalIsBuiltWithItsKindKeyAndText)
{
    const std::pair<const char *, GType> kinds[] = {
        {"frame_", GTK_TYPE_FRAME},        {"notebook_", GTK_TYPE_NOTEBOOK},
        {"radio_", GTK_TYPE_RADIO_BUTTON}, {"entry_", GTK_TYPE_ENTRY},
        {"label_", GTK_TYPE_LABEL},        {"button_", GTK_TYPE_BUTTON},
        {"combo_", GTK_TYPE_COMBO_BOX}};
    for (const global_row &r : globals) {
        SCOPED_TRACE(r.name);
        GtkWidget *w = *r.widget;
        ASSERT_NE(w, nullptr);
        for (auto [prefix, type] : kinds) {
            if (starts(r.name, prefix)) {
                EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(w, type));
            }
        }
        EXPECT_TRUE(w == frame_module || gtk_widget_is_ancestor(w, frame_module));
        std::string dispatcher(r.name, std::strcspn(r.name, "_"));
        EXPECT_EQ(sent[w], *r.key ? dispatcher + ":" + r.key : "");
        EXPECT_EQ(text_of(w), r.text);
    }
}

TEST_F(ModulePages, TheAreaSendsExactlyTheKeysOfItsWidgets)
{
    // Restart, reset and Cancel have no globals: they are found by what they
    // send. Nothing else in the area may dispatch.
    std::multiset<std::string> expected = {"button:restart_button",     "button:reload_button",
                                           "button:mana_cancel_button", "button:comm_cancel_button",
                                           "button:ap_cancel_button",   "button:sta_cancel_button"};
    for (const global_row &r : globals)
        if (*r.key)
            expected.insert(sent[*r.widget]);
    std::multiset<std::string> seen;
    std::map<std::string, GtkWidget *> by_key;
    for (GtkWidget *w : all)
        if (!sent[w].empty()) {
            seen.insert(sent[w]);
            by_key[sent[w]] = w;
        }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(text_of(by_key["button:restart_button"]), "重启模块");
    EXPECT_EQ(text_of(by_key["button:reload_button"]), "恢复出厂设置");
    EXPECT_EQ(text_of(by_key["button:comm_cancel_button"]), "取消");
}

TEST_F(ModulePages, NotebookHasTheFourTabsAndReportsSwitchesWithoutKey)
{
    GtkNotebook *nb = GTK_NOTEBOOK(notebook_module);
    ASSERT_EQ(gtk_notebook_get_n_pages(nb), 4);
    const char *tabs[] = {"模块管理", "通讯设置", "AP模式设置", "STA模式设置"};
    // A widget of each page, to catch a page built into the wrong tab.
    GtkWidget *on_page[] = {entry_mod_mid, combo_modcom_af, combo_lan_dhcp, entry_sta_mac};
    for (int i = 0; i < 4; i++) {
        GtkWidget *page = gtk_notebook_get_nth_page(nb, i);
        EXPECT_EQ(text_of(gtk_notebook_get_tab_label(nb, page)), tabs[i]);
        EXPECT_TRUE(gtk_widget_is_ancestor(on_page[i], page)) << tabs[i];
    }
    EXPECT_NE(g_signal_handler_find(
                  nb,
                  GSignalMatchType(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA),
                  g_signal_lookup("switch-page", GTK_TYPE_NOTEBOOK), 0, nullptr,
                  (gpointer)notebook_switch_page, nullptr),
              0u);
}

TEST_F(ModulePages, EntriesStartEmptyButTheKeysAndOnlyTheMidIsReadOnly)
{
    for (GtkWidget *w : all) {
        if (!GTK_IS_ENTRY(w))
            continue;
        bool key = w == entry_ap_key || w == entry_sta_key;
        EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w)), key ? "73914620" : "") << sent[w];
        EXPECT_EQ(bool(gtk_editable_get_editable(GTK_EDITABLE(w))), w != entry_mod_mid) << sent[w];
        EXPECT_TRUE(gtk_entry_get_visibility(GTK_ENTRY(w))) << sent[w] << ": shown in clear";
    }
}

TEST_F(ModulePages, InitialSensitivityVisibilityAndRadioGroups)
{
    EXPECT_FALSE(gtk_widget_get_sensitive(frame_module));
    const std::set<GtkWidget *> expected = {
        button_mana_confirm, button_comm_confirm, button_ap_confirm,
        button_sta_confirm,  entry_modcom_aft,    entry_modcom_afl,
        entry_modnet_ip,     combo_lan_dhcp,      entry_sta_mac};
    std::set<GtkWidget *> insensitive;
    for (GtkWidget *w : all)
        if (w != frame_module && !gtk_widget_get_sensitive(w))
            insensitive.insert(w);
    EXPECT_TRUE(insensitive == expected) << insensitive.size() << " insensitive widgets";

    // All three encryption lists and both key rows start visible; the
    // first refresh decides which stay.
    for (GtkWidget *w : {combo_ap_encry_open, combo_ap_encry_shared, combo_ap_encry_wpapsk,
                         combo_sta_encry_open, combo_sta_encry_shared, combo_sta_encry_wpapsk,
                         label_ap_key, entry_ap_key, label_sta_key, entry_sta_key})
        EXPECT_TRUE(gtk_widget_get_visible(w)) << sent[w] << text_of(w);

    for (auto [first, second] : {std::pair{radio_wifimode_ap, radio_wifimode_sta},
                                 std::pair{radio_workmode_th, radio_workmode_ag},
                                 std::pair{radio_wan_dhcp, radio_wan_static}}) {
        GSList *group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(first));
        EXPECT_EQ(g_slist_length(group), 2u) << sent[first];
        EXPECT_TRUE(g_slist_find(group, second)) << sent[first];
        EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(first))) << sent[first];
    }
}

TEST_F(ModulePages, FieldLabelsAndRadioTextsUseTheFieldFont)
{
    // Labels in a fixed container are field labels, but for the one empty
    // company label; button captions keep the default font.
    int field = 0, bold = 0;
    for (GtkWidget *w : all) {
        GtkWidget *parent = gtk_widget_get_parent(w);
        if (!GTK_IS_LABEL(w))
            continue;
        SCOPED_TRACE(text_of(w));
        if (GTK_IS_FIXED(parent) && font_is(w, "Sans, Bold 12")) {
            EXPECT_EQ(text_of(w), "");
            bold++;
        } else if (GTK_IS_FIXED(parent)) {
            EXPECT_TRUE(font_is(w, "Sans, 10"));
            field++;
        } else if (GTK_IS_RADIO_BUTTON(parent)) {
            EXPECT_TRUE(font_is(w, "Sans, 10"));
        } else if (GTK_IS_BUTTON(parent)) {
            EXPECT_TRUE(font_is(w, nullptr));
        }
    }
    EXPECT_EQ(bold, 1);
    EXPECT_EQ(field, 6 + 13 + 10 + 8); // management, communication, AP, STA
}

struct box {
    int x, y, w, h;
};

// Where `w` lies in its fixed container (fixed has no window of its own).
box placed(GtkWidget *w)
{
    GtkAllocation a, f;
    gtk_widget_get_allocation(w, &a);
    gtk_widget_get_allocation(gtk_widget_get_parent(w), &f);
    return {a.x - f.x, a.y - f.y, a.width, a.height};
}

TEST_F(ModulePages, NothingOverlapsAndEverythingFitsItsFrame)
{
    const std::set<GtkWidget *> stacked = {combo_ap_encry_open,    combo_ap_encry_shared,
                                           combo_ap_encry_wpapsk,  combo_sta_encry_open,
                                           combo_sta_encry_shared, combo_sta_encry_wpapsk};
    int fixed_count = 0;
    for (GtkWidget *fixed : all) {
        if (!GTK_IS_FIXED(fixed))
            continue;
        fixed_count++;
        GtkAllocation f;
        gtk_widget_get_allocation(fixed, &f);
        std::vector<GtkWidget *> kids = children(fixed);
        for (size_t i = 0; i < kids.size(); i++) {
            box a = placed(kids[i]);
            std::string name = text_of(kids[i]) + " " + sent[kids[i]];
            ASSERT_GT(a.h, 1) << name << " was never laid out"; // empty labels are 1 wide
            EXPECT_TRUE(a.x >= 0 && a.y >= 0 && a.x + a.w <= f.width && a.y + a.h <= f.height)
                << name << " at " << a.x << "," << a.y << " " << a.w << "x" << a.h << " leaves its "
                << f.width << "x" << f.height << " container";
            for (size_t j = i + 1; j < kids.size(); j++) {
                if (stacked.count(kids[i]) && stacked.count(kids[j]))
                    continue; // the encryption lists share their place on purpose
                box b = placed(kids[j]);
                EXPECT_TRUE(a.x + a.w <= b.x || b.x + b.w <= a.x || a.y + a.h <= b.y ||
                            b.y + b.h <= a.y)
                    << name << " overlaps " << text_of(kids[j]) << " " << sent[kids[j]];
            }
        }
    }
    EXPECT_EQ(fixed_count, 4 + 11); // pages and sub-frames

    // Confirm and Cancel stand at the same place on every page.
    for (GtkWidget *w : all) {
        const std::string &key = sent[w];
        std::vector<int> at = {placed(w).x, placed(w).y, placed(w).w, placed(w).h};
        if (key.find("_confirm_button") != std::string::npos) {
            EXPECT_EQ(at, std::vector<int>({300, 300, 100, 28})) << key;
        } else if (key.find("_cancel_button") != std::string::npos) {
            EXPECT_EQ(at, std::vector<int>({430, 300, 100, 28})) << key;
        }
    }
}

} // namespace
