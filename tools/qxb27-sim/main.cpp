// qxb27-sim: an emulated QX-B27 module on a pseudo-terminal (serial build)
// or as a TCP client of the tool's server (network build), with faults for
// tests, a frame log and a state file of its settings.
//
// Behaviour beyond the replies (engine.h has those):
// - pty: starts in transparent mode unless --mode says otherwise; keeps
//   serving while the tool closes and reopens the slave, mode unchanged.
// - TCP: every connection starts in command mode unless --mode says
//   otherwise, since the tool's network build never sends "+++".
// - "AT+Z" and "AT+RELD": after their "+ok" the module is off for 500 ms.
//   On the pty, input meanwhile is lost (and not logged) and the module
//   comes back in transparent mode with echo as at start; on TCP the
//   socket closes and the module connects again after 500 ms (once, or
//   until it succeeds with --retry). Settings survive "AT+Z"; "AT+RELD"
//   restores the factory values (not the --set ones).
// - --drop-after N fires once per run; keep-alives do not count.
// - --silent-after N answers N command frames (keep-alives not counted),
//   then nothing more for the rest of the run, "+++" included.
// - --keep NAME=VALUE: the module holds VALUE and acknowledges every set
//   command of NAME without changing it (a setting it silently refuses).
// - --set values are taken unchecked, so tests can make the module report
//   what a set command would be refused for.
// - --set-bytes is --set with "\xHH" escapes, for bytes an argument cannot
//   hold (a zero byte in a value).
// - --wire BAUD models the serial line's time: 10 bits a byte each way.
// - --counts FILE: at the end of the run, the bytes read from the link, the
//   bytes written to it and the replies among them, so that a benchmark
//   can set its times beside what the wire and the replies' latency take.
// - --uart BAUD,BITS,PARITY,STOP: the module's own line settings. On every
//   read and reply the tool's settings are read from the pty (tcgetattr on
//   the master, which shares the slave's termios). While they differ, each
//   byte either way is garbled into one byte of 0x80..0xff, as a UART at
//   the wrong rate takes junk: only a line feed from the tool survives, so
//   a module in command mode answers the junk line (garbled), and one in
//   transparent mode takes it as payload. A pty keeps the rate, CSTOPB,
//   PARODD and CMSPAR that the tool asks for, but forces CS8 and clears
//   PARENB: data bits count only when the pty reports other than 8, and
//   parity None and Even look alike (Odd, Mark and Space are told apart).
// - Log lines: the frame's bytes with "\n", "\r", "\\" and "\xHH" for any
//   other byte outside printable ASCII (the keep-alive: "AT+W\n\x00").
// - --refuse NAME[=CODE]: every set command of NAME gets "+ERR=CODE" (-4
//   by default), the setting unchanged.
// - --swap-after N=MID: from the N-th command frame on (keep-alives not
//   counted) the module reports MID, as another module put in its place.
#include "engine.h"
#include "store.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

volatile sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

struct options {
    bool pty = false;
    std::string link;
    std::string tcp_host, tcp_port;
    bool retry = false;
    int mode = -1; // -1: the transport's default
    bool echo = false;
    long delay_ms = 0;
    long byte_gap_ms = 0;
    long wire_baud = 0; // 0: bytes move at once
    // --uart: the module's line; uart_baud 0 when any setting of the tool's
    // is taken.
    long uart_baud = 0;
    int uart_bits = 8;
    char uart_parity = 'N'; // N, O, E, M or S
    int uart_stop = 1;
    sim::faults faults;
    std::vector<std::pair<std::string, std::string>> sets;
    std::string log_path, state_path, counts_path;
    std::string mode_path; // --mode-file
};

// What crossed the link in this run, for --counts.
struct tally {
    long long received = 0, sent = 0, replies = 0;
};
tally counts;

// Pause after a restart before the module listens (pty) or connects (TCP).
constexpr long restart_ms = 500;
// Pause between connection attempts with --retry.
constexpr long retry_ms = 200;
// Pause while nobody holds the pty's slave open: the master then reports a
// hang-up at once, and polling it again would spin.
constexpr long hangup_wait_ms = 20;
// Time the tool gets to read the last reply before a dropped pty closes:
// the hang-up flushes whatever the slave side has not read yet.
constexpr long drop_grace_ms = 300;

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

