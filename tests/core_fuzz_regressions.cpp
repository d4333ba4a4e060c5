// Inputs the fuzz targets found faults with, kept as cases of the normal
// suite.
#include "cmd_file.h"
#include "module.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

static std::vector<std::string> sent;
int module_send_cmd_set(const char *cmd)
{
    sent.push_back(cmd);
    return 1;
}
int module_send_cmd_get(const char *, char *) { return 0; }
int module_echo() { return 0; }

namespace {

// ---------------------------------------------------------------------------
// Fuzz findings.

// A command-file line with a zero byte in it was sent cut at that byte, a
// command the file does not hold.
TEST(FuzzFindings, ApplySkipsLineWithZeroByte)
{
    temp_cwd dir;
    mkdir("data", 0755);
    write_file("data/f.txt", std::string("\x02\x00", 2)); // as found
    sent.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_command_file("f.txt"), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sent.empty());

    // The lines around it still go out.
    write_file("data/f.txt", std::string("AT+WMODE=AP\r\nAT+WAP=11BGN,a\0b,CH1\r\nAT+MAXSK=5\r\nE\r\n",
                                         47));
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_command_file("f.txt"), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent, (std::vector<std::string>{"AT+WMODE=AP", "AT+MAXSK=5"}));
    EXPECT_NE(out.find("Not sent, the line holds a zero byte: AT+WAP=11BGN,a\n"), std::string::npos);
    EXPECT_EQ(out.find("Send Command: AT+WAP"), std::string::npos);
}

} // namespace
