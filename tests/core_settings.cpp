// The settings file set_para.txt and the start-up state.
#include "main.h"
#include "module.h"
#include "pccom.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

struct para_case {
    const char *what;
    bool present;
    std::string bytes;
    int auto_setting;
    const char *name;
};

class SettingsFile : public ::testing::TestWithParam<para_case> {
    temp_cwd dir;
};

TEST_P(SettingsFile, Loads)
{
    const para_case &c = GetParam();
    if (c.present)
        write_file("set_para.txt", c.bytes);
    auto_setting = 7;
    setting_file[0] = 'x';
    init_setting_para();
    EXPECT_EQ(auto_setting, c.auto_setting) << c.what;
    EXPECT_STREQ(setting_file, c.name) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, SettingsFile,
    ::testing::Values(
        para_case{"missing file", false, "", 0, "set_file.txt"},
        para_case{"empty file", true, "", 0, "set_file.txt"},
        para_case{"flag only", true, "1", 1, "set_file.txt"},
        para_case{"flag and separator", true, "1 ", 1, "set_file.txt"},
        para_case{"off with name", true, "0 abc", 0, "abc"},
        para_case{"separator skipped whatever it is", true, "1xabc", 1, "abc"},
        para_case{"any other first byte is off", true, "Y abc", 0, "abc"},
        para_case{"line end becomes part of the name", true, "1 a b\r\n", 1, "a b\r\n"},
        para_case{"29-byte name kept whole", true, "1 " + std::string(29, 'n'), 1,
                  "nnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
        para_case{"longer name cut to 29 bytes", true, "0 " + std::string(40, 'n'), 0,
                  "nnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
        // 13 ASCII bytes and six three-byte characters: 29 bytes would
        // split the sixth character, so the cut falls before it.
        para_case{"cut keeps whole UTF-8 characters", true,
                  "1 " + std::string(13, 'a') + "设设设设设设", 1,
                  "aaaaaaaaaaaaa设设设设设"}));

TEST(SettingsFileWrite, ExactBytesAndRoundTrip)
{
    temp_cwd dir;
    ASSERT_EQ(write_setting_para(1, "set_file.txt"), 1);
    std::string bytes = read_file("set_para.txt");
    EXPECT_EQ(bytes, std::string("1 set_file.txt"));
    EXPECT_EQ(bytes.size(), 14u);

    ASSERT_EQ(write_setting_para(0, "设置.txt"), 1);
    EXPECT_EQ(read_file("set_para.txt"), std::string("0 设置.txt"));
    init_setting_para();
    EXPECT_EQ(auto_setting, 0);
    EXPECT_STREQ(setting_file, "设置.txt");

    // Any flag other than 1 is written as off.
    ASSERT_EQ(write_setting_para(2, ""), 1);
    EXPECT_EQ(read_file("set_para.txt"), std::string("0 "));
}

TEST(SettingsFileWrite, FailedWriteKeepsOldFile)
{
    temp_cwd dir;
    write_file("set_para.txt", "1 old.txt");
    // A directory where the new file is written makes the write fail, as a
    // read-only directory would, also for root.
    mkdir("set_para.txt.new", 0755);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_setting_para(0, "new.txt"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("set_para.txt"), std::string::npos);
    EXPECT_EQ(read_file("set_para.txt"), "1 old.txt");
}

TEST(StartupState, ResetsFlagsAndPcDefaults)
{
    temp_cwd dir;
    strMODAP.inited = strMODAP.dirty = 1;
    strMODSTA_up.inited = 1; // edited records' flags are not touched
    strPCCom.fd = 42;
    strPCCom.device = 5;
    init_app_state();
    EXPECT_EQ(strMODAP.inited + strMODAP.dirty, 0);
    EXPECT_EQ(strMODSTA_up.inited, 1);
    EXPECT_EQ(strPCCom.fd, 42); // the handle is left as it was
    EXPECT_EQ(strPCCom.device, 0);
    EXPECT_EQ(strPCCom.baudrate, 15);
    EXPECT_EQ(strPCCom.data_bits, 3);
    EXPECT_EQ(strPCCom.parity, 0);
    EXPECT_EQ(strPCCom.stop_bits, 0);
    EXPECT_EQ(strPCCom.bopened, 0);
    EXPECT_EQ(auto_setting, 0);
    EXPECT_STREQ(setting_file, "set_file.txt");
    strMODSTA_up.inited = 0;
}

} // namespace
