// The AT exchange over the serial layer, against a scripted device on a
// pseudo-terminal: command-mode entry, queries, set commands, echo test.
#include "module_at.h"
#include "pccom.h"
#include "pty_pair.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <thread>

namespace
{

using clk = std::chrono::steady_clock;

class AtExchange : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.ok());
        testing::internal::CaptureStdout();
        strPCCom.fd = CommOpen(pty.slave_path().c_str(), 57600, 8, 0, 0, 0);
        testing::internal::GetCapturedStdout();
        ASSERT_GT(strPCCom.fd, 0) << serial_last_error();
    }
    void TearDown() override
    {
        peer.reset();
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
    }

    void play(std::vector<peer_step> steps)
    {
        peer = std::make_unique<scripted_peer>(pty, std::move(steps));
    }
    // What the device received, once `n` bytes are there (or a second passed).
    std::string sent(size_t n)
    {
        for (auto start = clk::now(); peer->received().size() < n && ms_since(start) < 1000;)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return peer->received();
    }
    // Bytes the device sent that the tool has not read.
    int unread()
    {
        int queued = -1;
        ioctl(strPCCom.fd, FIONREAD, &queued);
        return queued;
    }

    pty_pair pty;
    std::unique_ptr<scripted_peer> peer;
};

// ---------------------------------------------------------------------------
// Command-mode entry

TEST_F(AtExchange, ProbeAnsweredConnectsAtOnce)
{
    const struct {
        const char *what;
        const char *reply;
    } cases[] = {{"command mode, echo on", "AT+\r\n+ok\r\n\r\n"},
                 {"command mode, echo off", "+ok\r\n\r\n"}};
    for (const auto &c : cases) {
        play({{"AT+\n", c.reply}});
        testing::internal::CaptureStdout();
        const int r = connect_to_module();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, 1) << c.what;
        EXPECT_EQ(out, "Connect to Module......OK!\n") << c.what;
        EXPECT_EQ(sent(4), "AT+\n") << c.what << ": sent more than one probe";
        peer.reset();
    }
}

TEST_F(AtExchange, SecondProbeAnswered)
{
    play({{"AT+\n", ""}, {"AT+\n", "+ok\r\n\r\n"}});
    testing::internal::CaptureStdout();
    const auto start = clk::now();
    const int r = connect_to_module();
    const long took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "Connect to Module.........OK!\n");
    EXPECT_EQ(sent(8), "AT+\nAT+\n");
    EXPECT_GE(took, 1195) << "the first probe's read did not wait 200 + 50 x 20 ms";
}

TEST_F(AtExchange, TransparentModuleThroughTheHandshake)
{
    play({{"AT+\n", ""}, {"AT+\n", ""}, {"+++", "a"}, {"a", "+ok\r\n\r\n"}});
    testing::internal::CaptureStdout();
    const int r = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "Connect to Module.........OK!\n");
    EXPECT_EQ(sent(12), "AT+\nAT+\n+++a");
}

TEST_F(AtExchange, HandshakeNeedsExactlySevenBytesOfOk)
{
    const struct {
        const char *reply;
        int expected;
    } cases[] = {
        {"+ok\r\n\r\n", 1}, {"+ok\r\n", 0}, {"+ok\r\n\r\n\r\n", 0}, {"+ERR\r\n\r", 0}, {"", 0}};
    for (const auto &c : cases) {
        play({{"+++", "a"}, {"a", c.reply}});
        EXPECT_EQ(trying_to_onnect(strPCCom.fd), c.expected) << c.reply;
        // A module that took "a" without a whole "+ok" may sit in command
        // mode: it is sent back to transparent mode.
        const std::string wire = c.expected ? "+++a" : "+++aAT+ENTM\n";
        EXPECT_EQ(sent(wire.size()), wire) << c.reply;
        peer.reset();
    }
}

TEST_F(AtExchange, HandshakeEndsOnAnythingButA)
{
    play({{"+++", "x+ok\r\n"}});
    EXPECT_EQ(trying_to_onnect(strPCCom.fd), 0);
    EXPECT_EQ(sent(3), "+++") << "answered a handshake that was not offered";
}

