// The PC serial port on Linux: selection maps, port-name resolution, and
// exclusive raw-mode open, bounded reads and writes on a tty.
#include "pccom.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

_PC_COM_STRUCT strPCCom;

namespace
{

// Index-to-setting tables in the order of the option lists.
constexpr std::array<int, 17> baud_by_index = {50,   75,    110,   134,   150,   200,
                                               300,  600,   1200,  1800,  2400,  4800,
                                               9600, 19200, 38400, 57600, 115200};
constexpr std::array<int, 4> bytesize_by_index = {5, 6, 7, 8};
constexpr std::array<int, 5> parity_by_index = {
    PCCOM_PARITY_NONE, PCCOM_PARITY_ODD, PCCOM_PARITY_EVEN, PCCOM_PARITY_MARK, PCCOM_PARITY_SPACE};
constexpr std::array<int, 2> stopbits_by_index = {PCCOM_STOPBITS_ONE, PCCOM_STOPBITS_TWO};
constexpr int PORT_COUNT = 12;
constexpr const char *port_names[PORT_COUNT] = {"COM1", "COM2", "COM3", "COM4",  "COM5",  "COM6",
                                                "COM7", "COM8", "COM9", "COM10", "COM11", "COM12"};

// Rates the layer can set: the list's rates, plus two that Linux has and
// CommOpen may be asked for directly.
constexpr std::array<std::pair<int, speed_t>, 19> speeds = {{
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
}};

// Rates a driver may round to that CommOpen is never asked for.
constexpr std::array<std::pair<int, speed_t>, 11> other_speeds = {{
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
}};

// The kernel's termios2 (asm-generic layout), whose speed fields hold any
// rate in bit/s. Its header clashes with <termios.h>, hence the copy.
#if defined(__linux__) &&                                                                          \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__))
#define KERNEL_TERMIOS2 1
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long kernel_tcgets2 = _IOR('T', 0x2A, kernel_termios2);
// The speed code that says "see c_ospeed".
constexpr speed_t kernel_bother = 0010000;
#else
#define KERNEL_TERMIOS2 0
#endif

// Character size for 5..8 data bits.
constexpr std::array<tcflag_t, 4> size_flags = {CS5, CS6, CS7, CS8};
// Parity by parity code. CMSPAR makes the parity bit a constant: with
// PARODD it is mark, without it space.
constexpr std::array<tcflag_t, 5> parity_flags = {0, PARENB | PARODD, PARENB,
                                                  PARENB | CMSPAR | PARODD, PARENB | CMSPAR};

int last_errno_ = 0;
std::string last_error_;

void set_error(const std::string &what, int err)
{
    last_errno_ = err;
    last_error_ = what + ": " + std::strerror(err);
}

template <size_t N> int map_index(const std::array<int, N> &table, int index, int fallback)
{
    return index >= 0 && index < static_cast<int>(N) ? table[index] : fallback;
}

bool speed_for(int baud, speed_t *speed)
{
    for (const auto &s : speeds)
        if (s.first == baud) {
            *speed = s.second;
            return true;
        }
    return false;
}

// std::chrono::steady_clock is CLOCK_MONOTONIC on Linux: time-outs do not
// move when the wall clock is set.
using mono = std::chrono::steady_clock;

// Milliseconds from now until `end`, rounded up so that poll() does not wake
// just before the deadline and spin; 0 when it has passed.
int ms_until(mono::time_point end)
{
    const auto left = end - mono::now();
    if (left <= mono::duration::zero())
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

bool is_digits(const char *s)
{
    if (!*s)
        return false;
    for (; *s; s++)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// Numbers n of the entries `prefix`n in `dir`, ascending.
std::vector<long> numbered_entries(const std::string &dir, const char *prefix)
{
    std::vector<long> found;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return found;
    const size_t plen = std::strlen(prefix);
    while (const dirent *e = readdir(d)) {
        if (std::strncmp(e->d_name, prefix, plen) == 0 && is_digits(e->d_name + plen))
            found.push_back(std::strtol(e->d_name + plen, nullptr, 10));
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

// A ttySn node exists for every UART slot the kernel reserved; only those
// bound to a device whose UART type was detected have hardware behind them.
bool tty_s_has_hardware(const std::string &root, long n)
{
    const std::string sys = root + "/sys/class/tty/ttyS" + std::to_string(n);
    struct stat st;
    if (lstat((sys + "/device").c_str(), &st) != 0)
        return false;
    FILE *f = std::fopen((sys + "/type").c_str(), "r");
    if (!f)
        return true;
    int type = -1;
    const bool read = std::fscanf(f, "%d", &type) == 1;
    std::fclose(f);
    return !(read && type == 0); // 0: PORT_UNKNOWN, nothing answered there
}

// Undoes what the open did so far; errno is kept for the caller.
void release(int fd, bool exclusive)
{
    const int saved = errno;
    if (exclusive)
        ioctl(fd, TIOCNXCL);
    close(fd); // also drops the flock
    errno = saved;
}

int open_failed(const std::string &device, int err)
{
    std::printf("Can not open the serial port\n");
    if (err == EACCES || err == EPERM)
        std::printf("%s\n", serial_permission_hint(device).c_str());
    std::fflush(stdout);
    return 0;
}

// What the fast exchange needs to know of the open port's line: the time
// one byte takes on it, when the bytes written last will have left it, and
// when the last byte was read. One port is open at a time.
struct line_times {
    int fd = -1;
    std::chrono::nanoseconds byte{0};
    mono::time_point tx_end, rx_last;
};
line_times line_;

// Time of one byte at the settings of `fd`: start bit, data bits, parity
// bit, stop bits at its baud rate; 0 when they cannot be read.
std::chrono::nanoseconds byte_time(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return std::chrono::nanoseconds(0);
    const speed_t speed = cfgetospeed(&t);
    int baud = 0;
    for (const auto &s : speeds)
        if (s.second == speed)
            baud = s.first;
    if (baud == 0)
        return std::chrono::nanoseconds(0);
    const tcflag_t size = t.c_cflag & CSIZE;
    const int data = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const int bits = 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return std::chrono::nanoseconds(1000000000LL * bits / baud);
}

line_times &line_of(int fd)
{
    if (line_.fd != fd) {
        line_ = line_times{};
        line_.fd = fd;
        line_.byte = byte_time(fd);
    }
    return line_;
}

// The read loop of CommRead and CommReadUntil; see CommReadUntil for
// `first_byte_ms` (negative: none) and `done` (empty: none).
// The last read ended by its total time-out while bytes were still coming.
bool last_read_cut_ = false;
// Set by serial_interrupt_reads, from a signal handler.
volatile sig_atomic_t reads_interrupted = 0;

int read_bounded(int fd, char *buffer, int len, int first_byte_ms, const serial_read_end &done)
{
    // No port (0) must never turn into reading standard input.
    if (fd <= 0) {
        set_error("read", EBADF);
        return -1;
    }
    if (len <= 0)
        return 0;
    last_read_cut_ = false;
    if (reads_interrupted) {
        set_error("read", EINTR);
        return -1;
    }
    const auto start = mono::now();
    const auto total_end = start + std::chrono::milliseconds(PCCOM_READ_TOTAL_CONST_MS +
                                                             PCCOM_READ_TOTAL_PER_BYTE_MS * len);
    auto first_end = total_end;
    if (first_byte_ms >= 0) {
        const line_times &l = line_of(fd);
        first_end = std::min(total_end, std::max(start, l.tx_end) + l.byte +
                                            std::chrono::milliseconds(first_byte_ms));
    }
    const auto interval = std::chrono::milliseconds(PCCOM_READ_INTERVAL_MS);
    int got = 0;
    bool polled = false;
    mono::time_point last;
    while (got < len) {
        const auto end = got > 0 ? std::min(total_end, last + interval) : first_end;
        const int wait = ms_until(end);
        // A read with no first-byte wait still takes what has come.
        if (wait == 0 && (polled || got > 0)) {
            // The total time-out came before the inter-byte one would have.
            last_read_cut_ = got > 0 && total_end < last + interval;
            break;
        }
        polled = true;
        pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR && !reads_interrupted)
                continue;
            set_error("poll", errno);
            return got > 0 ? got : -1;
        }
        if (r == 0)
            continue;
        if (p.revents & POLLNVAL) {
            set_error("read", EBADF);
            return got > 0 ? got : -1;
        }
        const ssize_t n = read(fd, buffer + got, static_cast<size_t>(len - got));
        if (n > 0) {
            got += static_cast<int>(n);
            last = mono::now();
            if (line_.fd == fd)
                line_.rx_last = last;
            if (done && done(buffer, got))
                break;
            continue;
        }
        const int err = n < 0 ? errno : 0;
        const bool gone = (p.revents & (POLLHUP | POLLERR)) != 0;
        if (!gone && (n == 0 || err == EAGAIN || err == EINTR))
            continue;
        // Hang-up (unplugged adapter, closed pty master) or a hard error:
        // fail now rather than spin on a readable-but-dead descriptor. Bytes
        // already received are still delivered; the next read fails.
        set_error("read", err ? err : EIO);
        return got > 0 ? got : -1;
    }
    return got;
}

} // namespace

// ---------------------------------------------------------------------------

void get_pccom_port(char *port)
{
    const int n = strPCCom.device >= 0 && strPCCom.device < PORT_COUNT ? strPCCom.device : 0;
    std::memcpy(port, port_names[n], std::strlen(port_names[n]) + 1);
    std::printf("get_pccom_port: pccom= %s\n", port);
}

void get_pccom_baud(int *baud)
{
    *baud = map_index(baud_by_index, strPCCom.baudrate, 57600);
}

void get_pccom_bytesize(int *bytesize)
{
    *bytesize = map_index(bytesize_by_index, strPCCom.data_bits, 8);
}

void get_pccom_parity(int *parity)
{
    *parity = map_index(parity_by_index, strPCCom.parity, PCCOM_PARITY_NONE);
}

void get_pccom_stopbits(int *stopbits)
{
    *stopbits = map_index(stopbits_by_index, strPCCom.stop_bits, PCCOM_STOPBITS_ONE);
}

void init_pccom()
{
    char port[8];
    int baud, bytesize, parity, stopbits;
    get_pccom_port(port);
    get_pccom_baud(&baud);
    get_pccom_bytesize(&bytesize);
    get_pccom_parity(&parity);
    get_pccom_stopbits(&stopbits);
    strPCCom.fd = CommOpen(port, baud, bytesize, parity, stopbits, 0);
}

// ---------------------------------------------------------------------------

bool serial_apply_settings(termios *t, int baud, int bytesize, int parity, int stopbits)
{
    speed_t speed;
    if (!speed_for(baud, &speed))
        return false;
    if (bytesize < 5 || bytesize > 8 || parity < 0 || parity >= int(parity_flags.size()))
        return false;
    const tcflag_t size = size_flags[bytesize - 5];
    const tcflag_t par = parity_flags[parity];
    if (stopbits != PCCOM_STOPBITS_ONE && stopbits != PCCOM_STOPBITS_TWO)
        return false;

    termios n = *t;
    // Raw mode as cfmakeraw() sets it, written out so that the flags kept
    // from the system (INPCK, CRTSCTS, HUPCL) are visibly left alone.
    // Software flow control goes: it would swallow the bytes 0x11 and 0x13.
    n.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    n.c_oflag &= ~OPOST;
    n.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // CLOCAL: a missing or dropping carrier line must not block or hang up
    // the port; the module's UART has no such line.
    n.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    n.c_cflag |= size | par | CREAD | CLOCAL;
    if (stopbits == PCCOM_STOPBITS_TWO)
        n.c_cflag |= CSTOPB;
    // Reads never block in the driver; CommRead times them with poll().
    n.c_cc[VMIN] = 0;
    n.c_cc[VTIME] = 0;
    cfsetispeed(&n, speed);
    cfsetospeed(&n, speed);
    *t = n;
    return true;
}

std::vector<std::string> serial_list_devices(const std::string &root)
{
    std::vector<std::string> out;
    const std::string dev = root + "/dev";
    for (const char *prefix : {"ttyUSB", "ttyACM"})
        for (long n : numbered_entries(dev, prefix))
            out.push_back(dev + "/" + prefix + std::to_string(n));
    for (long n : numbered_entries(dev, "ttyS"))
        if (tty_s_has_hardware(root, n))
            out.push_back(dev + "/ttyS" + std::to_string(n));
    return out;
}

std::string serial_resolve_port(const char *name, const std::string &root)
{
    if (!name)
        return "";
    if (name[0] == '/')
        return name;
    if (std::strncmp(name, "COM", 3) != 0 || !is_digits(name + 3) || std::strlen(name) > 5)
        return "";
    const int n = std::atoi(name + 3);
    if (n < 1 || n > PORT_COUNT)
        return "";
    const char *env = std::getenv(("MODCFG_" + std::string(name)).c_str());
    if (env && *env)
        return env;
    const auto devices = serial_list_devices(root);
    return n <= static_cast<int>(devices.size()) ? devices[n - 1] : "";
}

std::string serial_permission_hint(const std::string &device)
{
    std::string owner;
    struct stat st;
    const bool known = stat(device.c_str(), &st) == 0;
    // A node its group may not open (mode 0600): no group to join helps.
    if (known && (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        const struct passwd *u = getpwuid(st.st_uid);
        return "No permission to open " + device + ": only its owner" +
               (u ? " '" + std::string(u->pw_name) + "'" : std::string()) +
               " may open it (no group to join; a udev rule can give it a group)";
    }
    if (known)
        if (const struct group *g = getgrgid(st.st_gid))
            owner = g->gr_name;
    std::string hint = "No permission to open " + device + ": the user must be in the group ";
    if (owner.empty())
        hint += "that owns it (dialout on Debian)";
    else
        hint += "'" + owner + "' that owns it";
    return hint + " (usermod -aG <group> <user>, then log in again)";
}

int serial_port_baud(int fd, const termios &t)
{
    const speed_t speed = cfgetospeed(&t);
    for (const auto &s : speeds)
        if (s.second == speed)
            return s.first;
    for (const auto &s : other_speeds)
        if (s.second == speed)
            return s.first;
#if KERNEL_TERMIOS2
    // BOTHER: a rate no B constant stands for; the kernel keeps it in bit/s.
    kernel_termios2 k;
    if (speed == kernel_bother && ioctl(fd, kernel_tcgets2, &k) == 0)
        return static_cast<int>(k.c_ospeed);
#else
    (void)fd;
#endif
    return 0;
}

int serial_last_errno()
{
    return last_errno_;
}
std::string serial_last_error()
{
    return last_error_;
}

// ---------------------------------------------------------------------------

int CommOpen(const char *Port, int nBaud, int nByteSize, int nParity, int nStopBits, int nFlag)
{
    (void)nFlag; // every call is synchronous here
    const std::string name = Port ? Port : "";
    const std::string device = serial_resolve_port(name.c_str());
    if (device.empty()) {
        std::printf("%s: no serial device for this port (set MODCFG_%s to a device path)\n",
                    name.c_str(), name.c_str());
        set_error("open " + name, ENOENT);
        return open_failed(device, ENOENT);
    }
    std::printf("%s -> %s\n", name.c_str(), device.c_str());

    // O_NONBLOCK: the open must not wait for a carrier; CommRead and
    // CommWrite bound every wait themselves.
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        set_error("open " + device, err);
        return open_failed(device, err);
    }
    if (fd == 0) {
        // 0 means "no port" to every caller; move the descriptor out of the way.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int err = errno;
        close(fd);
        if (moved < 0) {
            set_error("fcntl " + device, err);
            return open_failed(device, err);
        }
        fd = moved;
    }
    // Exclusive use: flock keeps out every other flock user, root included;
    // TIOCEXCL keeps out plain opens, except by root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        set_error("flock " + device + " (in use)", errno);
        release(fd, false);
        return open_failed(device, last_errno_);
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        set_error("TIOCEXCL " + device, errno);
        release(fd, false);
        return open_failed(device, last_errno_);
    }
    // The 1024-byte input and output queues asked for elsewhere have no
    // counterpart here: the tty driver sizes its own buffers (4 KiB and more).
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        set_error("tcgetattr " + device, errno);
        release(fd, true);
        return open_failed(device, last_errno_);
    }
    if (!serial_apply_settings(&t, nBaud, nByteSize, nParity, nStopBits)) {
        set_error("settings " + std::to_string(nBaud) + "," + std::to_string(nByteSize) + "," +
                      std::to_string(nParity) + "," + std::to_string(nStopBits),
                  EINVAL);
        release(fd, true);
        return open_failed(device, EINVAL);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        set_error("tcsetattr " + device, errno);
        release(fd, true);
        return open_failed(device, last_errno_);
    }
    // tcsetattr succeeds when any part was taken. USB-serial drivers round
    // a rate their divisor cannot make; the port stays open with what the
    // driver kept, and the operator is told, since the module must then run
    // at that rate too. (Data bits and parity are not compared: a pty forces
    // 8 bits without parity.)
    termios got;
    if (tcgetattr(fd, &got) != 0) {
        set_error("tcgetattr " + device, errno);
        release(fd, true);
        return open_failed(device, last_errno_);
    }
    // Compared as rates: a driver may also hand the very rate asked for
    // back as BOTHER.
    const int kept = serial_port_baud(fd, got);
    if (kept > 0 && kept != nBaud)
        std::printf("%s: the driver set %d baud instead of %d\n", device.c_str(), kept, nBaud);
    else if (kept == 0)
        std::printf("%s: the driver did not keep %d baud and names no rate it set instead\n",
                    device.c_str(), nBaud);
    tcflush(fd, TCIOFLUSH);
    std::fflush(stdout);
    return fd;
}

