// Inputs the fuzz targets found faults with, kept as cases of the normal
// suite, and the "nothing lost" rule of the file writers: a write that fails
// partway leaves the old file exactly as it was.
#include "cmd_file.h"
#include "entry_rules.h"
#include "main.h"
#include "module.h"
#include "module_binding.h"
#include "temp_dir.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

static std::vector<std::string> sent;
static int recorded_set(const char *cmd)
{
    sent.push_back(cmd);
    return 1;
}
static const module_binding binding(nullptr, recorded_set, nullptr);

namespace
{

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
    const char file[] = "AT+WMODE=AP\r\nAT+WAP=11BGN,a\0b,CH1\r\nAT+MAXSK=5\r\nE\r\n";
    write_file("data/f.txt", std::string(file, sizeof file - 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_command_file("f.txt"), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent, (std::vector<std::string>{"AT+WMODE=AP", "AT+MAXSK=5"}));
    EXPECT_NE(out.find("Not sent, the line holds a zero byte: AT+WAP=11BGN,a\n"),
              std::string::npos);
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

void PrintTo(const cut_case &c, std::ostream *os)
{
    *os << c.what;
}

class TextCut : public ::testing::TestWithParam<cut_case>
{
};

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

// ---------------------------------------------------------------------------
// Nothing lost. Writes past a size limit fail with EFBIG, as on a full disk:
// the new file is left half-written, which is exactly the case where writing
// in place would destroy the old file.

class file_size_limit
{
  public:
    explicit file_size_limit(rlim_t bytes)
    {
        std::fflush(nullptr); // nothing of ours is flushed under the limit
        getrlimit(RLIMIT_FSIZE, &old_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN); // else the process ends
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~file_size_limit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    file_size_limit(const file_size_limit &) = delete;
    file_size_limit &operator=(const file_size_limit &) = delete;

  private:
    rlimit old_;
    void (*old_handler_)(int);
};

class NothingLost : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        mkdir("data", 0755);
        sent.clear();
        cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
    }
    temp_cwd dir;
    // Long enough to pass any limit below.
    const std::string long_line = "AT+NETP=TCP,Client,8899," + std::string(90, 'h') + "\r\n";
};

TEST_F(NothingLost, FailedSaveKeepsCommandFileByteForByte)
{
    const std::string old = "AT+WMODE=STA\r\nAT+WSSSID=Home\r\nE\r\n";
    write_file("data/keep.txt", old);
    write_file("cmd_comm_tmp.txt", long_line + long_line + "E");
    int ret;
    {
        file_size_limit limit(64);
        testing::internal::CaptureStdout();
        ret = save_command_file("keep.txt");
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(out, "Can not open file: data/keep.txt\n");
    EXPECT_EQ(read_file("data/keep.txt"), old);
    EXPECT_FALSE(file_exists("data/keep.txt.new"));

    // Without the limit the same save goes through.
    ASSERT_EQ(save_command_file("keep.txt"), 1);
    EXPECT_EQ(read_file("data/keep.txt"), long_line + long_line + "E\r\n");
}

TEST_F(NothingLost, FailedTemporaryFileNeverPassesOffThePreviousConfirm)
{
    const std::string old = "AT+NETP=TCP,Server,8899,10.10.100.100\r\nE";
    write_file("cmd_comm_tmp.txt", old);
    STRCOMMAND &e = cmd_table(CMDTYPE_COMM)[cmd_num_comm++];
    text_set(e.cmd, "NETP");
    e.value_num = 4;
    text_set(e.value[0], "TCP");
    text_set(e.value[1], "Client");
    text_set(e.value[2], "8899");
    text_set(e.value[3], std::string(90, 'h').c_str());
    int ret;
    {
        // Not captured: the console lines of a Confirm outgrow the limit.
        file_size_limit limit(48);
        ret = confirm_pending_commands(CMDTYPE_COMM);
    }
    // The command went to the module; only its record could not be kept,
    // and the previous one, which is not what was sent, is gone.
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(cmd_num_comm, 0);
    EXPECT_FALSE(file_exists("cmd_comm_tmp.txt"));
    EXPECT_FALSE(file_exists("cmd_comm_tmp.txt.new"));

    // A save once there is room records what was sent.
    ASSERT_EQ(save_command_file("set_file.txt"), 1);
    const std::string sent_line = "AT+NETP=TCP,Client,8899," + std::string(90, 'h') + "\r\n";
    EXPECT_EQ(read_file("cmd_comm_tmp.txt"), sent_line + "E");
    EXPECT_EQ(read_file("data/set_file.txt"), sent_line + "E\r\n");
}

TEST_F(NothingLost, FailedSettingsWriteKeepsOldFile)
{
    write_file("set_para.txt", "1 old.txt");
    int ret;
    {
        file_size_limit limit(4);
        ret = write_setting_para(0, "new_name.txt");
    }
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(read_file("set_para.txt"), "1 old.txt");
    EXPECT_FALSE(file_exists("set_para.txt.new"));
}

} // namespace
