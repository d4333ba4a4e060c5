// The network build's window: its link group of instructions, lamp and
// status label instead of the serial selectors, and a lamp that the
// connection thread may change.
#include "lang.h"
#include "main.h"
#include "temp_dir.h"
#include "window.h"
#include "window_probe.h"
#include "window_state.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

class NetWindow : public ::testing::Test
{
  protected:
    void SetUp() override { build_window(); }
    void TearDown() override { destroy_window(); }
};

TEST_F(NetWindow, BuildsTheNetworkLinkGroupAndNoSerialWidgets)
{
    ASSERT_NE(draw_net_connect, nullptr);
    EXPECT_TRUE(GTK_IS_DRAWING_AREA(draw_net_connect));
    ASSERT_NE(label_net_conn, nullptr);
    EXPECT_TRUE(GTK_IS_LABEL(label_net_conn));
    for (GtkWidget *w : {button_setting_read, button_setting_save, label_setting_file,
                         entry_setting_file, check_setting_auto, button_setting_down, frame_module})
        EXPECT_NE(w, nullptr);
    for (GtkWidget *w : {combo_pccom_device, combo_pccom_baud, combo_pccom_data, combo_pccom_parity,
                         combo_pccom_stop, button_pccom_open, draw_connect})
        EXPECT_EQ(w, nullptr);
    // The module connects by itself: the link group offers no button.
    for (GtkWidget *w : children_of(fixed_in(frame_around(label_net_conn))))
        EXPECT_FALSE(GTK_IS_BUTTON(w)) << G_OBJECT_TYPE_NAME(w);
    EXPECT_TRUE(dispatched().empty()) << "building runs no handler";
}

TEST_F(NetWindow, ShowsTheInstructionsAndTheWaitingStatus)
{
    GtkWidget *link = frame_around(label_net_conn);
    EXPECT_EQ(frame_title(link), "网络连接");
    EXPECT_EQ(frame_title(frame_around(button_setting_read)), "模块设置管理");
    EXPECT_EQ(
        label_texts(fixed_in(link)),
        (std::vector<std::string>{"请先把计算机网卡静态设置为:", "10.10.100.123/255.255.255.0",
                                  "再起动本程序!", "最后QX-B27模块上电!", "正在等待连接."}));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "QX-B27设置工具 V2.2");
}

TEST_F(NetWindow, StatusLabelIsBoldAndTheAddressLineBlue)
{
    EXPECT_EQ(font_override(label_net_conn), "Sans Bold 10");
    std::vector<GtkWidget *> labels;
    for (GtkWidget *w : children_of(fixed_in(frame_around(label_net_conn))))
        if (GTK_IS_LABEL(w) && w != label_net_conn)
            labels.push_back(w);
    ASSERT_EQ(labels.size(), 4u);
    // The first line and the address may take a smaller size to fit.
    for (size_t i = 0; i < labels.size(); ++i)
        EXPECT_EQ(font_override(labels[i]).substr(0, i < 2 ? 5 : 99), i < 2 ? "Sans " : "Sans 10");
    for (size_t i = 0; i < labels.size(); ++i) {
        GtkRcStyle *rc = gtk_widget_get_modifier_style(labels[i]);
        bool fg_set = (rc->color_flags[GTK_STATE_NORMAL] & GTK_RC_FG) != 0;
        EXPECT_EQ(fg_set, i == 1) << gtk_label_get_text(GTK_LABEL(labels[i]));
        if (i == 1) {
            const GdkColor &c = rc->fg[GTK_STATE_NORMAL];
            EXPECT_EQ(c.red, 0);
            EXPECT_EQ(c.green, 0);
            EXPECT_EQ(c.blue, 65535);
        }
    }
}

TEST_F(NetWindow, PlacesTheLinkGroupWidgets)
{
    std::vector<std::pair<int, int>> places;
    for (GtkWidget *w : children_of(fixed_in(frame_around(label_net_conn))))
        places.push_back(place_in_fixed(w));
    // Four instruction lines, the lamp, the status label.
    EXPECT_EQ(places, (std::vector<std::pair<int, int>>{
                          {5, 21}, {5, 51}, {5, 81}, {5, 111}, {10, 150}, {50, 158}}));
    EXPECT_EQ(size_request(draw_net_connect), std::make_pair(30, 30));
    EXPECT_EQ(place_in_fixed(frame_around(label_net_conn)), std::make_pair(3, 8));
    EXPECT_EQ(size_request(frame_around(label_net_conn)), std::make_pair(190, 220));
}

TEST_F(NetWindow, SettingsGroupStartsAsInTheSerialBuild)
{
    for (GtkWidget *w : {button_setting_read, button_setting_save, button_setting_down})
        EXPECT_FALSE(gtk_widget_is_sensitive(w));
    EXPECT_TRUE(gtk_widget_is_sensitive(entry_setting_file));
    EXPECT_TRUE(gtk_widget_is_sensitive(check_setting_auto));
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(entry_setting_file)), 15);

    build_window(1, "net.txt");
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_setting_auto)));
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry_setting_file)), "net.txt");
    EXPECT_TRUE(dispatched().empty());
    gtk_button_clicked(GTK_BUTTON(check_setting_auto));
    ASSERT_EQ(dispatched().size(), 1u);
    EXPECT_EQ(dispatched()[0].second, "auto_setting_button");
}

TEST_F(NetWindow, LampChangedFromAnotherThreadIsRepaintedByTheMainLoop)
{
    gchar *here = g_get_current_dir();
    const std::string shot = std::string(here) + "/net_window.png";
    g_free(here);
    const std::string logo = read_file("../pic");
    temp_cwd dir;
    if (!logo.empty())
        write_file("pic", logo);

    int *lamp_exposes = count_exposes(draw_net_connect);
    ASSERT_TRUE(pump_until([&] { return *lamp_exposes > 0; }));
    ASSERT_TRUE(shows_pixel(window, draw_net_connect, 20, 13, rgb{255, 0, 0}));
    GdkPixbuf *pb = grab_window(window);
    ASSERT_NE(pb, nullptr);
    gdk_pixbuf_save(pb, shot.c_str(), "png", nullptr, nullptr);
    EXPECT_EQ(pixel_of(pb, window, draw_net_connect, 20, 13), (rgb{255, 0, 0}));
    g_object_unref(pb);

    // As the connection thread does when a module connects: the state is
    // there at once, the repaint comes from the main loop.
    int before = *lamp_exposes;
    std::thread([] { set_lamp(1); }).join();
    EXPECT_EQ(color, 1);
    ASSERT_TRUE(pump_until([&] { return *lamp_exposes > before; }));
    EXPECT_TRUE(shows_pixel(window, draw_net_connect, 20, 13, rgb{0, 255, 0}));

    before = *lamp_exposes;
    std::thread([] { set_lamp(2); }).join();
    ASSERT_TRUE(pump_until([&] { return *lamp_exposes > before; }));
    EXPECT_TRUE(shows_pixel(window, draw_net_connect, 20, 13, rgb{255, 0, 0}));
}

TEST_F(NetWindow, LampChangeQueuedAfterTheWindowIsGoneTouchesNothing)
{
    std::thread([] { set_lamp(1); }).join();
    gtk_widget_destroy(window);
    EXPECT_EQ(draw_net_connect, nullptr);
    pump_pending(); // the queued redraw finds no lamp; a critical aborts
    EXPECT_EQ(color, 1);
    set_lamp(2);
    pump_pending();
}

} // namespace