long long now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Sleeps until the monotonic clock reads AT_NS, or less when a stop was
// requested.
void sleep_until_ns(long long at_ns)
{
    timespec ts{static_cast<time_t>(at_ns / 1000000000LL), static_cast<long>(at_ns % 1000000000LL)};
    while (!stop_requested &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The serial line at --wire BAUD: 10 bits a byte (start, 8 data, stop).
// Each direction is busy until its last byte is through.
struct wire_line {
    long long byte_ns = 0; // 0: no line to wait for
    long long tx_free = 0, rx_free = 0;

    // The tool's bytes read at once from the pty or socket reach the
    // module only as the line carries them: waits until the last of N is
    // through.
    void receive(size_t n)
    {
        if (byte_ns == 0)
            return;
        rx_free = std::max(now_ns(), rx_free) + static_cast<long long>(n) * byte_ns;
        sleep_until_ns(rx_free);
    }
};
wire_line wire;

// Sleeps MS milliseconds, or less when a stop was requested.
void pause_ms(long ms)
{
    long until = now_ms() + ms;
    for (long left = ms; left > 0 && !stop_requested; left = until - now_ms()) {
        timespec ts{left / 1000, (left % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
}

[[noreturn]] void usage(const char *why, int status = 2)
{
    std::FILE *to = status == 0 ? stdout : stderr;
    if (why)
        std::fprintf(to, "qxb27-sim: %s\n", why);
    std::fputs("usage: qxb27-sim (--pty [--link PATH] | --tcp HOST:PORT [--retry])\n"
               "       [--mode transparent|command] [--echo] [--silent] [--delay MS]\n"
               "       [--wire BAUD] [--byte-gap MS] [--garbage] [--no-line-ends]\n"
               "       [--drop-after N] [--silent-after N] [--late MS] [--probe-late MS]\n"
               "       [--ok-late MS] [--last-byte-late MS] [--stray] [--trickle NAME]\n"
               "       [--late-on NAME]... [--split N,MS] [--mode-file FILE]\n"
               "       [--set NAME=VALUE]... [--keep NAME=VALUE]... [--log FILE] [--state FILE]\n"
               "       [--counts FILE] [--uart BAUD,BITS,PARITY,STOP]\n"
               "       [--refuse NAME[=CODE]]... [--swap-after N=MID]\n"
               "   or: qxb27-sim --help | --version\n",
               to);
    if (status == 0)
        std::fputs(
            "\n"
            "  --pty               serve on a new pseudo-terminal; prints \"pty PATH\"\n"
            "  --link PATH         also make PATH a symbolic link to that pty\n"
            "  --tcp HOST:PORT     connect to the tool's server as the module does\n"
            "  --retry             connect again whenever the connection ends\n"
            "  --mode MODE         start in transparent or command mode (default:\n"
            "                      transparent on a pty, command over TCP)\n"
            "  --echo              start with echo on: each command line comes back first\n"
            "  --silent            never send anything\n"
            "  --delay MS          reply latency: wait MS ms before each reply (\"+ok...\",\n"
            "                      \"+ERR...\", the \"a\" of the handshake); an echo goes at once\n"
            "  --wire BAUD         a serial line of BAUD bit/s, 10 bits a byte: each byte\n"
            "                      sent goes out when the line would have carried it, and\n"
            "                      bytes received count as arrived only then too\n"
            "  --byte-gap MS       pause MS ms between the bytes of everything sent\n"
            "  --garbage           answer commands with bytes no reply begins with\n"
            "  --no-line-ends      leave the final \"\\r\\n\\r\\n\" off every reply\n"
            "  --drop-after N      drop the link once, after N command frames\n"
            "  --silent-after N    answer N command frames, then nothing more\n"
            "  --late MS           each reply to a command frame other than the probe\n"
            "                      \"AT+\" and the keep-alive \"AT+W\" comes MS ms late\n"
            "  --probe-late MS     the reply to the probe \"AT+\" comes MS ms late\n"
            "  --ok-late MS        the \"+ok\" that answers \"a\" comes MS ms late\n"
            "  --last-byte-late MS\n"
            "                      the last byte of each reply to a frame comes MS ms late\n"
            "  --stray             one byte 0xff follows each reply to a frame, 5 ms later\n"
            "  --trickle NAME      the reply to the query of setting NAME comes a byte\n"
            "                      every 150 ms\n"
            "  --late-on NAME      --late holds only for the replies to frames of setting\n"
            "                      NAME (repeat for more settings)\n"
            "  --split N,MS        each reply to a frame comes as its first N bytes, then\n"
            "                      the rest MS ms later\n"
            "  --mode-file FILE    when the run ends, write to FILE the mode the module\n"
            "                      is in: command or transparent\n"
            "  --set NAME=VALUE    start with this setting (e.g. WMODE=STA), unchecked;\n"
            "                      a line break in VALUE only without --state\n"
            "  --set-bytes NAME=VALUE  the same, \\xHH in VALUE being that byte (a zero\n"
            "                      byte as \\x00, which no argument can hold)\n"
            "  --keep NAME=VALUE   hold VALUE: set commands of NAME get \"+ok\" and\n"
            "                      change nothing\n"
            "  --log FILE          append every frame received, one line each\n"
            "  --state FILE        keep the settings in FILE, NAME=VALUE lines\n"
            "  --counts FILE       when the run ends, write to FILE the bytes received\n"
            "                      and sent and the replies sent (an echo is none):\n"
            "                      received=N, sent=N, replies=N lines\n"
            "  --uart B,D,P,S      the module's line settings (e.g. 115200,8,N,1; parity\n"
            "                      N, O, E, M or S): while the tool's pty settings differ,\n"
            "                      bytes both ways are garbled; AT+UART reports them\n"
            "  --refuse NAME[=CODE]\n"
            "                      answer set commands of NAME \"+ERR=CODE\" (default -4)\n"
            "  --swap-after N=MID  from the N-th command frame on, report MID: another\n"
            "                      module was put in place\n"
            "  --help, --version   print this help or the version, and exit\n",
            to);
    std::exit(status);
}

long parse_count(const char *text, const char *what)
{
    char *end;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > 1000000)
        usage((std::string("bad number for ") + what + ": " + text).c_str());
    return v;
}

// The rates a module's UART takes, as its "AT+UART" lists them.
constexpr long uart_rates[] = {50,    75,    110,   134,   150,    200,    300,    600,    1200,  1800,
                               2400,  4800,  9600,  19200, 38400,  57600,  115200, 230400, 345600,
                               460800};

void parse_uart(const char *text, options &o)
{
    char parity = 0;
    long baud = 0;
    int bits = 0, stop = 0, used = 0;
    if (std::sscanf(text, "%ld,%d,%c,%d%n", &baud, &bits, &parity, &stop, &used) != 4 ||
        text[used] != '\0')
        usage("--uart wants BAUD,BITS,PARITY,STOP (e.g. 115200,8,N,1)");
    if (std::find(std::begin(uart_rates), std::end(uart_rates), baud) == std::end(uart_rates))
        usage("--uart: not a rate of the module's list");
    if (bits < 5 || bits > 8 || (stop != 1 && stop != 2) || !std::strchr("NOEMS", parity))
        usage("--uart: data bits 5..8, parity N, O, E, M or S, stop bits 1 or 2");
    o.uart_baud = baud;
    o.uart_bits = bits;
    o.uart_parity = parity;
    o.uart_stop = stop;
}

// The module's "AT+UART" value for --uart: stop bits before parity.
std::string uart_value(const options &o)
{
    static const std::pair<char, const char *> names[] = {
        {'N', "None"}, {'O', "Odd"}, {'E', "Even"}, {'M', "Mark"}, {'S', "Space"}};
    std::string parity;
    for (const auto &n : names)
        if (n.first == o.uart_parity)
            parity = n.second;
    return std::to_string(o.uart_baud) + "," + std::to_string(o.uart_bits) + "," +
           std::to_string(o.uart_stop) + "," + parity + ",NFC";
}

// --refuse NAME[=CODE]
void parse_refuse(const char *text, sim::faults &f)
{
    const char *eq = std::strchr(text, '=');
    const std::string name = eq ? std::string(text, static_cast<size_t>(eq - text)) : text;
    if (sim::store::find(name) < 0)
        usage(("no setting " + name).c_str());
    char *end = nullptr;
    const long code = eq ? std::strtol(eq + 1, &end, 10) : static_cast<long>(sim::err_arg_value);
    if ((eq && (end == eq + 1 || *end)) || code == 0 || code < -1000 || code > 1000)
        usage("--refuse wants NAME or NAME=CODE, CODE a number other than 0");
    f.refuse.emplace_back(name, static_cast<int>(code));
}

// --swap-after N=MID
void parse_swap(const char *text, sim::faults &f)
{
    const char *eq = std::strchr(text, '=');
    if (!eq || eq[1] == '\0')
        usage("--swap-after wants N=MID");
    f.swap_after =
        parse_count(std::string(text, static_cast<size_t>(eq - text)).c_str(), "--swap-after");
    f.swap_mid = eq + 1;
}

// `text` with each "\xHH" as the byte HH.
std::string unescaped(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) {
        unsigned byte;
        if (p[0] == '\\' && p[1] == 'x' && std::isxdigit(static_cast<unsigned char>(p[2])) &&
            std::isxdigit(static_cast<unsigned char>(p[3])) && std::sscanf(p + 2, "%2x", &byte) == 1) {
            out += static_cast<char>(byte);
            p += 3;
        } else {
            out += *p;
        }
    }
    return out;
}

options parse_options(int argc, char **argv)
{
    enum {
        o_pty = 256,
        o_link,
        o_tcp,
        o_retry,
        o_mode,
        o_echo,
        o_silent,
        o_delay,
        o_gap,
        o_wire,
        o_garbage,
        o_no_ends,
        o_drop,
        o_silent_after,
        o_set,
        o_set_bytes,
        o_keep,
        o_late,
        o_probe_late,
        o_ok_late,
        o_last_late,
        o_stray,
        o_trickle,
        o_late_on,
        o_mode_file,
        o_split,
        o_log,
        o_state,
        o_counts,
        o_uart,
        o_refuse,
        o_swap_after,
        o_help,
        o_version
    };
    static const option longopts[] = {{"pty", no_argument, nullptr, o_pty},
                                      {"link", required_argument, nullptr, o_link},
                                      {"tcp", required_argument, nullptr, o_tcp},
                                      {"retry", no_argument, nullptr, o_retry},
                                      {"mode", required_argument, nullptr, o_mode},
                                      {"echo", no_argument, nullptr, o_echo},
                                      {"silent", no_argument, nullptr, o_silent},
                                      {"delay", required_argument, nullptr, o_delay},
                                      {"byte-gap", required_argument, nullptr, o_gap},
                                      {"wire", required_argument, nullptr, o_wire},
                                      {"garbage", no_argument, nullptr, o_garbage},
                                      {"no-line-ends", no_argument, nullptr, o_no_ends},
                                      {"drop-after", required_argument, nullptr, o_drop},
                                      {"silent-after", required_argument, nullptr, o_silent_after},
                                      {"set", required_argument, nullptr, o_set},
                                      {"set-bytes", required_argument, nullptr, o_set_bytes},
                                      {"keep", required_argument, nullptr, o_keep},
                                      {"late", required_argument, nullptr, o_late},
                                      {"probe-late", required_argument, nullptr, o_probe_late},
                                      {"ok-late", required_argument, nullptr, o_ok_late},
                                      {"last-byte-late", required_argument, nullptr, o_last_late},
                                      {"stray", no_argument, nullptr, o_stray},
                                      {"trickle", required_argument, nullptr, o_trickle},
                                      {"late-on", required_argument, nullptr, o_late_on},
                                      {"mode-file", required_argument, nullptr, o_mode_file},
                                      {"split", required_argument, nullptr, o_split},
                                      {"log", required_argument, nullptr, o_log},
                                      {"state", required_argument, nullptr, o_state},
                                      {"counts", required_argument, nullptr, o_counts},
                                      {"uart", required_argument, nullptr, o_uart},
                                      {"refuse", required_argument, nullptr, o_refuse},
                                      {"swap-after", required_argument, nullptr, o_swap_after},
                                      {"help", no_argument, nullptr, o_help},
                                      {"version", no_argument, nullptr, o_version},
                                      {nullptr, 0, nullptr, 0}};
    options o;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case o_pty:
            o.pty = true;
            break;
        case o_link:
            o.link = optarg;
            break;
        case o_tcp: {
            std::string hp = optarg;
            size_t colon = hp.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == hp.size())
                usage("--tcp wants HOST:PORT");
            o.tcp_host = hp.substr(0, colon);
            o.tcp_port = hp.substr(colon + 1);
            if (o.tcp_host.size() > 2 && o.tcp_host.front() == '[' && o.tcp_host.back() == ']')
                o.tcp_host = o.tcp_host.substr(1, o.tcp_host.size() - 2);
            break;
        }
        case o_retry:
            o.retry = true;
            break;
        case o_mode:
            if (std::strcmp(optarg, "transparent") == 0)
                o.mode = static_cast<int>(sim::link_mode::transparent);
            else if (std::strcmp(optarg, "command") == 0)
                o.mode = static_cast<int>(sim::link_mode::command);
            else
                usage("--mode is transparent or command");
            break;
        case o_echo:
            o.echo = true;
            break;
        case o_silent:
            o.faults.silent = true;
            break;
        case o_delay:
            o.delay_ms = parse_count(optarg, "--delay");
            break;
        case o_gap:
            o.byte_gap_ms = parse_count(optarg, "--byte-gap");
            break;
        case o_wire:
            o.wire_baud = parse_count(optarg, "--wire");
            if (o.wire_baud == 0)
                usage("--wire wants a rate above 0");
            break;
        case o_garbage:
            o.faults.garbage = true;
            break;
        case o_no_ends:
            o.faults.no_line_ends = true;
            break;
        case o_drop:
            o.faults.drop_after = parse_count(optarg, "--drop-after");
            break;
        case o_late:
            o.faults.late_ms = parse_count(optarg, "--late");
            break;
        case o_probe_late:
            o.faults.probe_late_ms = parse_count(optarg, "--probe-late");
            break;
        case o_ok_late:
            o.faults.ok_late_ms = parse_count(optarg, "--ok-late");
            break;
        case o_last_late:
            o.faults.last_byte_ms = parse_count(optarg, "--last-byte-late");
            break;
        case o_stray:
            o.faults.stray = true;
            break;
        case o_trickle:
            if (sim::store::find(optarg) < 0)
                usage((std::string("no setting ") + optarg).c_str());
            o.faults.trickle = optarg;
            break;
        case o_mode_file:
            o.mode_path = optarg;
            break;
        case o_late_on:
            if (sim::store::find(optarg) < 0)
                usage((std::string("no setting ") + optarg).c_str());
            o.faults.late_on.push_back(optarg);
            break;
        case o_split: {
            char *end;
            o.faults.split_at = std::strtol(optarg, &end, 10);
            if (*end != ',' || o.faults.split_at <= 0)
                usage("--split wants N,MS (e.g. 1,250)");
            o.faults.split_ms = parse_count(end + 1, "--split");
            break;
        }
        case o_silent_after:
            o.faults.silent_after = parse_count(optarg, "--silent-after");
            break;
        case o_set:
        case o_set_bytes:
        case o_keep: {
            const char *eq = std::strchr(optarg, '=');
            if (!eq)
                usage("--set, --set-bytes and --keep want NAME=VALUE");
            std::string name(optarg, static_cast<size_t>(eq - optarg));
            if (sim::store::find(name) < 0)
                usage(("no setting " + name).c_str());
            o.sets.emplace_back(name, c == o_set_bytes ? unescaped(eq + 1) : std::string(eq + 1));
            if (c == o_keep)
                o.faults.keep.push_back(name);
            break;
        }
        case o_log:
            o.log_path = optarg;
            break;
        case o_state:
            o.state_path = optarg;
            break;
        case o_counts:
            o.counts_path = optarg;
            break;
        case o_uart:
            parse_uart(optarg, o);
            break;
        case o_refuse:
            parse_refuse(optarg, o.faults);
            break;
        case o_swap_after:
            parse_swap(optarg, o.faults);
            break;
        case o_help:
            usage(nullptr, 0);
        case o_version:
            std::printf("qxb27-sim %s\n", QXB27_SIM_VERSION);
            std::exit(0);
        default:
            usage(nullptr);
        }
    }
    if (optind != argc)
        usage("unexpected argument");
    if (o.pty == !o.tcp_host.empty())
        usage("give exactly one of --pty and --tcp");
    if (o.pty && o.retry)
        usage("--retry goes with --tcp");
    if (!o.pty && !o.link.empty())
        usage("--link goes with --pty");
    if (!o.pty && o.uart_baud > 0)
        usage("--uart goes with --pty");
    // The state file holds one setting a line; without it a value may hold
    // a line break, as a module's SSID can.
    for (const auto &s : o.sets)
        if (!o.state_path.empty() && s.second.find_first_of("\r\n") != std::string::npos)
            usage("with --state, a value is one line");
    return o;
}

