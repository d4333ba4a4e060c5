// The serial build's window: widgets, texts, fonts, limits, initial state,
// option lists, the lamp and logo drawing, and what the window looks like.
#include "lang.h"
#include "main.h"
#include "set_combo_box.h"
#include "temp_dir.h"
#include "text_fit.h"
#include "window.h"
#include "window_probe.h"
#include "window_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

class ComWindow : public ::testing::Test
{
  protected:
    void SetUp() override { build_window(); }
    void TearDown() override { destroy_window(); }
};

TEST_F(ComWindow, BuildsTheSerialLinkGroupAndLeavesTheNetworkOnesNull)
{
    struct row {
        const char *name;
        GtkWidget *w;
        GType type;
    };
    const row built[] = {
        {"window", window, GTK_TYPE_WINDOW},
        {"combo_pccom_device", combo_pccom_device, GTK_TYPE_COMBO_BOX},
        {"combo_pccom_baud", combo_pccom_baud, GTK_TYPE_COMBO_BOX},
        {"combo_pccom_data", combo_pccom_data, GTK_TYPE_COMBO_BOX},
        {"combo_pccom_parity", combo_pccom_parity, GTK_TYPE_COMBO_BOX},
        {"combo_pccom_stop", combo_pccom_stop, GTK_TYPE_COMBO_BOX},
        {"button_pccom_open", button_pccom_open, GTK_TYPE_BUTTON},
        {"draw_connect", draw_connect, GTK_TYPE_DRAWING_AREA},
        {"button_setting_read", button_setting_read, GTK_TYPE_BUTTON},
        {"button_setting_save", button_setting_save, GTK_TYPE_BUTTON},
        {"label_setting_file", label_setting_file, GTK_TYPE_LABEL},
        {"entry_setting_file", entry_setting_file, GTK_TYPE_ENTRY},
        {"check_setting_auto", check_setting_auto, GTK_TYPE_CHECK_BUTTON},
        {"button_setting_down", button_setting_down, GTK_TYPE_BUTTON},
        {"draw_logo", draw_logo, GTK_TYPE_DRAWING_AREA},
        {"frame_module", frame_module, GTK_TYPE_FRAME},
    };
    for (const row &r : built) {
        ASSERT_NE(r.w, nullptr) << r.name;
        EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(r.w, r.type)) << r.name;
        EXPECT_TRUE(gtk_widget_get_visible(r.w)) << r.name;
    }
    EXPECT_EQ(draw_net_connect, nullptr);
    EXPECT_EQ(label_net_conn, nullptr);
    // The module area sits beside the PC-side area in the same inner table.
    EXPECT_EQ(gtk_widget_get_parent(frame_module),
              gtk_widget_get_parent(frame_around(frame_around(combo_pccom_device))));
}

TEST_F(ComWindow, BuildingRunsNoHandler)
{
    EXPECT_TRUE(dispatched().empty())
        << dispatched().front().first << " " << dispatched().front().second;
}

TEST_F(ComWindow, EachWidgetReachesItsDispatcherWithItsKey)
{
    struct row {
        GtkWidget *w;
        const char *dispatcher;
        const char *key;
    };
    const row rows[] = {
        {combo_pccom_device, "combo", "pccom_device"},
        {combo_pccom_baud, "combo", "pccom_baudrate"},
        {combo_pccom_data, "combo", "pccom_data"},
        {combo_pccom_parity, "combo", "pccom_parity"},
        {combo_pccom_stop, "combo", "pccom_stop"},
        {button_pccom_open, "button", "comstart_button"},
        {button_setting_read, "button", "setting_read_button"},
        {button_setting_save, "button", "setting_save_button"},
        {check_setting_auto, "button", "auto_setting_button"},
        {button_setting_down, "button", "setting_down_button"},
    };
    for (const row &r : rows) {
        dispatched().clear();
        if (GTK_IS_COMBO_BOX(r.w))
            gtk_combo_box_set_active(GTK_COMBO_BOX(r.w), 1);
        else
            gtk_button_clicked(GTK_BUTTON(r.w));
        ASSERT_EQ(dispatched().size(), 1u) << r.key;
        EXPECT_EQ(dispatched()[0].first, r.dispatcher);
        EXPECT_EQ(dispatched()[0].second, r.key);
    }
    // The file-name entry is read by the save and apply handlers; losing
    // focus there runs nothing.
    EXPECT_EQ(g_signal_handler_find(entry_setting_file, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    reinterpret_cast<gpointer>(entry_focus_out), nullptr),
              0u);
}

