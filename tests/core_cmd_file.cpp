// Temporary command files of Confirm, saving and applying command files.
#include "cmd_file.h"
#include "module_binding.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The module as these tests see it: every set command is recorded and
// acknowledged unless `module_acks` says otherwise.
static std::vector<std::string> sent;
static bool module_acks = true;
static int recorded_set(const char *cmd)
{
    sent.push_back(cmd);
    return module_acks ? 1 : 0;
}
static const module_binding binding(nullptr, recorded_set, nullptr);

namespace {

using namespace std::string_literals;

void add_entry(int type, const char *cmd, std::vector<const char *> args)
{
    STRCOMMAND &e = cmd_table(type)[(*cmd_count(type))++];
    text_set(e.cmd, cmd);
    e.value_num = static_cast<int>(args.size());
    for (size_t i = 0; i < args.size(); i++)
        text_set(e.value[i], args[i]);
}

class CommandFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        sent.clear();
        module_acks = true;
        cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
        mkdir("data", 0755);
    }
    temp_cwd dir;
};

TEST_F(CommandFiles, ConfirmWritesCommandsWithCrLfThenE)
{
    add_entry(CMDTYPE_MOD, "WMODE", {"STA"});
    add_entry(CMDTYPE_MOD, "WAKEY", {"WPA2PSK", "AES", "12345678"});
    testing::internal::CaptureStdout();
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_MOD), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"),
              "AT+WMODE=STA\r\nAT+WAKEY=WPA2PSK,AES,12345678\r\nE");
    EXPECT_EQ(sent, (std::vector<std::string>{"AT+WMODE=STA", "AT+WAKEY=WPA2PSK,AES,12345678"}));
    EXPECT_EQ(cmd_num_mod, 0);
    EXPECT_EQ(out, "\n------------Start to send Command------------\n"
                   "Send CMD: AT+WMODE=STA\n"
                   "Send CMD: AT+WAKEY=WPA2PSK,AES,12345678\n"
                   "-----------------Finished-----------------\n\n");
}

// A module text holding a control byte (a CR in the SSID the module
// reported) would split the frame when only the channel changed: that
// command is neither sent nor recorded, its bytes not printed; the others
// go on.
TEST_F(CommandFiles, ConfirmSkipsACommandHoldingControlBytes)
{
    add_entry(CMDTYPE_AP, "WAP", {"11BGN", "ab\rAT+RELD", "CH6"});
    add_entry(CMDTYPE_AP, "LANN", {"10.0.0.1", "255.0.0.0"});
    testing::internal::CaptureStdout();
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_AP), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent, std::vector<std::string>{"AT+LANN=10.0.0.1,255.0.0.0"});
    EXPECT_EQ(read_file("cmd_ap_tmp.txt"), "AT+LANN=10.0.0.1,255.0.0.0\r\nE");
    EXPECT_EQ(out, "\n------------Start to send Command------------\n"
                   "Not sent, the command holds control bytes: AT+WAP\n"
                   "Send CMD: AT+LANN=10.0.0.1,255.0.0.0\n"
                   "-----------------Finished-----------------\n\n");
    EXPECT_EQ(cmd_num_ap, 0);
}

TEST_F(CommandFiles, ConfirmEmptyTableAndReplacement)
{
    write_file("cmd_ap_tmp.txt", "AT+WAP=11BGN,x,Auto\r\nE");
    add_entry(CMDTYPE_MOD, "TMODE", {"Through"});
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_MOD), 1);
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_MOD), 1); // now empty
    EXPECT_EQ(read_file("cmd_mana_tmp.txt"), "E");
    EXPECT_EQ(read_file("cmd_ap_tmp.txt"), "AT+WAP=11BGN,x,Auto\r\nE"); // other page untouched
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(CommandFiles, UnacknowledgedCommandIsReportedAndStillRecorded)
{
    module_acks = false;
    add_entry(CMDTYPE_STA, "WSSSID", {"home"});
    testing::internal::CaptureStdout();
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_STA), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Not acknowledged by the module: AT+WSSSID=home"), std::string::npos);
    EXPECT_EQ(read_file("cmd_sta_tmp.txt"), "AT+WSSSID=home\r\nE");
}