// True when the tool's settings on the pty (read on its master) are the
// module's own, as far as a pty keeps them; see the --uart note above.
bool line_matches(int master, const options &o)
{
    if (o.uart_baud == 0)
        return true;
    termios t;
    if (tcgetattr(master, &t) != 0)
        return false;
    static const std::pair<speed_t, long> speeds[] = {
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
        {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}};
    long baud = 0;
    for (const auto &s : speeds)
        if (s.first == cfgetospeed(&t))
            baud = s.second;
    if (baud != o.uart_baud || ((t.c_cflag & CSTOPB) != 0) != (o.uart_stop == 2))
        return false;
    const tcflag_t size = t.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    if (bits != 8 && bits != o.uart_bits)
        return false;
    const bool odd = t.c_cflag & PARODD, stick = t.c_cflag & CMSPAR;
    const char parity = stick ? (odd ? 'M' : 'S') : odd ? 'O' : (t.c_cflag & PARENB) ? 'E' : 'N';
    if (parity == 'N' && !(t.c_cflag & PARENB))
        return o.uart_parity == 'N' || o.uart_parity == 'E';
    return parity == o.uart_parity;
}

// A byte as a UART at other settings takes it: junk in 0x80..0xff.
char garble(char c)
{
    return static_cast<char>(0x80 | ((static_cast<unsigned char>(c) * 37 + 11) & 0x7f));
}