TEST_F(ComWindow, ShowsTheTextsOfTheTitleFramesLabelsAndButtons)
{
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "QX-B27设置工具 V2.2");
    GtkWidget *link = frame_around(combo_pccom_device);
    GtkWidget *settings = frame_around(button_setting_read);
    EXPECT_EQ(frame_title(link), "PC串口设置");
    EXPECT_EQ(frame_title(settings), "模块设置管理");
    EXPECT_EQ(label_texts(fixed_in(link)),
              (std::vector<std::string>{"串口", "波特率", "字节数", "检验位", "停止位"}));
    EXPECT_EQ(label_texts(fixed_in(settings)), std::vector<std::string>{"文件名:"});
    EXPECT_EQ(button_text(button_pccom_open), "连接模块");
    EXPECT_EQ(button_text(button_setting_read), "读取设置");
    EXPECT_EQ(button_text(button_setting_save), "保存命令");
    EXPECT_EQ(button_text(check_setting_auto), "连接时自动设置");
    EXPECT_EQ(button_text(button_setting_down), "使用命令文件设置");
}

TEST_F(ComWindow, FieldLabelsGetSans10AndButtonsKeepTheDefaultFont)
{
    for (GtkWidget *w : children_of(fixed_in(frame_around(combo_pccom_device)))) {
        if (GTK_IS_LABEL(w)) {
            EXPECT_EQ(font_override(w), "Sans 10") << gtk_label_get_text(GTK_LABEL(w));
        }
    }
    EXPECT_EQ(font_override(label_setting_file), "Sans 10");
    for (GtkWidget *w : {button_pccom_open, button_setting_read, check_setting_auto,
                         entry_setting_file, combo_pccom_baud})
        EXPECT_EQ(font_override(w), "") << G_OBJECT_TYPE_NAME(w);
}

TEST_F(ComWindow, PlacesTheWidgetsAtTheirPositionsAndSizes)
{
    struct row {
        const char *name;
        GtkWidget *w;
        int x, y, width, height; // -1: natural size
    };
    const row rows[] = {
        {"link frame", frame_around(combo_pccom_device), 3, 8, 190, 220},
        {"settings frame", frame_around(button_setting_read), 3, 242, 190, 150},
        {"combo_pccom_device", combo_pccom_device, 60, 7, -1, -1},
        {"combo_pccom_baud", combo_pccom_baud, 60, 37, -1, -1},
        {"combo_pccom_data", combo_pccom_data, 60, 67, -1, -1},
        {"combo_pccom_parity", combo_pccom_parity, 60, 97, -1, -1},
        {"combo_pccom_stop", combo_pccom_stop, 60, 127, -1, -1},
        {"draw_connect", draw_connect, 10, 170, 30, 30},
        {"button_pccom_open", button_pccom_open, 60, 170, 100, 28},
        {"button_setting_read", button_setting_read, 10, 10, 70, 28},
        {"button_setting_save", button_setting_save, 100, 10, 70, 28},
        {"label_setting_file", label_setting_file, 10, 53, -1, -1},
        {"entry_setting_file", entry_setting_file, 70, 50, 100, 22},
        {"check_setting_auto", check_setting_auto, 10, 77, -1, -1},
        {"button_setting_down", button_setting_down, 15, 100, 140, 28},
    };
    for (const row &r : rows) {
        EXPECT_EQ(place_in_fixed(r.w), std::make_pair(r.x, r.y)) << r.name;
        EXPECT_EQ(size_request(r.w), std::make_pair(r.width, r.height)) << r.name;
    }
    EXPECT_EQ(size_request(frame_around(frame_around(combo_pccom_device))),
              std::make_pair(200, 400));
}

