// The module emulator driven with raw bytes over its pty and a loopback TCP
// listener: modes, handshake, queries, set commands, echo, restart, faults.
#include "sim_process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const char ok_reply[] = "+ok\r\n\r\n";

const std::vector<std::string> query_order = {
    "MID",   "WMODE", "TMODE", "WEBU",  "VER",  "UART",   "UARTF",  "UARTFT", "UARTFL", "NETP",
    "MAXSK", "TCPTO", "WAP",   "WAKEY", "LANN", "DHCPGW", "WSSSID", "WSKEY",  "WANN"};

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The PC's end of a byte stream (the pty slave or an accepted socket).
class wire
{
  public:
    explicit wire(int fd) : fd_(fd) {}
    ~wire()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    wire(const wire &) = delete;
    wire &operator=(const wire &) = delete;
    int fd() const { return fd_; }

    void send(const std::string &bytes)
    {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Appends what one read brings within TIMEOUT_MS; false on time-out,
    // end of stream or error (eof_ then tells which).
    bool read_some(std::string &into, long timeout_ms)
    {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(std::max(0L, timeout_ms))) <= 0)
            return false;
        char buf[512];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    // Everything until nothing has come for QUIET_MS (at most TOTAL_MS).
    std::string read_quiet(long quiet_ms, long total_ms = 5000)
    {
        std::string got;
        long end = now_ms() + total_ms;
        while (now_ms() < end && read_some(got, std::min(quiet_ms, end - now_ms()))) {
        }
        return got;
    }
    // Reads until the bytes end with TAIL, or TIMEOUT_MS passed.
    std::string read_until(const std::string &tail, long timeout_ms = 3000)
    {
        std::string got;
        long end = now_ms() + timeout_ms;
        while (!(got.size() >= tail.size() &&
                 got.compare(got.size() - tail.size(), tail.size(), tail) == 0) &&
               read_some(got, end - now_ms())) {
        }
        return got;
    }
    std::string ask(const std::string &frame)
    {
        send(frame);
        return read_until("\r\n\r\n");
    }
    bool eof() const { return eof_; }

  private:
    int fd_;
    bool eof_ = false;
};

int open_raw(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// CPU time the process has used, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

class SimPty : public ::testing::Test
{
  protected:
    void start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--state", state(), "--log", log()});
        ASSERT_TRUE(sim.start_pty(args)) << "emulator did not report its pty";
        line = std::make_unique<wire>(open_raw(sim.pty_path()));
        ASSERT_GE(line->fd(), 0);
    }
    std::string state() const { return dir.path() + "/state"; }
    std::string log() const { return dir.path() + "/log"; }
    std::vector<std::string> log_lines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(read_file(log()));
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
    // "+++" until the module, back from a restart, answers "a"; then "a".
    bool handshake(long timeout_ms = 3000)
    {
        long end = now_ms() + timeout_ms;
        while (now_ms() < end) {
            line->send("+++");
            std::string got = line->read_quiet(100, 1000);
            if (got == "a") {
                line->send("a");
                return line->read_quiet(200) == ok_reply;
            }
            if (!got.empty())
                return false;
        }
        return false;
    }

    temp_cwd dir;
    sim_process sim;
    std::unique_ptr<wire> line;
};

TEST_F(SimPty, TransparentModeAnswersNothingButTheHandshake)
{
    start({});
    line->send("AT+WMODE\n");
    line->send("AT+\n");
    EXPECT_EQ(line->read_quiet(300), "");

    // A prompt answered with anything but "a" goes back to transparent mode.
    line->send("+++");
    EXPECT_EQ(line->read_until("a"), "a");
    line->send("x\nAT+WMODE\n");
    EXPECT_EQ(line->read_quiet(300), "");

    line->send("+++");
    EXPECT_EQ(line->read_until("a"), "a");
    line->send("a");
    // Exactly seven bytes: the tool fails the handshake on any other count.
    EXPECT_EQ(line->read_quiet(300), ok_reply);
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");

    // From command mode too, and a refused prompt leaves command mode.
    line->send("+++");
    EXPECT_EQ(line->read_until("a"), "a");
    line->send("\n");
    EXPECT_EQ(line->ask("AT+TMODE\n"), "+ok=Through\r\n\r\n");

    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{"AT+WMODE\\n", "AT+\\n", "+++", "x\\n", "AT+WMODE\\n",
                                        "+++", "a", "AT+WMODE\\n", "+++", "\\n", "AT+TMODE\\n"}));
}