// One line per frame, the bytes escaped so every frame stays on its line.
class frame_log
{
  public:
    explicit frame_log(const std::string &path)
    {
        if (!path.empty() && !(file_ = std::fopen(path.c_str(), "a")))
            std::fprintf(stderr, "qxb27-sim: cannot open log %s: %s\n", path.c_str(),
                         std::strerror(errno));
    }
    ~frame_log()
    {
        if (file_)
            std::fclose(file_);
    }
    frame_log(const frame_log &) = delete;
    frame_log &operator=(const frame_log &) = delete;

    void frame(const std::string &bytes)
    {
        if (!file_)
            return;
        std::string line;
        for (unsigned char c : bytes) {
            if (c == '\n')
                line += "\\n";
            else if (c == '\r')
                line += "\\r";
            else if (c == '\\')
                line += "\\\\";
            else if (c >= 0x20 && c < 0x7f)
                line += static_cast<char>(c);
            else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                line += hex;
            }
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }

  private:
    std::FILE *file_ = nullptr;
};

// Rewrites the state file through a temporary name, so that a reader never
// sees half of it.
void write_state(const std::string &path, const sim::store &st)
{
    if (path.empty())
        return;
    std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "w");
    std::string text = st.state_text();
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "qxb27-sim: cannot write state %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::remove(tmp.c_str());
    }
}