TEST_F(ComWindow, StartsWithOnlyTheLinkAndSettingsInputsSensitive)
{
    struct row {
        const char *name;
        GtkWidget *w;
        bool sensitive;
    };
    const row rows[] = {
        {"combo_pccom_device", combo_pccom_device, true},
        {"combo_pccom_baud", combo_pccom_baud, true},
        {"combo_pccom_data", combo_pccom_data, true},
        {"combo_pccom_parity", combo_pccom_parity, true},
        {"combo_pccom_stop", combo_pccom_stop, true},
        {"button_pccom_open", button_pccom_open, true},
        {"entry_setting_file", entry_setting_file, true},
        {"check_setting_auto", check_setting_auto, true},
        {"button_setting_read", button_setting_read, false},
        {"button_setting_save", button_setting_save, false},
        {"button_setting_down", button_setting_down, false},
        {"frame_module", frame_module, false},
    };
    for (const row &r : rows)
        EXPECT_EQ(gtk_widget_is_sensitive(r.w) != FALSE, r.sensitive) << r.name;
}

TEST_F(ComWindow, AutoCheckBoxFollowsTheLoadedFlagWithoutRunningItsHandler)
{
    const struct {
        int flag;
        bool ticked;
    } rows[] = {{1, true}, {0, false}, {2, false}, {-1, false}};
    for (const auto &r : rows) {
        build_window(r.flag);
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_setting_auto)) != FALSE,
                  r.ticked)
            << "auto_setting " << r.flag;
        EXPECT_TRUE(dispatched().empty()) << "auto_setting " << r.flag;
    }
}

TEST_F(ComWindow, FileNameEntryShowsTheLoadedNameAndTakesAtMost15Characters)
{
    build_window(0, "cmds.txt");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry_setting_file)), "cmds.txt");
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(entry_setting_file)), 15);
    gtk_entry_set_text(GTK_ENTRY(entry_setting_file), "abcdefghijklmnopqrst");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry_setting_file)), "abcdefghijklmno");
    // Characters, not bytes: 15 Chinese characters are 45 bytes.
    gtk_entry_set_text(GTK_ENTRY(entry_setting_file), "命令命令命令命令命令命令命令命令");
    EXPECT_EQ(g_utf8_strlen(gtk_entry_get_text(GTK_ENTRY(entry_setting_file)), -1), 15);
}

TEST_F(ComWindow, FileNameWithBytesThatAreNotUtf8StillGivesAValidEntryText)
{
    // set_para.txt is read byte for byte; a name that ends inside a
    // multi-byte sequence must not reach GTK as it is.
    build_window(0, "ab\xff\xe4");
    const char *text = gtk_entry_get_text(GTK_ENTRY(entry_setting_file));
    EXPECT_TRUE(g_utf8_validate(text, -1, nullptr));
    EXPECT_EQ(std::string(text).substr(0, 2), "ab");
}

TEST_F(ComWindow, PcSerialCombosStartAtTheStartUpSelection)
{
    EXPECT_EQ(combo_active(combo_pccom_device), "COM1");
    EXPECT_EQ(combo_active(combo_pccom_baud), "57600");
    EXPECT_EQ(combo_active(combo_pccom_data), "8");
    EXPECT_EQ(combo_active(combo_pccom_parity), "None");
    EXPECT_EQ(combo_active(combo_pccom_stop), "1");
    EXPECT_EQ(combo_entries(combo_pccom_device).size(), 12u);
    EXPECT_EQ(combo_entries(combo_pccom_baud).size(), 20u);
}

// --- Option lists -----------------------------------------------------------