TEST_F(SimPty, EveryQueryAnswersItsValueInReadOrder)
{
    start({"--mode", "command", "--set", "WMODE=STA", "--set", "WSSSID=my,net"});
    // The state file lists the settings in the order the tool reads them.
    std::vector<std::string> names;
    std::istringstream in(read_file(state()));
    for (std::string l; std::getline(in, l);)
        names.push_back(l.substr(0, l.find('=')));
    EXPECT_EQ(names, query_order);

    auto st = sim_read_state(state());
    EXPECT_EQ(st["WMODE"], "STA");
    EXPECT_EQ(st["WSSSID"], "my,net");
    // Items per value as the tool splits them at commas.
    const std::map<std::string, std::vector<size_t>> items = {
        {"WEBU", {2}},     {"UART", {5}},     {"NETP", {4}}, {"WAP", {3}},
        {"WAKEY", {2, 3}}, {"WSKEY", {2, 3}}, {"LANN", {2}}, {"WANN", {1, 4}}};
    for (const auto &name : query_order) {
        std::string reply = line->ask("AT+" + name + "\n");
        EXPECT_EQ(reply, "+ok=" + st[name] + "\r\n\r\n") << name;
        // The tool takes a reply in one read of 100 bytes.
        EXPECT_LE(reply.size(), 100u) << name;
        auto it = items.find(name);
        if (it != items.end()) {
            size_t n = 1 + std::count(st[name].begin(), st[name].end(), ',');
            EXPECT_NE(std::find(it->second.begin(), it->second.end(), n), it->second.end())
                << name << "=" << st[name];
        }
    }
}

