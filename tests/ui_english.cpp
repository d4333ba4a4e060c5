// The serial window in English and in Chinese: every page's texts fit the
// fixed layout (each label's extent against its place, nothing overlapping),
// English shows no Chinese text left over, and without a catalogue that
// applies the source texts stay byte for byte.
#include "button_clicked.h"
#include "lang.h"
#include "text_fit.h"
#include "window.h"
#include "window_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

class Languages : public ::testing::TestWithParam<const char *>
{
  protected:
    void TearDown() override
    {
        destroy_window();
        text_fit::use_language(nullptr);
    }
};

std::string joined(const std::vector<std::string> &lines)
{
    std::string out;
    for (const std::string &l : lines)
        out += "  " + l + "\n";
    return out;
}

TEST_P(Languages, EveryPageFitsItsTextsAndShowsOneLanguage)
{
    const char *language = GetParam();
    text_fit::use_language(language);
    build_window();
    ASSERT_TRUE(pump_until([] { return gtk_widget_get_mapped(window) != FALSE; }));
    const std::string lang = language ? language : "C";

    GtkNotebook *notebook = GTK_NOTEBOOK(notebook_module);
    ASSERT_EQ(gtk_notebook_get_n_pages(notebook), 4);
    for (int page = 0; page < 4; page++) {
        gtk_notebook_set_current_page(notebook, page);
        pump_pending();
        int checked = 0;
        EXPECT_EQ(joined(text_fit::misfits(window, &checked)), "") << lang << ", page " << page;
        // PC frames, tabs and the page's own texts: a page that did not
        // show would check far fewer.
        EXPECT_GE(checked, 20) << lang << ", page " << page;
        for (const std::string &text : text_fit::shown_texts(window)) {
            if (language) {
                EXPECT_FALSE(text_fit::has_non_ascii(text.c_str()))
                    << "left untranslated on page " << page << ": " << text;
            }
        }
        text_fit::save_shot(window, "com-" + lang + "-page" + std::to_string(page + 1));
    }

    // The caption the connect button takes while connected fits too.
    pccom_open_set_label(text_button_disconnect);
    pump_pending();
    EXPECT_EQ(joined(text_fit::misfits(window)), "") << lang << ", connected";

    // A caption too long for its button is cut and whole in the tooltip;
    // one that fits again drops it.
    const char *long_caption = "A caption far longer than its button";
    for (const char *caption : {long_caption, "Apply"}) {
        gtk_button_set_label(GTK_BUTTON(button_setting_down), caption);
        pump_pending();
        EXPECT_EQ(joined(text_fit::misfits(window)), "") << lang << ", " << caption;
        gchar *tip = gtk_widget_get_tooltip_text(button_setting_down);
        EXPECT_STREQ(tip, caption == long_caption ? caption : nullptr);
        g_free(tip);
    }

    const char *title = gtk_window_get_title(GTK_WINDOW(window));
    const char *tab =
        gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, 1));
    if (language) {
        EXPECT_STREQ(title, "QX-B27 Configuration Tool V2.2");
        EXPECT_STREQ(tab, "Communication");
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button_pccom_open)), "Disconnect");
    } else {
        EXPECT_STREQ(title, text_title);
        EXPECT_STREQ(tab, text_notebook_comm);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button_pccom_open)),
                     text_button_disconnect);
    }
}

INSTANTIATE_TEST_SUITE_P(Window, Languages, ::testing::Values(nullptr, "en"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param ? info.param : "C");
                         });

// The texts that read alike stay apart where their room differs: the Wi-Fi
// key labels have a third of the web password label's width. The empty
// company text never turns into the catalogue's header.
TEST(Translations, ContextsAndTheEmptyText)
{
    text_fit::use_language("en");
    EXPECT_STREQ(ui_translate(text_password), "Password");
    EXPECT_STREQ(ui_translate(text_wifiap_key), "Key");
    EXPECT_STREQ(ui_translate(text_wifista_key), "Key");
    EXPECT_STREQ(ui_translate(text_label_company), "");
    EXPECT_STREQ(ui_translate(text_label_ver), "Version: ");
    text_fit::use_language("zh_TW:en");
    EXPECT_STREQ(ui_translate(text_title), text_title);
    EXPECT_STREQ(ui_translate(text_wifiap_key), text_wifiap_key);
    text_fit::use_language(nullptr);
    EXPECT_STREQ(ui_translate(text_wifiap_key), text_wifiap_key);
    EXPECT_EQ(ui_translate(text_title), text_title);
}

} // namespace