TEST(OptionLists, EachFillerGivesItsEntriesInOrderAndSelectsItsDefault)
{
    using v = std::vector<std::string>;
    const struct {
        const char *name;
        void (*fill)(GtkWidget *);
        v entries;
        int active;
    } rows[] = {
        {"com_port", set_com_port,
         v{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10", "COM11",
           "COM12"},
         0},
        {"com_baudrate", set_com_baudrate,
         v{"50",    "75",    "110",    "134",    "150",    "200",   "300",
           "600",   "1200",  "1800",   "2400",   "4800",   "9600",  "19200",
           "38400", "57600", "115200", "230400", "345600", "460800"},
         15},
        {"com_data", set_com_data, v{"5", "6", "7", "8"}, 3},
        {"com_parity", set_com_parity, v{"None", "Odd", "Even", "Mark", "Space"}, 0},
        {"com_stop", set_com_stop, v{"1", "2"}, 0},
        {"uart_frame", set_uart_frame, v{"Disable", "Enable"}, 0},
        {"net_mode", set_net_mode, v{"Server", "Client"}, 0},
        {"net_prot", set_net_prot, v{"TCP", "UDP"}, 0},
        {"wifi_mode", set_wifi_mode,
         v{"802.11B Only", "802.11G Only", "802.11BG", "802.11N Only", "802.11BGN"}, 4},
        {"wifi_channel", set_wifi_channel,
         v{"Auto", "Channel 1", "Channel 2", "Channel 3", "Channel 4", "Channel 5", "Channel 6",
           "Channel 7", "Channel 8", "Channel 9", "Channel 10", "Channel 11", "Channel 12",
           "Channel 13", "Channel 14"},
         0},
        {"wifiap_auth", set_wifiap_auth, v{"OPEN", "SHARED", "WPAPSK", "WPA2PSK"}, 0},
        {"wifiap_encry_open", set_wifiap_encry_open, v{"NONE", "WEP-HEX", "WEP-ASCII"}, 0},
        {"wifiap_encry_shared", set_wifiap_encry_shared, v{"WEP-HEX", "WEP-ASCII"}, 0},
        {"wifiap_encry_wpapsk", set_wifiap_encry_wpapsk, v{"TKIP", "AES", "TKIPAES"}, 0},
        {"wifiap_dhcp", set_wifiap_dhcp, v{"Enable", "Disable"}, 0},
    };
    for (const auto &r : rows) {
        GtkWidget *combo = gtk_combo_box_new_text();
        g_object_ref_sink(combo);
        r.fill(combo);
        EXPECT_EQ(combo_entries(combo), r.entries) << r.name;
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), r.active) << r.name;
        gtk_widget_destroy(combo);
        g_object_unref(combo);
    }
}

TEST(OptionLists, EncryptionCodeMapsToItsTextInTheListShownForEachAuthentication)
{
    // Encryption codes 0..5 and the authentications whose list holds them.
    const char *const code_text[] = {"NONE", "WEP-HEX", "WEP-ASCII", "TKIP", "AES", "TKIPAES"};
    const struct {
        int auth;
        int first, last; // codes the list offers
    } rows[] = {{0, 0, 2}, {1, 1, 2}, {2, 3, 5}, {3, 3, 5}};
    for (const auto &r : rows) {
        const option_list &list = encry_list_for_auth(r.auth);
        EXPECT_EQ(list.count, r.last - r.first + 1) << "auth " << r.auth;
        for (int code = r.first; code <= r.last; ++code) {
            int pos = code - encry_list_offset(r.auth);
            ASSERT_GE(pos, 0) << "auth " << r.auth << " code " << code;
            ASSERT_LT(pos, list.count) << "auth " << r.auth << " code " << code;
            EXPECT_STREQ(list.entries[pos], code_text[code]) << "auth " << r.auth;
        }
    }
}

// --- Texts ------------------------------------------------------------------

TEST(Texts, ConversionKeepsTextsWholeAndRefusesWhatIsNotUtf8)
{
    const struct {
        const char *in;
        const char *out; // null: refused
    } rows[] = {
        {"10.10.100.123/255.255.255.0", "10.10.100.123/255.255.255.0"},
        {text_label_company, ""},
        {"软件版本: V1.0", "软件版本: V1.0"},
        {"ab\xff", nullptr},
        {"\xe4\xb8", nullptr}, // a character cut short
        {nullptr, nullptr},
    };
    for (const auto &r : rows) {
        gchar *got = _(r.in);
        if (r.out == nullptr) {
            EXPECT_EQ(got, nullptr) << (r.in ? r.in : "(null)");
        } else {
            ASSERT_NE(got, nullptr) << r.in;
            EXPECT_STREQ(got, r.out);
            EXPECT_NE(static_cast<const void *>(got), static_cast<const void *>(r.in));
        }
        g_free(got);
    }
}

TEST(Texts, FontFunctionsSetTheirFonts)
{
    const struct {
        void (*set)(GtkWidget *);
        const char *font;
    } rows[] = {{set_widget_font, "Sans 10"},
                {set_widget_font_sb, "Sans Bold 10"},
                {set_widget_font_b, "Sans Bold 12"}};
    for (const auto &r : rows) {
        GtkWidget *label = gtk_label_new("x");
        g_object_ref_sink(label);
        r.set(label);
        EXPECT_EQ(font_override(label), r.font);
        gtk_widget_destroy(label);
        g_object_unref(label);
    }
}