TEST_F(SimPty, ValidSetCommandsApplyAndShowInTheStateFile)
{
    start({"--mode", "command"});
    struct row {
        const char *frame, *name, *stored;
    };
    const row rows[] = {
        {"AT+WMODE=STA\n", "WMODE", "STA"},
        {"AT+TMODE=Agreement\r\n", "TMODE", "Agreement"}, // CR LF accepted
        {"AT+WEBU=root,secret\n", "WEBU", "root,secret"},
        {"AT+UART=115200,7,2,Even,FC\n", "UART", "115200,7,2,Even,FC"},
        {"AT+UARTF=enable\n", "UARTF", "enable"},
        {"AT+UARTFT=10000\n", "UARTFT", "10000"},
        {"AT+UARTFL=16\n", "UARTFL", "16"},
        {"AT+NETP=UDP,Client,1234,my-host.lan\n", "NETP", "UDP,Client,1234,my-host.lan"},
        {"AT+NETP=TCP,Server,65535,192.168.1.20\n", "NETP", "TCP,Server,65535,192.168.1.20"},
        {"AT+MAXSK=1\n", "MAXSK", "1"},
        {"AT+TCPTO=600\n", "TCPTO", "600"},
        {"AT+WAP=11G,Office AP,CH14\n", "WAP", "11G,Office AP,CH14"},
        {"AT+WAKEY=WPA2PSK,AES,12345678\n", "WAKEY", "WPA2PSK,AES,12345678"},
        {"AT+WAKEY=OPEN,WEP-H,73914620\n", "WAKEY", "OPEN,WEP-H,73914620"},
        {"AT+LANN=192.168.001.001,255.255.255.0\n", "LANN", "192.168.1.1,255.255.255.0"},
        {"AT+DHCPGW=192.168.1.254\n", "DHCPGW", "192.168.1.254"},
        {"AT+WSSSID=home,net\n", "WSSSID", "home,net"}, // the STA SSID keeps commas
        {"AT+WSKEY=WPAPSK,TKIPAES,passphrase\n", "WSKEY", "WPAPSK,TKIPAES,passphrase"},
        {"AT+WANN=Static,10.0.0.5,255.255.0.0,10.0.0.1\n", "WANN",
         "Static,10.0.0.5,255.255.0.0,10.0.0.1"},
        {"AT+WANN=DHCP\n", "WANN", "DHCP"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(line->ask(r.frame), ok_reply) << r.frame;
        EXPECT_TRUE(sim_wait_state(state(), r.name, r.stored)) << r.frame;
        EXPECT_EQ(line->ask(std::string("AT+") + r.name + "\n"),
                  std::string("+ok=") + r.stored + "\r\n\r\n");
    }
}

TEST_F(SimPty, MalformedCommandsAreRefusedWithoutChange)
{
    start({"--mode", "command"});
    const std::vector<std::string> frames = {
        "AT+WMODE=ap\n",                                         // texts are case-sensitive
        "AT+WMODE=\n",                                           // no value
        "AT+WEBU=admin\n",                                       // one argument short
        "AT+WEBU=,admin\n",                                      // empty user name
        "AT+UART=115200,8,1,None\n",                             // flow control missing
        "AT+UART=14400,8,1,None,NFC\n",                          // no such baud rate
        "AT+UART=57600,9,1,None,NFC\n",                          // no such data bits
        "AT+UARTFT=99\n",                                        // below range
        "AT+UARTFT=abc\n",                                       // not a number
        "AT+UARTFL=4097\n",                                      // above range
        "AT+MAXSK=0\n",                                          // below range
        "AT+MAXSK=+5\n",                                         // signs are not numbers here
        "AT+TCPTO=601\n",                                        // above range
        "AT+NETP=TCP,Server,70000,1.2.3.4\n",                    // port beyond 16 bits
        "AT+NETP=TCP,Server,0,1.2.3.4\n",                        // port 0
        "AT+NETP=TCP,Server,8899,10.10.100.300\n",               // neither address nor name
        "AT+NETP=TCP,Peer,8899,1.2.3.4\n",                       // no such role
        "AT+WAP=11AC,ssid,Auto\n",                               // no such standard
        "AT+WAP=11BGN,ssid,CH15\n",                              // no such channel
        "AT+WAP=11BGN,,Auto\n",                                  // empty SSID
        "AT+WAP=11BGN,123456789012345678901234567890123,Auto\n", // SSID of 33
        "AT+WAKEY=OPEN,NONE,key12345\n",                         // no key without encryption
        "AT+WAKEY=WPA2PSK,AES\n",                                // key missing
        "AT+WAKEY=WPA2PSK,AES,short\n",                          // WPA key below 8
        "AT+WAKEY=OPEN,AES,12345678\n",                          // AES needs WPA
        "AT+WAKEY=WPA,AES,12345678\n",                           // no such authentication
        "AT+LANN=192.168.1.1\n",                                 // mask missing
        "AT+LANN=192.168.1.1,255.0.255.0\n",                     // not a mask
        "AT+LANN=192.168.1,255.255.255.0\n",                     // three groups
        "AT+DHCPGW=1.2.3.4 \n",                                  // trailing blank
        "AT+WSSSID=\n",                                          // empty SSID
        "AT+WANN=Static,1.2.3.4,255.255.255.0\n",                // gateway missing
        "AT+WANN=DHCP,1.2.3.4,255.255.255.0,1.2.3.1\n",          // DHCP takes no addresses
        "AT+MID=other\n",                                        // query only
        "AT+VER=V2\n",                                           // query only
        "AT+FOO=1\n",                                            // unknown set
        "AT+FOO\n",                                              // unknown query
        "AT+wmode\n",                                            // names are upper case
        "ATWMODE\n",                                             // no "+"
        "hello\n",                                               // not AT
        {"AT+WM\0ODE\n", 10},                                    // zero byte inside a frame
    };
    auto before = sim_read_state(state());
    for (const auto &f : frames) {
        std::string reply = line->ask(f);
        EXPECT_EQ(reply.compare(0, 5, "+ERR="), 0) << f << " -> " << reply;
        EXPECT_TRUE(reply.size() > 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0) << f;
    }
    EXPECT_EQ(sim_read_state(state()), before);

    // A frame longer than the module's buffer is refused as a whole, and
    // the next one is understood again.
    std::string reply = line->ask("AT+WSSSID=" + std::string(1000, 'x') + "\n");
    EXPECT_EQ(reply.compare(0, 5, "+ERR="), 0);
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    EXPECT_EQ(sim_read_state(state()), before);
}

TEST_F(SimPty, EchoRepeatsCommandLinesUntilToggledOff)
{
    start({"--mode", "command", "--echo"});
    EXPECT_EQ(line->ask("AT+\n"), "AT+\r\n+ok\r\n\r\n");
    EXPECT_EQ(line->ask("AT+E\n"), "AT+E\r\n+ok\r\n\r\n");
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    EXPECT_EQ(line->ask("AT+E\n"), ok_reply);
    EXPECT_EQ(line->ask("AT+TMODE\n"), "AT+TMODE\r\n+ok=Through\r\n\r\n");
}

TEST_F(SimPty, CountsTallyTheRunsBytesAndRepliesButNoEcho)
{
    start({"--echo", "--counts", "counts"});
    std::string from_tool, got;
    auto send = [&](const std::string &bytes) {
        from_tool += bytes;
        line->send(bytes);
    };
    send("AT+\n"); // transparent mode: received, not answered
    EXPECT_EQ(line->read_quiet(300), "");
    send("+++");
    got += line->read_until("a");
    send("a");
    got += line->read_until(ok_reply);
    send("AT+WMODE\n");
    got += line->read_until("\r\n\r\n");
    EXPECT_EQ(got, std::string("a") + ok_reply + "AT+WMODE\r\n+ok=AP\r\n\r\n");
    line.reset();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(read_file("counts"), "received=" + std::to_string(from_tool.size()) +
                                       "\nsent=" + std::to_string(got.size()) + "\nreplies=3\n");
}

TEST_F(SimPty, EntmReturnsToTransparentMode)
{
    start({"--mode", "command"});
    EXPECT_EQ(line->ask("AT+ENTM\n"), ok_reply);
    line->send("AT+WMODE\n");
    EXPECT_EQ(line->read_quiet(300), "");
    ASSERT_TRUE(handshake());
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
}

TEST_F(SimPty, RestartKeepsSettingsAndFactoryResetRestoresThem)
{
    start({"--mode", "command", "--set", "MAXSK=5"});
    EXPECT_EQ(line->ask("AT+WMODE=STA\n"), ok_reply);
    EXPECT_EQ(line->ask("AT+Z\n"), ok_reply);
    // Back from the restart in transparent mode, settings kept.
    ASSERT_TRUE(handshake());
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=STA\r\n\r\n");

    EXPECT_EQ(line->ask("AT+RELD\n"), ok_reply);
    auto st = sim_read_state(state());
    EXPECT_EQ(st["WMODE"], "AP");
    EXPECT_EQ(st["MAXSK"], "32"); // the factory value, not the start override
    ASSERT_TRUE(handshake());
    EXPECT_EQ(line->ask("AT+MAXSK\n"), "+ok=32\r\n\r\n");
}

TEST_F(SimPty, KeepAliveZeroByteStartsNoCommand)
{
    start({"--mode", "command"});
    EXPECT_EQ(line->ask(std::string("AT+W\n\0", 6)), ok_reply);
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    // The zero byte may also come in a read of its own.
    line->send(std::string("AT+W\n", 5));
    EXPECT_EQ(line->read_until("\r\n\r\n"), ok_reply);
    line->send(std::string(1, '\0'));
    EXPECT_EQ(line->ask("AT+TMODE\n"), "+ok=Through\r\n\r\n");
    auto lines = log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "AT+W\\n\\x00");
    EXPECT_EQ(lines[1], "AT+WMODE\\n");
}