int CommRead(int fd, char *buffer, int len)
{
    return read_bounded(fd, buffer, len, -1, nullptr);
}

int CommReadUntil(int fd, char *buffer, int len, int first_byte_ms, const serial_read_end &done)
{
    return read_bounded(fd, buffer, len, first_byte_ms, done);
}

bool serial_last_read_cut()
{
    return last_read_cut_;
}

int serial_drop_waiting(int fd)
{
    if (fd <= 0)
        return -1;
    // Bounded: a module streaming without pause must not hold the caller.
    constexpr int max_reads = 16;
    char buf[256];
    int dropped = 0;
    for (int i = 0; i < max_reads; i++) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            dropped += static_cast<int>(n);
            if (line_.fd == fd)
                line_.rx_last = mono::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: nothing more waiting; a hang-up shows in the next read
    }
    return dropped;
}

long serial_quiet_ms(int fd)
{
    const line_times &l = line_of(fd);
    const auto since = mono::now() - std::max(l.tx_end, l.rx_last);
    return since.count() > 0
               ? static_cast<long>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(since).count())
               : 0;
}

void serial_interrupt_reads()
{
    reads_interrupted = 1;
}

bool serial_reads_interrupted()
{
    return reads_interrupted != 0;
}

int CommWrite(int fd, const char *buffer, int len)
{
    if (fd <= 0) {
        set_error("write", EBADF);
        std::printf("uart write failed!\n");
        std::fflush(stdout);
        return -1;
    }
    if (len <= 0)
        return 0;
    // Nothing to clear first: a tty keeps no sticky error state that blocks
    // writing (line errors arrive in the input, as termios says).
    const auto end = mono::now() + std::chrono::milliseconds(PCCOM_WRITE_TOTAL_CONST_MS +
                                                             PCCOM_WRITE_TOTAL_PER_BYTE_MS * len);
    int done = 0;
    while (done < len) {
        const ssize_t n = write(fd, buffer + done, static_cast<size_t>(len - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            set_error("write", errno);
            break;
        }
        // Output queue full: wait for room until the deadline.
        const int wait = ms_until(end);
        if (wait == 0) {
            set_error("write", ETIMEDOUT);
            break;
        }
        pollfd p = {fd, POLLOUT, 0};
        const int r = poll(&p, 1, wait);
        if (r < 0 && errno != EINTR) {
            set_error("poll", errno);
            break;
        }
        if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            set_error("write", (p.revents & POLLNVAL) ? EBADF : EIO);
            break;
        }
    }
    if (done < len) {
        std::printf("uart write failed!\n");
        std::fflush(stdout);
        return -1;
    }
    line_times &l = line_of(fd);
    l.tx_end = std::max(mono::now(), l.tx_end) + l.byte * len;
    return len;
}

int CommClose(int fd)
{
    if (fd == 0)
        return 1;
    // TIOCEXCL outlives close() while another descriptor holds the tty.
    ioctl(fd, TIOCNXCL);
    close(fd);
    if (line_.fd == fd)
        line_ = line_times{};
    return 1;
}