// --- Lamp and logo ------------------------------------------------------------

TEST(Lamp, SetLampPicksTheDiscColourAndTheDiscStaysAtItsPlace)
{
    const struct {
        int state;
        int r, g, b;
    } rows[] = {{0, 128, 128, 128}, {1, 0, 255, 0},  {2, 255, 0, 0}, {3, 255, 255, 0},
                {4, 255, 0, 0},     {-1, 255, 0, 0}, {99, 255, 0, 0}};
    for (const auto &r : rows) {
        set_lamp(r.state);
        EXPECT_EQ(color, r.state);
        cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 30, 30);
        cairo_t *cr = cairo_create(s);
        show_pictures_draw(cr, 30, 30);
        cairo_destroy(cr);
        argb centre = surface_pixel(s, 20, 13);
        EXPECT_EQ(centre.a, 255) << "state " << r.state;
        EXPECT_NEAR(centre.r, r.r, 1) << "state " << r.state;
        EXPECT_NEAR(centre.g, r.g, 1) << "state " << r.state;
        EXPECT_NEAR(centre.b, r.b, 1) << "state " << r.state;
        // Radius 10 around (20, 13): inside near the edges, nothing beyond.
        for (auto [x, y] : {std::pair{20, 5}, {20, 21}, {12, 13}, {28, 13}})
            EXPECT_EQ(surface_pixel(s, x, y).a, 255) << x << "," << y;
        for (auto [x, y] : {std::pair{20, 25}, {20, 1}, {8, 13}, {2, 2}, {29, 29}})
            EXPECT_EQ(surface_pixel(s, x, y).a, 0) << x << "," << y;
        cairo_surface_destroy(s);
    }
    set_lamp(2);
}

TEST(Logo, PaintsPicUnscaledFromTheWorkingDirectoryReloadedAtEachDraw)
{
    temp_cwd dir;
    auto draw = [] {
        cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 60, 30);
        cairo_t *cr = cairo_create(s);
        show_pictures(cr);
        cairo_destroy(cr);
        return s;
    };
    // No picture: nothing painted, nothing reported.
    cairo_surface_t *s = draw();
    EXPECT_EQ(surface_pixel(s, 5, 5).a, 0);
    cairo_surface_destroy(s);

    write_solid_png("pic", 0, 0, 1, 40, 20);
    s = draw();
    argb in = surface_pixel(s, 39, 19);
    EXPECT_EQ(in.a, 255);
    EXPECT_EQ(in.b, 255);
    EXPECT_EQ(in.r, 0);
    EXPECT_EQ(surface_pixel(s, 40, 5).a, 0) << "drawn at its own size";
    EXPECT_EQ(surface_pixel(s, 5, 20).a, 0) << "drawn at its own size";
    cairo_surface_destroy(s);

    write_solid_png("pic", 1, 0, 0, 40, 20);
    s = draw();
    EXPECT_EQ(surface_pixel(s, 5, 5).r, 255) << "the file is read again";
    cairo_surface_destroy(s);

    write_file("pic", "not a PNG");
    s = draw();
    EXPECT_EQ(surface_pixel(s, 5, 5).a, 0);
    cairo_surface_destroy(s);
}

// --- The window on screen ---------------------------------------------------