TEST_F(AtExchange, SilentModuleFailsAfterThreeHandshakes)
{
    play({});
    testing::internal::CaptureStdout();
    const auto start = clk::now();
    const int r = connect_to_module();
    const long took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Connect to Module.........Fialed!\n");
    EXPECT_EQ(sent(17), "AT+\nAT+\n+++++++++");
    // Two 1200 ms probe reads, a 450 ms drain, three 450 ms reads each
    // followed by a 1000 ms pause.
    EXPECT_GE(took, 2 * 1200 + 450 + 3 * 1450 - 10);
    EXPECT_LE(took, 2 * 1200 + 450 + 3 * 1450 + 500);
}

TEST_F(AtExchange, DrainEmptiesTheLineButNotForever)
{
    ASSERT_TRUE(pty.send("stale reply bytes"));
    EXPECT_EQ(uart_read2clean(strPCCom.fd, 0), 1);
    EXPECT_EQ(unread(), 0);

    // A module streaming data without end: the drain gives up.
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        while (!stop) {
            pty.send("data data data ");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const auto start = clk::now();
    const int r = uart_read2clean(strPCCom.fd, 0);
    const long took = ms_since(start);
    stop = true;
    stream.join();
    EXPECT_EQ(r, 0);
    EXPECT_LT(took, 2000);

    pty.close_master();
    EXPECT_EQ(uart_read2clean(strPCCom.fd, 0), 0) << "a failed read is not a clean line";
}

TEST_F(AtExchange, HandshakeFailsOnADeadPort)
{
    pty.close_master();
    testing::internal::CaptureStdout();
    const auto start = clk::now();
    EXPECT_EQ(trying_to_onnect(strPCCom.fd), 0);
    EXPECT_EQ(uart_write_wait(strPCCom.fd, "a", 1, 1), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_LT(ms_since(start), 500) << "paused after a failed write";
}

// ---------------------------------------------------------------------------
// Queries

TEST_F(AtExchange, QueryValues)
{
    const std::string v92(92, 'v');
    const struct {
        const char *what;
        std::string reply;
        std::string value;
    } cases[] = {
        {"plain", "+ok=AP\r\n\r\n", "AP"},
        {"list", "+ok=TCP,Server,8899,10.10.100.100\r\n\r\n", "TCP,Server,8899,10.10.100.100"},
        {"nine bytes", "+ok=A\r\n\r\n", "A"},
        {"eight bytes", "+ok=\r\n\r\n", ""},
        {"seven bytes", "+ok\r\n\r\n", ""},
        {"only +ok", "+ok", ""},
        {"longest value", "+ok=" + v92 + "\r\n\r\n", v92},
        // One read takes 100 bytes: the value is cut, never overflows.
        {"reply past one read", "+ok=" + std::string(150, 'v') + "\r\n\r\n", v92},
    };
    for (const auto &c : cases) {
        play({{"AT+WMODE\n", c.reply}});
        char ret[200];
        std::memset(ret, '#', sizeof ret);
        EXPECT_EQ(at_send_cmd_get(serial_link, "AT+WMODE", ret), 1) << c.what;
        EXPECT_EQ(std::string(ret), c.value) << c.what;
        for (size_t i = AT_VALUE_MAX + 1; i < sizeof ret; i++)
            ASSERT_EQ(ret[i], '#') << c.what << ": wrote past the value's room at " << i;
        EXPECT_EQ(sent(9), "AT+WMODE\n") << c.what;
        peer.reset();
        tcflush(strPCCom.fd, TCIFLUSH);
    }
}

TEST_F(AtExchange, QueryRetriesUntilAReplyBeginsOk)
{
    // "ERR" is dropped; the real reply comes during the next read.
    play({{"AT+VER\n", "ERR\r\n"}, {"", "+ok=1.0.4\r\n\r\n", 500}});
    char ret[AT_VALUE_MAX + 1];
    EXPECT_EQ(at_send_cmd_get(serial_link, "AT+VER", ret), 1);
    EXPECT_STREQ(ret, "1.0.4");
}

TEST_F(AtExchange, QueryGivesUpAfterFortyReadsAndLeavesTheBufferAlone)
{
    // 40 reads of 100 junk bytes, 200 ms apart; 50 bytes more stay unread.
    play({{"AT+MID\n", std::string(4050, 'x')}});
    char ret[AT_VALUE_MAX + 1] = "untouched";
    const auto start = clk::now();
    EXPECT_EQ(at_send_cmd_get(serial_link, "AT+MID", ret), 0);
    EXPECT_GE(ms_since(start), 40 * 200 - 10);
    EXPECT_STREQ(ret, "untouched");
    EXPECT_EQ(unread(), 50);
}

// ---------------------------------------------------------------------------
// Set commands and the echo test

TEST_F(AtExchange, SetAcknowledged)
{
    play({{"AT+WMODE=STA\n", "+ok\r\n\r\n"}});
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+WMODE=STA"), 1);
    EXPECT_EQ(sent(13), "AT+WMODE=STA\n");
}

TEST_F(AtExchange, SetEchoedAsATEReadsTheRestOfTheReply)
{
    // 13 bytes: the first read takes 10, the extra read the other 3.
    play({{"AT+E\n", "AT+E\r\n+ok\r\n\r\n"}});
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+E"), 1);
    EXPECT_EQ(unread(), 0) << "the rest of the echoed reply was left on the line";
}

TEST_F(AtExchange, SetAnsweredWithJunkIsTriedFortyTimes)
{
    // 40 reads of 10 bytes, 200 ms apart; 50 bytes more stay unread. The
    // text begins "AT+E": only a reply beginning so is an acknowledgement.
    play({{"AT+E\n", std::string(450, 'x')}});
    const auto start = clk::now();
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+E"), 0);
    EXPECT_GE(ms_since(start), 40 * 200 - 10);
    EXPECT_EQ(unread(), 50);
}

TEST_F(AtExchange, LongCommandGoesOutWhole)
{
    std::string cmd = "AT+WSKEY=WPA2PSK,AES,";
    while (cmd.size() < 150)
        cmd += static_cast<char>('a' + cmd.size() % 26);
    play({{cmd + "\n", "+ok\r\n\r\n"}});
    EXPECT_EQ(at_send_cmd_set(serial_link, cmd.c_str()), 1);
    EXPECT_EQ(sent(151), cmd + "\n");

    play({{cmd + "\n", "+ok=x\r\n\r\n"}});
    char ret[AT_VALUE_MAX + 1];
    EXPECT_EQ(at_send_cmd_get(serial_link, cmd.c_str(), ret), 1);
    EXPECT_STREQ(ret, "x");
}

TEST_F(AtExchange, EchoDetection)
{
    const struct {
        const char *reply;
        int expected;
    } cases[] = {{"AT+\r\n+ok\r\n\r\n", 1}, {"+ok\r\n\r\n", 0}, {"", 0}};
    for (const auto &c : cases) {
        play({{"AT+\n", c.reply}});
        EXPECT_EQ(at_echo(serial_link), c.expected) << c.reply;
        EXPECT_EQ(sent(4), "AT+\n");
        peer.reset();
    }
}

// ---------------------------------------------------------------------------
// Both modes: without fast exchange, and with it (reads end on a complete
// reply, a short first-byte wait, short pauses). What the module is told
// and what is taken from its replies must not depend on the mode.

class AtExchangeModes : public AtExchange, public ::testing::WithParamInterface<bool>
{
  protected:
    void SetUp() override
    {
        AtExchange::SetUp();
        at_set_fast(GetParam());
    }
    void TearDown() override
    {
        at_set_fast(false);
        AtExchange::TearDown();
    }
    static const char *mode() { return GetParam() ? " (fast)" : " (default)"; }
};

INSTANTIATE_TEST_SUITE_P(DefaultAndFast, AtExchangeModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "fast" : "default";
                         });

// Replies in pieces with gaps shorter than the 200 ms a read waits for the
// next byte, without their line ends, or only after 300 ms (a later try
// takes them): each still gives its value or acknowledgement.
TEST_P(AtExchangeModes, AwkwardRepliesAreStillTaken)
{
    const struct {
        const char *what;
        std::vector<peer_step> get, set;
    } cases[] = {
        {"in pieces",
         {{"AT+NETP\n", "+ok="}, {"", "TCP,Ser", 60}, {"", "ver,8899\r\n", 60}, {"", "\r\n", 60}},
         {{"AT+MAXSK=7\n", "+o"}, {"", "k\r", 60}, {"", "\n\r\n", 60}}},
        {"no line ends", {{"AT+NETP\n", "+ok=TCP,Server,8899"}}, {{"AT+MAXSK=7\n", "+ok"}}},
        {"after 300 ms",
         {{"AT+NETP\n", "+ok=TCP,Server,8899\r\n\r\n", 300}},
         {{"AT+MAXSK=7\n", "+ok\r\n\r\n", 300}}},
    };
    for (const auto &c : cases) {
        play(c.get);
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(at_send_cmd_get(serial_link, "AT+NETP", ret), 1) << c.what << mode();
        EXPECT_STREQ(ret, "TCP,Server,8899") << c.what << mode();
        EXPECT_TRUE(peer->wait_steps(c.get.size(), 2000)) << c.what << mode();
        play(c.set);
        EXPECT_EQ(at_send_cmd_set(serial_link, "AT+MAXSK=7"), 1) << c.what << mode();
        EXPECT_TRUE(peer->wait_steps(c.set.size(), 2000)) << c.what << mode();
        peer.reset();
        tcflush(strPCCom.fd, TCIFLUSH);
    }
}

// An answer 500 ms late to a frame that gets one read only (the echo test,
// the rest after an "AT+E" echo) is still that frame's: left on the line,
// the next query took it for its own reply, and every query after it the
// reply of the one before.
TEST_P(AtExchangeModes, LateAnswersStayWithTheirOwnFrames)
{
    const struct {
        const char *what;
        std::vector<peer_step> steps;
        std::function<int()> run;
        int expected;
    } cases[] = {
        {"echo test", {{"AT+\n", "+ok\r\n\r\n", 500}}, [] { return at_echo(serial_link); }, 0},
        {"AT+E",
         {{"AT+E\n", "AT+E\r\n"}, {"", "+ok\r\n\r\n", 500}},
         [] { return at_send_cmd_set(serial_link, "AT+E"); },
         1},
    };
    for (const auto &c : cases) {
        std::vector<peer_step> steps = c.steps;
        steps.push_back({"AT+WMODE\n", "+ok=AP\r\n\r\n"});
        play(steps);
        EXPECT_EQ(c.run(), c.expected) << c.what << mode();
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(at_send_cmd_get(serial_link, "AT+WMODE", ret), 1) << c.what << mode();
        EXPECT_STREQ(ret, "AP") << c.what << mode();
        peer.reset();
        tcflush(strPCCom.fd, TCIFLUSH);
    }
}

// A module with echo on repeats the command, and its line end, before the
// reply; the exchange skips that echo whatever line end it has, whether
// the reply follows at once or later.
TEST_P(AtExchangeModes, EchoOfTheCommandIsSkipped)
{
    const struct {
        const char *what;
        std::vector<peer_step> steps;
    } cases[] = {
        {"CR LF", {{"AT+WMODE\n", "AT+WMODE\r\n+ok=AP\r\n\r\n"}}},
        {"CR", {{"AT+WMODE\n", "AT+WMODE\r+ok=AP\r\n\r\n"}}},
        {"LF", {{"AT+WMODE\n", "AT+WMODE\n+ok=AP\r\n\r\n"}}},
        {"reply 300 ms later", {{"AT+WMODE\n", "AT+WMODE\r\n"}, {"", "+ok=AP\r\n\r\n", 300}}},
    };
    for (const auto &c : cases) {
        play(c.steps);
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(at_send_cmd_get(serial_link, "AT+WMODE", ret), 1) << c.what << mode();
        EXPECT_STREQ(ret, "AP") << c.what << mode();
        peer.reset();
        tcflush(strPCCom.fd, TCIFLUSH);
    }
    // A set command's echo is longer than its 10-byte reads; the rest of
    // the reply is read off the line.
    play({{"AT+WAP=11N,Shop,CH6\n", "AT+WAP=11N,Shop,CH6\r\n+ok\r\n\r\n"}});
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+WAP=11N,Shop,CH6"), 1) << mode();
    EXPECT_EQ(unread(), 0) << mode();
}

// Fast exchange only where the default has its own tests above.
class AtExchangeFast : public AtExchange
{
  protected:
    void SetUp() override
    {
        AtExchange::SetUp();
        at_set_fast(true);
    }
    void TearDown() override
    {
        at_set_fast(false);
        AtExchange::TearDown();
    }
};

// A module is called absent only after the default timing did not reach it
// either: the fast entry, then the whole entry once more at the default
// timing (at least its two 1200 ms probe reads and three 1000 ms pauses).
TEST_F(AtExchangeFast, SilentModuleFailsAfterThreeHandshakesAtEachTiming)
{
    play({});
    testing::internal::CaptureStdout();
    const auto start = clk::now();
    const int r = connect_to_module();
    const long took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Connect to Module...............Fialed!\n");
    EXPECT_EQ(sent(34), "AT+\nAT+\n+++++++++AT+\nAT+\n+++++++++");
    EXPECT_GE(took, 2 * 1200 + 3 * 1000);
}

// Both probes answered 300 ms late, past the guard before "+++": the first
// answer comes as the handshake's reply and tells a module in command mode;
// the second answer is read off and the handshake finished before the
// next command, which takes its own reply.
TEST_F(AtExchangeFast, LateProbeAnswersStayWithTheirProbes)
{
    play({{"AT+\n", "+ok\r\n\r\n", 300},
          {"AT+\n", "+ok\r\n\r\n", 300},
          {"+++", "a"},
          {"a", "+ok\r\n\r\n"},
          {"AT+WMODE\n", "+ok=AP\r\n\r\n"}});
    testing::internal::CaptureStdout();
    const int r = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "Connect to Module.........OK!\n");
    char ret[AT_VALUE_MAX + 1] = "";
    EXPECT_EQ(at_send_cmd_get(serial_link, "AT+WMODE", ret), 1);
    EXPECT_STREQ(ret, "AP");
}