TEST_F(SimPty, DropAfterClosesThePtyAfterThatManyCommands)
{
    start({"--mode", "command", "--drop-after", "2"});
    EXPECT_EQ(line->ask("AT+MID\n"), "+ok=QX-B27\r\n\r\n");
    EXPECT_EQ(line->ask(std::string("AT+W\n\0", 6)), ok_reply); // not counted
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    EXPECT_EQ(sim.wait_exit(3000), 0);
    std::string rest;
    EXPECT_FALSE(line->read_some(rest, 1000));
    EXPECT_TRUE(line->eof());
}

TEST_F(SimPty, SlaveClosedAndReopenedKeepsModeWithoutSpinning)
{
    start({});
    ASSERT_TRUE(handshake());
    line.reset();
    long before = cpu_ticks(sim.pid());
    long t0 = now_ms();
    while (now_ms() - t0 < 600)
        usleep(50 * 1000);
    // A loop polling the hung-up master would burn the whole 600 ms.
    EXPECT_LT(cpu_ticks(sim.pid()) - before, 15);
    line = std::make_unique<wire>(open_raw(sim.pty_path()));
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
}

TEST_F(SimPty, SurvivesRandomBytes)
{
    start({"--mode", "command"});
    unsigned seed = 12345;
    std::string junk;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245u + 12345u;
        char c = static_cast<char>((seed >> 16) & 0xff);
        junk += c == '+' ? '\n' : c; // no "+++": stay in command mode
    }
    for (size_t i = 0; i < junk.size(); i += 500)
        line->send(junk.substr(i, 500));
    line->read_quiet(300, 10000);
    line->send("\n"); // ends whatever frame the junk left open
    line->read_quiet(300);
    EXPECT_EQ(line->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    EXPECT_TRUE(sim.running());
}