TEST_F(ComWindow, ShowsLogoAndRedLampAndTurnsGreenOnSetLamp)
{
    gchar *here = g_get_current_dir();
    const std::string shot = std::string(here) + "/ui_window.png";
    g_free(here);
    // The build's own logo when there is one (tests run in build/tests).
    const std::string logo = read_file("../pic");
    temp_cwd dir;
    if (logo.empty())
        write_solid_png("pic", 0.1, 0.3, 0.6, 796, 76);
    else
        write_file("pic", logo);

    int *lamp_exposes = count_exposes(draw_connect);
    int *logo_exposes = count_exposes(draw_logo);
    ASSERT_TRUE(pump_until([&] { return *lamp_exposes > 0 && *logo_exposes > 0; }));
    ASSERT_TRUE(shows_pixel(window, draw_connect, 20, 13, rgb{255, 0, 0}));
    GdkPixbuf *pb = grab_window(window);
    ASSERT_NE(pb, nullptr);
    gdk_pixbuf_save(pb, shot.c_str(), "png", nullptr, nullptr);
    EXPECT_EQ(pixel_of(pb, window, draw_connect, 20, 13), (rgb{255, 0, 0}));
    EXPECT_NE(pixel_of(pb, window, draw_connect, 2, 2), (rgb{255, 0, 0})) << "only a disc";

    cairo_surface_t *pic = cairo_image_surface_create_from_png("pic");
    ASSERT_EQ(cairo_surface_status(pic), CAIRO_STATUS_SUCCESS);
    argb want = surface_pixel(pic, 10, 10);
    cairo_surface_destroy(pic);
    EXPECT_EQ(pixel_of(pb, window, draw_logo, 10, 10), (rgb{want.r, want.g, want.b}));
    g_object_unref(pb);

    // Homogeneous tables: logo strip one sixth of the height, PC-side area
    // one quarter of the width.
    GtkAllocation logo_row, inner, pc;
    gtk_widget_get_allocation(gtk_widget_get_parent(draw_logo), &logo_row);
    gtk_widget_get_allocation(gtk_widget_get_parent(frame_module), &inner);
    gtk_widget_get_allocation(frame_around(frame_around(combo_pccom_device)), &pc);
    EXPECT_NEAR(logo_row.height * 5, inner.height, 5);
    EXPECT_NEAR(pc.width * 4, inner.width, 4);

    int before = *lamp_exposes;
    set_lamp(1);
    ASSERT_TRUE(pump_until([&] { return *lamp_exposes > before; }));
    EXPECT_TRUE(shows_pixel(window, draw_connect, 20, 13, rgb{0, 255, 0}));
    set_lamp(2);
}

TEST_F(ComWindow, DestroyedWidgetsLeaveNullGlobalsSoALateLampChangeIsHarmless)
{
    gtk_widget_destroy(window);
    for (GtkWidget *w : {window, draw_connect, button_pccom_open, combo_pccom_device,
                         button_setting_read, entry_setting_file, check_setting_auto, draw_logo})
        EXPECT_EQ(w, nullptr);
    set_lamp(1); // a critical here aborts the test
    EXPECT_EQ(color, 1);
    set_lamp(2);
}

TEST_F(ComWindow, ClosingTheWindowEndsTheMainLoop)
{
    bool timed_out = false;
    guint guard = g_timeout_add(
        5000,
        [](gpointer d) -> gboolean {
            *static_cast<bool *>(d) = true;
            gtk_main_quit();
            return FALSE;
        },
        &timed_out);
    // What the window manager's close button delivers.
    g_idle_add(
        [](gpointer) -> gboolean {
            GdkEvent *ev = gdk_event_new(GDK_DELETE);
            ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
            gtk_main_do_event(ev);
            gdk_event_free(ev);
            return FALSE;
        },
        nullptr);
    gtk_main();
    EXPECT_FALSE(timed_out);
    if (!timed_out)
        g_source_remove(guard);
    EXPECT_EQ(window, nullptr) << "GTK goes on to destroy the window";
}

// Started from the menu, a working directory that cannot be made is said
// in a dialog: nobody reads standard error there.
TEST(WorkdirDialog, SaysTheDirectoryCannotBeUsedAndWhy)
{
    text_fit::use_language("en"); // in the user's language, as the window is
    GtkWidget *dialog = workdir_error_dialog("/home/op/.local/share/modcfg: Permission denied");
    text_fit::use_language(nullptr);
    ASSERT_TRUE(GTK_IS_MESSAGE_DIALOG(dialog));
    gchar *text = nullptr;
    gchar *secondary = nullptr;
    g_object_get(dialog, "text", &text, "secondary-text", &secondary, nullptr);
    EXPECT_STREQ(text, "The working directory can not be used");
    EXPECT_STREQ(secondary, "/home/op/.local/share/modcfg: Permission denied");
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
    g_free(text);
    g_free(secondary);
    gtk_widget_destroy(dialog);
}

TEST(WindowState, ResetGoesBackToTheStart)
{
    started = notebook_page_now = page_ap_shown = 1;
    color = 1;
    window_state_reset();
    EXPECT_EQ(started + notebook_page_now + page_ap_shown, 0);
    EXPECT_EQ(color, 2);
}

} // namespace