TEST_F(CommandFiles, ConfirmThatCannotWriteSendsNothingAndKeepsTable)
{
    add_entry(CMDTYPE_COMM, "MAXSK", {"5"});
    // A directory where the file is written makes the open fail, also for
    // root, who writes into read-only directories.
    mkdir("cmd_comm_tmp.txt.new", 0755);
    testing::internal::CaptureStdout();
    EXPECT_EQ(confirm_pending_commands(CMDTYPE_COMM), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Can not open file: cmd_comm_tmp.txt\n");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(cmd_num_comm, 1);
}

TEST_F(CommandFiles, SaveJoinsTemporaryFilesInPageOrder)
{
    // The AP page confirmed now; the management file is left from earlier.
    write_file("cmd_ap_tmp.txt", "AT+WAP=11BGN,net,CH6\r\nAT+LANN=10.0.0.1,255.0.0.0\r\nE");
    write_file("cmd_mana_tmp.txt", "AT+WMODE=AP\r\nE");
    write_file("cmd_sta_tmp.txt", "E");
    ASSERT_EQ(save_command_file("set_file.txt"), 1);
    EXPECT_EQ(read_file("data/set_file.txt"),
              "AT+WMODE=AP\r\nAT+WAP=11BGN,net,CH6\r\nAT+LANN=10.0.0.1,255.0.0.0\r\nE\r\n");
    // Nothing confirmed at all still gives a valid, empty command file.
    unlink("cmd_ap_tmp.txt");
    unlink("cmd_mana_tmp.txt");
    ASSERT_EQ(save_command_file("a_rather_long_file_name.txt"), 1);
    EXPECT_EQ(read_file("data/a_rather_long_file_name.txt"), "E\r\n");
}

TEST_F(CommandFiles, FailedSaveLeavesOldCommandFile)
{
    write_file("data/keep.txt", "AT+WMODE=STA\r\nE\r\n");
    write_file("cmd_mana_tmp.txt", "AT+WMODE=AP\r\nE");
    // A directory where the new file would go makes the write fail, as a
    // full disk would, also for root.
    mkdir("data/keep.txt.new", 0755);
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_command_file("keep.txt"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can not open file: data/keep.txt\n");
    EXPECT_EQ(read_file("data/keep.txt"), "AT+WMODE=STA\r\nE\r\n");
    // No data/ directory at all: a clear line, nothing created.
    rmdir("data/keep.txt.new");
    unlink("data/keep.txt");
    rmdir("data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_command_file("x.txt"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can not open file: data/x.txt\n");
}

struct apply_case {
    const char *what;
    std::string file;
    std::vector<std::string> expected;
};

class ApplyFile : public CommandFiles, public ::testing::WithParamInterface<apply_case> {};

TEST_P(ApplyFile, SendsLinesUpToTheEnd)
{
    const apply_case &c = GetParam();
    write_file("data/set_file.txt", c.file);
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_command_file("set_file.txt"), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent, c.expected) << c.what;
    EXPECT_EQ(out.rfind("\n------------Start to send Command------------\n", 0), 0u) << c.what;
    EXPECT_NE(out.find("-----------------Finished-----------------\n\n"), std::string::npos);
    for (const auto &cmd : c.expected)
        EXPECT_NE(out.find("Send Command: " + cmd + "\n"), std::string::npos) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ApplyFile,
    ::testing::Values(
        apply_case{"terminator first", "E\r\nAT+WMODE=AP\r\n", {}},
        apply_case{"CR LF lines sent without CR", "AT+WMODE=AP\r\nAT+TMODE=Through\r\nE\r\n",
                   {"AT+WMODE=AP", "AT+TMODE=Through"}},
        apply_case{"LF lines", "AT+WMODE=AP\nE\n", {"AT+WMODE=AP"}},
        apply_case{"empty line stops", "AT+WMODE=AP\r\n\r\nAT+TMODE=Through\r\nE\r\n",
                   {"AT+WMODE=AP"}},
        apply_case{"no terminator, no final line end", "AT+WMODE=AP\r\nAT+MAXSK=5",
                   {"AT+WMODE=AP", "AT+MAXSK=5"}},
        apply_case{"line beginning with E stops", "AT+WMODE=AP\r\nEND of list\r\nAT+MAXSK=5\r\n",
                   {"AT+WMODE=AP"}},
        apply_case{"non-AT line sent unchanged", "hello module\r\nE", {"hello module"}},
        apply_case{"long line sent whole", "AT+NETP=TCP,Client,80," + std::string(500, 'h') + "\r\nE",
                   {"AT+NETP=TCP,Client,80," + std::string(500, 'h')}},
        // What Confirm sent for a GB18030 SSID when only the channel changed,
        // and a Latin-1 one: neither is UTF-8, both go out as they are.
        apply_case{"module texts in any character set",
                   "AT+WAP=11BGN,\xd6\xd0\xce\xc4,CH6\r\nAT+WSSSID=Caf\xe9\r\nE\r\n",
                   {"AT+WAP=11BGN,\xd6\xd0\xce\xc4,CH6", "AT+WSSSID=Caf\xe9"}},
        // Notepad starts a file with a byte-order mark: it is no command.
        // Only as the file's first three bytes, and only once.
        apply_case{"byte-order mark dropped", "\xef\xbb\xbf" "AT+WMODE=AP\r\nAT+MAXSK=5\r\nE\r\n",
                   {"AT+WMODE=AP", "AT+MAXSK=5"}},
        apply_case{"byte-order mark only at the start",
                   "\xef\xbb\xbf\xef\xbb\xbf" "AT+A\r\nAT+B=\xef\xbb\xbf\r\nE",
                   {"\xef\xbb\xbf" "AT+A", "AT+B=\xef\xbb\xbf"}},
        apply_case{"byte-order mark before the end line", "\xef\xbb\xbf" "E\r\nAT+A\r\n", {}},
        apply_case{"control bytes and zero bytes are not sent",
                   "AT+WSSSID=a\001b\r\nAT+WSKEY=x\ry\r\nAT+MAXSK=5\tx\r\nAT+W\0\r\nE"s,
                   {"AT+MAXSK=5\tx"}}));

// Where the sent lines end, for a face that refuses what an apply would
// leave unsent: the lines after an empty line, up to the end line.
TEST_F(CommandFiles, ReadLinesTellsWhereAndWhyTheyEnded)
{
    struct row {
        const char *what;
        std::string file;
        size_t lines;
        cmd_file_end end;
    } rows[] = {
        {"end line", "AT+A\r\nE\r\nAT+B\r\n", 1, {2, false, 0, 2, 1}},
        {"file's end", "AT+A\r\nAT+B", 2, {0, false, 0, 0, 0}},
        {"empty line, then lines",
         "AT+A\r\n\r\nAT+B\r\n\r\nAT+C\r\nE\r\nAT+D\r\n",
         1,
         {2, true, 2, 6, 1}},
        {"empty lines at the end only", "AT+A\r\n\r\n\r\n", 1, {2, true, 0, 0, 0}},
        {"empty line before the end line", "AT+A\n\nE\n", 1, {2, true, 0, 3, 0}},
        {"after a byte-order mark", "\xef\xbb\xbf\r\nAT+A\r\n", 0, {1, true, 1, 0, 0}},
        {"two files joined", "AT+A\r\nE\r\n\r\nAT+B\r\nE\r\n", 1, {2, false, 0, 2, 2}},
        {"empty lines after the end line", "AT+A\r\nE\r\n\r\n\n", 1, {2, false, 0, 2, 0}},
    };
    for (const auto &r : rows) {
        write_file("f.txt", r.file);
        std::vector<std::string> lines;
        cmd_file_end end;
        ASSERT_TRUE(cmd_file_read_lines("f.txt", lines, &end)) << r.what;
        EXPECT_EQ(lines.size(), r.lines) << r.what;
        EXPECT_EQ(end.line, r.end.line) << r.what;
        EXPECT_EQ(end.empty, r.end.empty) << r.what;
        EXPECT_EQ(end.following, r.end.following) << r.what;
        EXPECT_EQ(end.end_mark, r.end.end_mark) << r.what;
        EXPECT_EQ(end.after_mark, r.end.after_mark) << r.what;
    }
}

// Command files and Confirm's temporary files hold Wi-Fi keys: new ones
// are the user's alone; one the user gave another mode keeps it.
TEST_F(CommandFiles, FilesHoldingKeysAreTheUsersAlone)
{
    const mode_t old_mask = umask(0022);
    add_entry(CMDTYPE_STA, "WSKEY", {"WPA2PSK", "AES", "secret123"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(confirm_pending_commands(CMDTYPE_STA), 1);
    EXPECT_EQ(save_command_file("keys.txt"), 1);
    testing::internal::GetCapturedStdout();
    struct stat st;
    ASSERT_EQ(stat("cmd_sta_tmp.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat("data/keys.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod("data/keys.txt", 0644), 0);
    write_file("cmd_sta_tmp.txt.new", ""); // left over, readable by all
    ASSERT_EQ(chmod("cmd_sta_tmp.txt.new", 0666), 0);
    add_entry(CMDTYPE_STA, "WSKEY", {"WPA2PSK", "AES", "other456"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(confirm_pending_commands(CMDTYPE_STA), 1);
    EXPECT_EQ(save_command_file("keys.txt"), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(stat("data/keys.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat("cmd_sta_tmp.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file("data/keys.txt"), "AT+WSKEY=WPA2PSK,AES,other456\r\nE\r\n");
    umask(old_mask);
}

TEST_F(CommandFiles, ApplyOfNoFileSendsNothing)
{
    mkdir("data/sub", 0755);
    // Missing, the empty name (data/ itself), a directory.
    for (const char *name : {"none.txt", "", "sub"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(apply_command_file(name), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("Can not open file: data/") + name + "\n");
    }
    EXPECT_TRUE(sent.empty());
}

// The commands went out, then their record failed (a full disk: the new
// file is /dev/full). The old file held the previous Confirm's commands;
// no save may pass those off as the ones just sent.
TEST_F(CommandFiles, ConfirmWhoseRecordFailsIsNeverSavedAsAnEarlierOne)
{
    add_entry(CMDTYPE_AP, "WAP", {"11BGN", "old", "CH1"});
    ASSERT_EQ(confirm_pending_commands(CMDTYPE_AP), 1);
    write_file("data/set_file.txt", "AT+WMODE=AP\r\nE\r\n");

    ASSERT_EQ(symlink("/dev/full", "cmd_ap_tmp.txt.new"), 0);
    add_entry(CMDTYPE_AP, "WAP", {"11BGN", "new", "CH6"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(confirm_pending_commands(CMDTYPE_AP), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent.back(), "AT+WAP=11BGN,new,CH6");
    EXPECT_NE(out.find("Can not write file: cmd_ap_tmp.txt: No space left on device\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(cmd_num_ap, 0);
    EXPECT_FALSE(file_exists("cmd_ap_tmp.txt")) << "the earlier commands are still there";

    // Still no room: nothing is saved, the old command file stays.
    ASSERT_EQ(symlink("/dev/full", "cmd_ap_tmp.txt.new"), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_command_file("set_file.txt"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Not saved: the commands last confirmed could not be written to cmd_ap_tmp.txt: "
              "No space left on device\n");
    EXPECT_EQ(read_file("data/set_file.txt"), "AT+WMODE=AP\r\nE\r\n");

    // Room again: the save records the page and writes what was sent.
    ASSERT_FALSE(file_exists("cmd_ap_tmp.txt.new"));
    EXPECT_EQ(save_command_file("set_file.txt"), 1);
    EXPECT_EQ(read_file("cmd_ap_tmp.txt"), "AT+WAP=11BGN,new,CH6\r\nE");
    EXPECT_EQ(read_file("data/set_file.txt"), "AT+WAP=11BGN,new,CH6\r\nE\r\n");
}

TEST_F(CommandFiles, ApplyReportsUnacknowledgedLines)
{
    module_acks = false;
    write_file("data/set_file.txt", "AT+WMODE=AP\r\nAT+TMODE=Through\r\nE\r\n");
    testing::internal::CaptureStdout();
    apply_command_file("set_file.txt");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent.size(), 2u); // the apply goes on after a failure
    EXPECT_NE(out.find("Send Command: AT+WMODE=AP\nNot acknowledged by the module: AT+WMODE=AP\n"),
              std::string::npos);
}

} // namespace