// Writes all of BYTES; waits up to a second for room. False when the link
// is gone or stays full (the bytes are then lost, as on a real wire).
bool write_all(int fd, bool sock, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = sock ? send(fd, p, n, MSG_NOSIGNAL) : write(fd, p, n);
        if (r > 0) {
            counts.sent += r;
            p += r;
            n -= static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR && !stop_requested) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, 1000) <= 0 || !(pfd.revents & POLLOUT))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void write_counts(const std::string &path)
{
    if (path.empty())
        return;
    std::FILE *f = std::fopen(path.c_str(), "w");
    const bool ok = f && std::fprintf(f, "received=%lld\nsent=%lld\nreplies=%lld\n",
                                      counts.received, counts.sent, counts.replies) > 0;
    if ((f && std::fclose(f) != 0) || !ok)
        std::fprintf(stderr, "qxb27-sim: cannot write counts %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// --mode-file: the mode the module is left in, for a test of what a tool
// let it go into.
void write_mode(const std::string &path, sim::link_mode mode)
{
    if (path.empty())
        return;
    std::FILE *f = std::fopen(path.c_str(), "w");
    const bool ok =
        f && std::fputs(mode == sim::link_mode::command ? "command\n" : "transparent\n", f) >= 0;
    if ((f && std::fclose(f) != 0) || !ok)
        std::fprintf(stderr, "qxb27-sim: cannot write mode %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

enum class outcome { go_on, restart, drop, link_lost };

// Carries out the engine's actions on the link FD.
outcome perform(int fd, bool sock, const std::vector<sim::action> &actions, const options &o)
{
    for (const auto &action : actions) {
        sim::action a = action;
        if (!sock && !line_matches(fd, o))
            for (char &c : a.bytes)
                c = garble(c);
        if (a.kind == sim::action::restart)
            return outcome::restart;
        if (a.kind == sim::action::drop)
            return outcome::drop;
        if (a.reply && o.delay_ms > 0)
            pause_ms(o.delay_ms);
        if (a.delay_ms > 0)
            pause_ms(a.delay_ms);
        const long long sent_before = counts.sent;
        bool ok = true;
        const long gap = a.gap_ms > 0 ? a.gap_ms : o.byte_gap_ms;
        if (gap > 0) {
            for (size_t i = 0; i < a.bytes.size() && ok; i++) {
                if (i > 0)
                    pause_ms(gap);
                ok = write_all(fd, sock, &a.bytes[i], 1);
            }
        } else if (a.split_at > 0 && a.bytes.size() > static_cast<size_t>(a.split_at)) {
            const size_t at = static_cast<size_t>(a.split_at);
            ok = write_all(fd, sock, a.bytes.data(), at);
            pause_ms(a.split_ms);
            ok = ok && write_all(fd, sock, a.bytes.data() + at, a.bytes.size() - at);
        } else if (a.last_ms > 0 && a.bytes.size() > 1) {
            ok = write_all(fd, sock, a.bytes.data(), a.bytes.size() - 1);
            pause_ms(a.last_ms);
            ok = ok && write_all(fd, sock, &a.bytes.back(), 1);
        } else if (wire.byte_ns > 0) {
            // Each byte is handed over once the line has carried it; the
            // bytes whose time has come by a wake-up go together.
            const long long start = std::max(now_ns(), wire.tx_free);
            const size_t n = a.bytes.size();
            for (size_t sent = 0; sent < n && ok && !stop_requested;) {
                sleep_until_ns(start + static_cast<long long>(sent + 1) * wire.byte_ns);
                size_t due = static_cast<size_t>((now_ns() - start) / wire.byte_ns);
                due = std::min(n, std::max(due, sent + 1));
                ok = write_all(fd, sock, a.bytes.data() + sent, due - sent);
                sent = due;
            }
            wire.tx_free = start + static_cast<long long>(n) * wire.byte_ns;
        } else {
            ok = write_all(fd, sock, a.bytes.data(), a.bytes.size());
        }
        if (ok && a.stray) {
            pause_ms(5);
            ok = write_all(fd, sock, "\xff", 1);
        }
        // A reply counts once it has begun: the tool may close as soon as
        // it has seen enough of it.
        if (a.reply && counts.sent > sent_before)
            counts.replies++;
        // On the pty an unsent reply only means nobody is listening.
        if (!ok && sock)
            return outcome::link_lost;
    }
    return outcome::go_on;
}

int run_pty(const options &o, sim::engine &eng)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    char name[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::fprintf(stderr, "qxb27-sim: cannot create a pty: %s\n", std::strerror(errno));
        return 1;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // Master and slave share one termios: raw, so bytes pass verbatim
    // until the tool sets its own line settings.
    termios tio;
    if (tcgetattr(master, &tio) != 0 || (cfmakeraw(&tio), tcsetattr(master, TCSANOW, &tio)) != 0) {
        std::fprintf(stderr, "qxb27-sim: cannot set the pty raw: %s\n", std::strerror(errno));
        return 1;
    }
    if (!o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(name, o.link.c_str()) != 0) {
            std::fprintf(stderr, "qxb27-sim: cannot link %s: %s\n", o.link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("pty %s\n", name);
    std::fflush(stdout);

    long down_until = -1; // restarting: input is lost until then
    std::vector<sim::action> actions;
    char buf[512];
    int status = 0;
    while (!stop_requested) {
        long now = now_ms();
        int wait = eng.timeout(now);
        if (down_until >= 0) {
            int left = static_cast<int>(std::max(0L, down_until - now));
            wait = wait < 0 ? left : std::min(wait, left);
        }
        pollfd pfd{master, POLLIN, 0};
        int r = poll(&pfd, 1, wait);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "qxb27-sim: poll: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        now = now_ms();
        if (down_until >= 0 && now >= down_until) {
            down_until = -1;
            eng.power_up(sim::link_mode::transparent);
        }
        eng.tick(now);
        if (r <= 0)
            continue;
        ssize_t n =
            (pfd.revents & (POLLIN | POLLHUP | POLLERR)) ? read(master, buf, sizeof buf) : 0;
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            // EIO or hang-up: the tool has closed the slave and may open it
            // again; the module keeps its mode meanwhile.
            pause_ms(hangup_wait_ms);
            continue;
        }
        counts.received += n;
        if (down_until >= 0)
            continue;
        if (!line_matches(master, o))
            for (ssize_t i = 0; i < n; i++)
                if (buf[i] != '\n')
                    buf[i] = garble(buf[i]);
        wire.receive(static_cast<size_t>(n));
        now = now_ms();
        actions.clear();
        eng.feed(buf, static_cast<size_t>(n), now, actions);
        outcome out = perform(master, false, actions, o);
        if (out == outcome::restart) {
            down_until = now_ms() + restart_ms;
            eng.power_up(sim::link_mode::transparent);
        } else if (out == outcome::drop) {
            pause_ms(drop_grace_ms);
            break;
        }
    }
    close(master);
    if (!o.link.empty())
        unlink(o.link.c_str());
    return status;
}

// Connects to the tool; -1 when no address of HOST:PORT accepted.
int connect_once(const options &o)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(o.tcp_host.c_str(), o.tcp_port.c_str(), &hints, &res) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *ai = res; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// With --retry: tries every retry_ms until connected or stopped. Without:
// one attempt.
int connect_link(const options &o)
{
    for (;;) {
        int fd = connect_once(o);
        if (fd >= 0 || !o.retry || stop_requested)
            return fd;
        pause_ms(retry_ms);
    }
}

int run_tcp(const options &o, sim::engine &eng, sim::link_mode start)
{
    int fd = connect_link(o);
    std::vector<sim::action> actions;
    char buf[512];
    while (!stop_requested) {
        if (fd < 0) {
            if (stop_requested)
                break;
            std::fprintf(stderr, "qxb27-sim: cannot connect to %s:%s\n", o.tcp_host.c_str(),
                         o.tcp_port.c_str());
            return 1;
        }
        // Each connection is a fresh session: the tool talks AT at once.
        eng.power_up(start);
        outcome out = outcome::go_on;
        while (!stop_requested && out == outcome::go_on) {
            long now = now_ms();
            pollfd pfd{fd, POLLIN, 0};
            int r = poll(&pfd, 1, eng.timeout(now));
            if (r < 0 && errno != EINTR) {
                out = outcome::link_lost;
                break;
            }
            now = now_ms();
            eng.tick(now);
            if (r <= 0)
                continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                out = outcome::link_lost;
                break;
            }
            counts.received += n;
            wire.receive(static_cast<size_t>(n));
            now = now_ms();
            actions.clear();
            eng.feed(buf, static_cast<size_t>(n), now, actions);
            out = perform(fd, true, actions, o);
        }
        close(fd);
        fd = -1;
        if (stop_requested)
            break;
        if (out == outcome::restart) {
            // A restarted module connects again on its own, once.
            pause_ms(restart_ms);
            fd = o.retry ? connect_link(o) : connect_once(o);
        } else if (o.retry) {
            pause_ms(retry_ms);
            fd = connect_link(o);
        } else {
            return 0;
        }
    }
    if (fd >= 0)
        close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options o = parse_options(argc, argv);
    if (o.wire_baud > 0)
        wire.byte_ns = 10 * 1000000000LL / o.wire_baud;

    struct sigaction sa {
    };
    sa.sa_handler = on_signal; // no SA_RESTART: poll and sleeps wake up
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::store st;
    if (o.uart_baud > 0)
        st.set_raw("UART", uart_value(o));
    for (const auto &s : o.sets)
        st.set_raw(s.first, s.second);
    write_state(o.state_path, st);

    // The network build never does the "+++" handshake: a module that
    // connects to it must take AT commands at once.
    sim::link_mode start = o.mode >= 0 ? static_cast<sim::link_mode>(o.mode)
                           : o.pty     ? sim::link_mode::transparent
                                       : sim::link_mode::command;
    frame_log log(o.log_path);
    sim::engine eng(st, o.faults, start, o.echo);
    eng.on_frame = [&](const std::string &bytes) { log.frame(bytes); };
    eng.on_change = [&] { write_state(o.state_path, st); };

    const int status = o.pty ? run_pty(o, eng) : run_tcp(o, eng, start);
    write_counts(o.counts_path);
    write_mode(o.mode_path, eng.mode());
    return status;
}