struct fault_row {
    const char *name;
    std::vector<std::string> args;
    std::string (*check)(wire &);
};

TEST_F(SimPty, FaultOptionsChangeTheReplies)
{
    const fault_row rows[] = {
        {"silent",
         {"--silent"},
         [](wire &w) {
             w.send("AT+WMODE\n");
             return w.read_quiet(500) == "" ? "" : std::string("replied");
         }},
        {"garbage",
         {"--garbage"},
         [](wire &w) {
             std::string r = w.ask("AT+WMODE\n");
             bool bad = r.empty() || r[0] == 'A' || r[0] == 'a' || r.compare(0, 3, "+ok") == 0;
             return bad ? "took " + r : std::string();
         }},
        {"no line ends",
         {"--no-line-ends"},
         [](wire &w) {
             w.send("AT+WMODE\n");
             std::string r = w.read_quiet(300);
             return r == "+ok=AP" ? "" : "got " + r;
         }},
        {"delay",
         {"--delay", "400"},
         [](wire &w) {
             w.send("AT+WMODE\n");
             long t0 = now_ms();
             std::string r = w.read_until("\r\n\r\n");
             long took = now_ms() - t0;
             return r == "+ok=AP\r\n\r\n" && took >= 350 ? "" : "took " + std::to_string(took);
         }},
        {"byte gap",
         {"--byte-gap", "40"},
         [](wire &w) {
             w.send("AT+WMODE\n");
             long t0 = now_ms();
             std::string r = w.read_until("\r\n\r\n");
             long took = now_ms() - t0;
             // Ten bytes, nine gaps.
             return r == "+ok=AP\r\n\r\n" && took >= 300 ? "" : "took " + std::to_string(took);
         }},
        {"wire",
         {"--wire", "1200", "--delay", "20"},
         [](wire &w) {
             // 9 bytes in, 20 ms, 10 bytes out, 8.33 ms each at 1200 baud:
             // 178 ms, of which the last byte comes at the end.
             w.send("AT+WMODE\n");
             long t0 = now_ms();
             std::string first;
             w.read_some(first, 1000);
             long first_at = now_ms() - t0;
             std::string r = first + w.read_until("\r\n\r\n");
             long took = now_ms() - t0;
             return r == "+ok=AP\r\n\r\n" && first_at >= 9 * 8 + 20 && took >= 170
                        ? ""
                        : "first byte at " + std::to_string(first_at) + ", all at " +
                              std::to_string(took);
         }},
        {"silent after",
         {"--silent-after", "1"},
         [](wire &w) {
             std::string r = w.ask(std::string("AT+W\n\0", 6)); // not counted
             r += w.ask("AT+WMODE\n");
             w.send("AT+MID\n");
             r += w.read_quiet(500);
             return r == std::string(ok_reply) + "+ok=AP\r\n\r\n" ? "" : "got " + r;
         }},
    };
    for (const auto &r : rows) {
        auto args = r.args;
        args.insert(args.end(), {"--mode", "command"});
        start(args);
        EXPECT_EQ(r.check(*line), "") << r.name;
        line.reset();
        sim.stop();
    }
}

TEST_F(SimPty, HandshakeStaysIntactWithGarbledReplies)
{
    // The tool must reach command mode to see garbled replies at all.
    start({"--garbage", "--no-line-ends"});
    line->send("+++");
    EXPECT_EQ(line->read_until("a"), "a");
    line->send("a");
    EXPECT_EQ(line->read_quiet(300), ok_reply);
}

