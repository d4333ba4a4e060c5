// Inputs the fuzz targets found faults with, kept as cases of the normal
// suite.
#include "cmd_file.h"
#include "entry_out.h"
#include "main.h"
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

// A long run of UTF-8 continuation bytes made the bounded copy step back to
// nothing: a set_para.txt name of such bytes came out as the empty name.
TEST(FuzzFindings, SettingsNameOfContinuationBytesIsNotEmptied)
{
    temp_cwd dir;
    write_file("set_para.txt", std::string(32, '\x86') + "\x9c\n-"); // as found
    init_setting_para();
    EXPECT_EQ(auto_setting, 0);
    EXPECT_EQ(std::string(setting_file), std::string(29, '\x86'));
}

struct cut_case {
    const char *what;
    std::string src;
    std::string want;
};

void PrintTo(const cut_case &c, std::ostream *os) { *os << c.what; }

class TextCut : public ::testing::TestWithParam<cut_case> {};

// A cut into a 30-byte field drops at most the bytes of one split character.
TEST_P(TextCut, KeepsWholeCharactersAndNoMore)
{
    const cut_case &c = GetParam();
    char field[30];
    EXPECT_FALSE(text_set(field, c.src.c_str())) << c.what;
    EXPECT_EQ(std::string(field), c.want) << c.what;
}

const std::string a26(26, 'a'), a28(28, 'a');
INSTANTIATE_TEST_SUITE_P(
    Utf8, TextCut,
    ::testing::Values(
        cut_case{"ASCII cut at 29 bytes", std::string(40, 'n'), std::string(29, 'n')},
        cut_case{"two-byte character split", a28 + "\xc3\xa9", a28},
        cut_case{"four-byte character split after one byte", a28 + "\xf0\x9f\x98\x80", a28},
        cut_case{"four-byte character split after three", a26 + "\xf0\x9f\x98\x80", a26},
        cut_case{"no UTF-8: continuation bytes only", std::string(40, '\x86'),
                 std::string(29, '\x86')},
        cut_case{"no UTF-8: lead byte and too many continuations",
                 std::string(25, 'a') + "\xf0" + std::string(10, '\x80'),
                 std::string(25, 'a') + "\xf0" + std::string(3, '\x80')}),
    [](const ::testing::TestParamInfo<cut_case> &i) { return std::to_string(i.index); });

// The entry rules where an int could overflow: values far outside the range.
TEST(FuzzFindings, EntryNumbersAndPortAtIntLimits)
{
    struct row {
        const char *text;
        int value; // framing time, 100..10000
        bool clamped;
        unsigned short port;
    };
    const row rows[] = {
        {"99999999999999999999", 10000, true, 0xFFFF}, // saturates at INT_MAX
        {"-99999999999999999999", 100, true, 0},       // INT_MIN: low 16 bits 0
        {"2147483647", 10000, true, 0xFFFF},
        {"-2147483648", 100, true, 0},
        {"  +150ms", 150, false, 150},
        {"70000", 10000, true, 4464},
        {"-1", 100, true, 65535},
        {"", 100, true, 0},
    };
    for (const row &r : rows) {
        bool clamped = false;
        EXPECT_EQ(entry_number_value(r.text, 100, 10000, &clamped), r.value) << r.text;
        EXPECT_EQ(clamped, r.clamped) << r.text;
        EXPECT_EQ(entry_port_value(r.text), r.port) << r.text;
    }
}

} // namespace
