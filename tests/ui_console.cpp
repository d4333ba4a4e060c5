// The console window in process: what a failed connect, Confirm and a failed
// Save print reaches it; it keeps the newest lines, copies and clears them,
// hides when closed and comes back with Ctrl+L.
#include "console.h"
#include "console_window.h"
#include "lang.h"
#include "page_driver.h"
#include "sim_process.h"
#include "temp_dir.h"
#include "ui_records.h"
#include "window_probe.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

namespace
{

class ConsoleWindow : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        ui_records::build_window_once();
        ASSERT_TRUE(console_capture_start());
        console_window_open(window);
    }
    static void TearDownTestSuite() { console_capture_stop(); }
};

bool shows(const std::string &text)
{
    return pump_until([&] { return console_text().find(text) != std::string::npos; });
}

TEST_F(ConsoleWindow, ShowsWhatAFailedConnectConfirmAndAFailedSavePrint)
{
    temp_cwd dir; // no data/: Save can not write its file
    setenv("MODCFG_COM1", (dir.path() + "/absent").c_str(), 1);
    choose(combo_pccom_device, "COM1");
    gtk_button_clicked(GTK_BUTTON(button_pccom_open));
    EXPECT_TRUE(shows("Can not open the serial port\n")) << console_text();

    sim_process sim;
    ASSERT_TRUE(sim.start_pty({}));
    setenv("MODCFG_COM1", sim.pty_path().c_str(), 1);
    gtk_button_clicked(GTK_BUTTON(button_pccom_open));
    ASSERT_EQ(strPCCom.bopened, 1);
    gtk_button_clicked(GTK_BUTTON(button_setting_read));
    type_and_leave(entry_mod_usr, "op");
    gtk_button_clicked(GTK_BUTTON(button_mana_confirm));
    EXPECT_TRUE(shows("Send CMD: AT+WEBU=op,")) << console_text();
    set_entry(entry_setting_file, "set_file.txt");
    gtk_button_clicked(GTK_BUTTON(button_setting_save));
    EXPECT_TRUE(shows("Can not open file: data/set_file.txt\n")) << console_text();
    gtk_button_clicked(GTK_BUTTON(button_pccom_open));
}

TEST_F(ConsoleWindow, KeepsTheNewestLinesCopiesClearsHidesAndComesBack)
{
    const int printed = console_max_lines + 50;
    for (int i = 0; i < printed; i++)
        std::printf("line %d\n", i);
    ASSERT_TRUE(shows("line " + std::to_string(printed - 1) + "\n"));
    const std::string text = console_text();
    EXPECT_EQ(count_of(text, "\n"), size_t(console_max_lines));
    EXPECT_EQ(text.rfind("line 50\n", 0), 0u) << text.substr(0, 40);

    // Below the text: "Copy all", then "Clear".
    const auto buttons = children_of(children_of(gtk_bin_get_child(GTK_BIN(console_window)))[1]);
    ASSERT_EQ(gtk_button_get_label(GTK_BUTTON(buttons[0])), std::string(ui_translate(text_console_copy)));
    gtk_button_clicked(GTK_BUTTON(buttons[0]));
    gchar *copied = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    EXPECT_TRUE(copied && copied == text);
    g_free(copied);
    gtk_button_clicked(GTK_BUTTON(buttons[1]));
    EXPECT_EQ(console_text(), "");

    GdkEvent *close = gdk_event_new(GDK_DELETE);
    close->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(console_window)));
    gtk_main_do_event(close);
    gdk_event_free(close);
    ASSERT_NE(console_window, nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(console_window));
    gtk_accel_groups_activate(G_OBJECT(window), GDK_KEY_l, GDK_CONTROL_MASK);
    EXPECT_TRUE(gtk_widget_get_visible(console_window));
}

} // namespace