TEST(SimCommandLine, RefusesContradictoryOrUnknownOptions)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--pty", "--tcp", "127.0.0.1:1"},
        {},
        {"--pty", "--set", "NOSUCH=1"},
        {"--pty", "--mode", "data"},
        {"--tcp", "127.0.0.1"},
        {"--pty", "--delay", "-1"},
        {"--pty", "--wire", "0"},
    };
    for (const auto &args : bad) {
        sim_process sim;
        ASSERT_TRUE(sim.start(args));
        EXPECT_EQ(sim.wait_exit(3000), 2) << ::testing::PrintToString(args);
    }
}

// A loopback listener on an ephemeral port, standing in for the tool.
class listener
{
  public:
    listener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0 && listen(fd_, 4) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~listener() { close(fd_); }
    int port() const { return port_; }
    // The next connection within TIMEOUT_MS, or null.
    std::unique_ptr<wire> accept_one(int timeout_ms = 5000)
    {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0)
            return nullptr;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return c < 0 ? nullptr : std::make_unique<wire>(c);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(SimTcp, ClientTakesKeepAliveAndCommandsAndReconnects)
{
    temp_cwd dir;
    listener srv;
    ASSERT_GT(srv.port(), 0);
    sim_process sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:" + std::to_string(srv.port()), "--retry", "--state",
                           "state", "--log", "log"}));
    auto conn = srv.accept_one();
    ASSERT_TRUE(conn);
    // No handshake on the network: AT commands are answered at once.
    EXPECT_EQ(conn->ask(std::string("AT+W\n\0", 6)), ok_reply);
    EXPECT_EQ(conn->ask("AT+WMODE\n"), "+ok=AP\r\n\r\n");
    EXPECT_EQ(conn->ask("AT+TCPTO=60\n"), ok_reply);
    EXPECT_TRUE(sim_wait_state("state", "TCPTO", "60"));
    EXPECT_EQ(read_file("log"), "AT+W\\n\\x00\nAT+WMODE\\n\nAT+TCPTO=60\\n\n");

    // The tool closes: the module connects again.
    conn.reset();
    conn = srv.accept_one();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ask("AT+TCPTO\n"), "+ok=60\r\n\r\n");

    // A restart drops the link and comes back after a pause.
    EXPECT_EQ(conn->ask("AT+Z\n"), ok_reply);
    long t0 = now_ms();
    std::string rest;
    EXPECT_FALSE(conn->read_some(rest, 3000));
    EXPECT_TRUE(conn->eof());
    conn = srv.accept_one();
    ASSERT_TRUE(conn);
    EXPECT_GE(now_ms() - t0, 300);
    EXPECT_EQ(conn->ask("AT+TCPTO\n"), "+ok=60\r\n\r\n");
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimTcp, DropAfterClosesOnceAndWithoutRetryTheClientEndsWithItsCounts)
{
    temp_cwd dir;
    listener srv;
    sim_process sim;
    ASSERT_TRUE(sim.start(
        {"--tcp", "127.0.0.1:" + std::to_string(srv.port()), "--retry", "--drop-after", "1"}));
    auto conn = srv.accept_one();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ask("AT+MID\n"), "+ok=QX-B27\r\n\r\n");
    std::string rest;
    EXPECT_FALSE(conn->read_some(rest, 3000));
    EXPECT_TRUE(conn->eof());
    conn = srv.accept_one();
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->ask("AT+MID\n"), "+ok=QX-B27\r\n\r\n");
    EXPECT_EQ(conn->ask("AT+VER\n").compare(0, 4, "+ok="), 0); // no second drop
    sim.stop();

    // Without --retry the module gives up once the tool has closed, and
    // tells what crossed the link.
    sim_process once;
    ASSERT_TRUE(
        once.start({"--tcp", "127.0.0.1:" + std::to_string(srv.port()), "--counts", "counts"}));
    conn = srv.accept_one();
    ASSERT_TRUE(conn);
    const std::string mid_reply = "+ok=QX-B27\r\n\r\n";
    EXPECT_EQ(conn->ask("AT+MID\n"), mid_reply);
    conn.reset();
    EXPECT_EQ(once.wait_exit(3000), 0);
    EXPECT_EQ(read_file("counts"),
              "received=7\nsent=" + std::to_string(mid_reply.size()) + "\nreplies=1\n");
}

} // namespace