// A silent query is still waiting after its 40 fast tries (each a
// first-byte wait and a pause): fast never gives up sooner than the
// default would (40 x 5.4 s). Once the line hangs up it fails at once,
// having sent its frame once.
TEST_F(AtExchangeFast, SilentQueryWaitsOutTheDefaultsBudget)
{
    play({});
    char ret[AT_VALUE_MAX + 1] = "untouched";
    auto query = std::async(std::launch::async,
                            [&] { return at_send_cmd_get(serial_link, "AT+WMODE", ret); });
    EXPECT_EQ(sent(9), "AT+WMODE\n");
    const long tries = AT_REPLY_TRIES * (AT_FAST_FIRST_BYTE_MS + AT_FAST_REPLY_PAUSE_MS);
    EXPECT_EQ(query.wait_for(std::chrono::milliseconds(tries + 1000)), std::future_status::timeout);
    peer.reset();
    pty.close_master();
    ASSERT_EQ(query.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(query.get(), 0);
    EXPECT_STREQ(ret, "untouched");
}

TEST_F(AtExchange, FailedWriteEndsEveryOperationAtOnce)
{
    pty.close_master();
    char ret[AT_VALUE_MAX + 1] = "untouched";
    testing::internal::CaptureStdout();
    const auto start = clk::now();
    EXPECT_EQ(at_send_cmd_get(serial_link, "AT+WMODE", ret), 0);
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+WMODE=AP"), 0);
    EXPECT_EQ(at_echo(serial_link), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(ms_since(start), 500);
    EXPECT_STREQ(ret, "untouched");
    EXPECT_EQ(out, "uart write failed!\nuart write failed!\nuart write failed!\n");
}

} // namespace
