// The network window's own texts in English and in Chinese: in English the
// instructions and every waiting and connected status fit the network
// frame; the status shows the catalogue's text or the source bytes.
#include "lang.h"
#include "net_module.h"
#include "text_fit.h"
#include "window.h"
#include "window_probe.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

class NetLanguages : public ::testing::TestWithParam<const char *>
{
  protected:
    void TearDown() override
    {
        destroy_window();
        text_fit::use_language(nullptr);
    }
};

TEST_P(NetLanguages, InstructionsAndEveryStatusFit)
{
    const char *language = GetParam();
    text_fit::use_language(language);
    build_window();
    ASSERT_TRUE(pump_until([] { return gtk_widget_get_mapped(window) != FALSE; }));
    const std::string lang = language ? language : "C";

    const char *const english[] = {"Waiting.",    "Waiting.",   "Waiting..", "Waiting...",
                                   "Waiting...",  "Waiting....", "Connected"};
    const char *const source[] = {text_net_conn1, text_net_conn1, text_net_conn2, text_net_conn3,
                                  text_net_conn4, text_net_conn5, text_net_conn6};
    for (int state = 1; state <= 6; state++) {
        set_conn_text(state);
        pump_pending();
        EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label_net_conn)),
                     language ? english[state] : source[state]);
        int checked = 0;
        std::string misfits;
        for (const std::string &m : text_fit::misfits(window, &checked))
            misfits += "  " + m + "\n";
        EXPECT_EQ(misfits, "") << lang << ", status " << state;
        EXPECT_GE(checked, 20);
    }
    if (language) {
        for (const std::string &text : text_fit::shown_texts(window))
            EXPECT_FALSE(text_fit::has_non_ascii(text.c_str())) << "left untranslated: " << text;
    }
    text_fit::save_shot(window, "net-" + lang + "-page1");
}

INSTANTIATE_TEST_SUITE_P(Window, NetLanguages, ::testing::Values(nullptr, "en"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param ? info.param : "C");
                         });

} // namespace
