// The serial layer: selection maps, the termios it builds, port-name
// resolution, and open/read/write/close on pseudo-terminal pairs.
#include "pccom.h"
#include "pty_pair.h"
#include "temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// A USB-serial driver that rounds a rate its divisor cannot make: while
// `from` is set, settings read back from any port hold `to` where the
// port has `from`. (A pty keeps any rate it is given.)
namespace driver_rounding
{
speed_t from = 0;
speed_t to = 0;
} // namespace driver_rounding

extern "C" int tcgetattr(int fd, struct termios *t)
{
    static auto real = reinterpret_cast<int (*)(int, struct termios *)>(dlsym(RTLD_NEXT, __func__));
    const int r = real(fd, t);
    if (r == 0 && driver_rounding::from != 0 && cfgetospeed(t) == driver_rounding::from) {
        cfsetospeed(t, driver_rounding::to);
        cfsetispeed(t, driver_rounding::to);
    }
    return r;
}

namespace
{

using clk = std::chrono::steady_clock;

int open_pty_port(const pty_pair &pty)
{
    return CommOpen(pty.slave_path().c_str(), 57600, 8, PCCOM_PARITY_NONE, PCCOM_STOPBITS_ONE, 0);
}

// Waits (up to a second) until `n` bytes sit in the input queue of `fd`.
bool wait_queued(int fd, int n)
{
    for (auto start = clk::now(); ms_since(start) < 1000;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// ---------------------------------------------------------------------------
// Selection maps

struct map_case {
    signed char index;
    int expected;
};

TEST(PcComMaps, SettingsAndFallbacks)
{
    const map_case baud[] = {{0, 50},     {1, 75},      {3, 134},     {9, 1800},    {12, 9600},
                             {15, 57600}, {16, 115200}, {17, 57600},  {18, 57600},  {19, 57600},
                             {20, 57600}, {-1, 57600},  {127, 57600}, {-128, 57600}};
    for (const auto &c : baud) {
        strPCCom.baudrate = c.index;
        int v = -1;
        get_pccom_baud(&v);
        EXPECT_EQ(v, c.expected) << "baud index " << int(c.index);
    }
    const map_case bits[] = {{0, 5}, {1, 6}, {2, 7}, {3, 8}, {4, 8}, {-1, 8}};
    for (const auto &c : bits) {
        strPCCom.data_bits = c.index;
        int v = -1;
        get_pccom_bytesize(&v);
        EXPECT_EQ(v, c.expected) << "data-bit index " << int(c.index);
    }
    const map_case parity[] = {
        {0, PCCOM_PARITY_NONE}, {1, PCCOM_PARITY_ODD},  {2, PCCOM_PARITY_EVEN}, {3, 3}, {4, 4},
        {5, PCCOM_PARITY_NONE}, {-1, PCCOM_PARITY_NONE}};
    for (const auto &c : parity) {
        strPCCom.parity = c.index;
        int v = -1;
        get_pccom_parity(&v);
        EXPECT_EQ(v, c.expected) << "parity index " << int(c.index);
    }
    const map_case stop[] = {{0, 0}, {1, 2}, {2, 0}, {-1, 0}};
    for (const auto &c : stop) {
        strPCCom.stop_bits = c.index;
        int v = -1;
        get_pccom_stopbits(&v);
        EXPECT_EQ(v, c.expected) << "stop-bit index " << int(c.index);
    }
}

TEST(PcComMaps, PortNamesArePrinted)
{
    const struct {
        signed char index;
        const char *name;
    } cases[] = {{0, "COM1"},  {8, "COM9"},  {11, "COM12"},
                 {12, "COM1"}, {-1, "COM1"}, {100, "COM1"}};
    for (const auto &c : cases) {
        strPCCom.device = c.index;
        char port[8];
        std::memset(port, '#', sizeof port);
        testing::internal::CaptureStdout();
        get_pccom_port(port);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_STREQ(port, c.name) << int(c.index);
        EXPECT_EQ(port[7], '#') << "wrote past the 6 bytes the port name may take";
        EXPECT_EQ(out, std::string("get_pccom_port: pccom= ") + c.name + "\n");
    }
}

// ---------------------------------------------------------------------------
// The termios the layer builds (a pty would force 8N1, so check it here).

TEST(SerialSettings, LineSettings)
{
    const struct {
        int baud, bits, parity, stop;
        speed_t speed;
        tcflag_t cflags; // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    } cases[] = {
        {57600, 8, PCCOM_PARITY_NONE, PCCOM_STOPBITS_ONE, B57600, CS8},
        {9600, 7, PCCOM_PARITY_EVEN, PCCOM_STOPBITS_ONE, B9600, CS7 | PARENB},
        {50, 6, PCCOM_PARITY_ODD, PCCOM_STOPBITS_TWO, B50, CS6 | PARENB | PARODD | CSTOPB},
        {115200, 5, PCCOM_PARITY_MARK, PCCOM_STOPBITS_ONE, B115200, CS5 | PARENB | CMSPAR | PARODD},
        {1800, 8, PCCOM_PARITY_SPACE, PCCOM_STOPBITS_TWO, B1800, CS8 | PARENB | CMSPAR | CSTOPB},
    };
    const tcflag_t line = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const auto &c : cases) {
        // Start from a cooked line with the opposite of everything set.
        termios t{};
        t.c_iflag = ICRNL | IXON | IXOFF | INPCK;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag = (line & ~c.cflags) | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        ASSERT_TRUE(serial_apply_settings(&t, c.baud, c.bits, c.parity, c.stop)) << c.baud;
        EXPECT_EQ(t.c_cflag & line, c.cflags) << c.baud;
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.baud;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.baud;
        // Raw: bytes pass untouched, reads are timed by the layer.
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        // The system's parity checking is left as it was.
        EXPECT_NE(t.c_iflag & INPCK, 0u);
    }
}

TEST(SerialSettings, KeepsFlowControlAndHangupAsTheSystemHadThem)
{
    for (tcflag_t kept :
         {tcflag_t(0), tcflag_t(CRTSCTS), tcflag_t(HUPCL), tcflag_t(CRTSCTS | HUPCL)}) {
        termios t{};
        t.c_cflag = CS8 | CREAD | kept;
        ASSERT_TRUE(serial_apply_settings(&t, 57600, 8, PCCOM_PARITY_NONE, PCCOM_STOPBITS_ONE));
        EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL), kept);
    }
}

TEST(SerialSettings, RefusesWhatItCannotSet)
{
    const struct {
        int baud, bits, parity, stop;
    } cases[] = {{345600, 8, 0, 0}, {0, 8, 0, 0},     {14400, 8, 0, 0},  {57600, 4, 0, 0},
                 {57600, 9, 0, 0},  {57600, 8, 5, 0}, {57600, 8, -1, 0}, {57600, 8, 0, 1}};
    for (const auto &c : cases) {
        termios t{};
        t.c_cflag = CS7 | PARENB;
        t.c_lflag = ICANON;
        const termios before = t;
        EXPECT_FALSE(serial_apply_settings(&t, c.baud, c.bits, c.parity, c.stop))
            << c.baud << " " << c.bits << " " << c.parity << " " << c.stop;
        EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << "changed on refusal";
    }
}

// ---------------------------------------------------------------------------
// Port names

TEST(SerialNames, DevicesInStableOrderUnderAFakeTree)
{
    temp_cwd dir;
    const std::string root = dir.path();
    mkdir("dev", 0755);
    for (const char *node : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyACM1", "ttyS0", "ttyS1", "ttyS2",
                             "ttyS3", "ttyS12", "ttySAC0", "ttyUSBx", "tty0", "ttyACM"})
        write_file(std::string("dev/") + node, "");
    system("mkdir -p sys/class/tty/ttyS0/device sys/class/tty/ttyS1/device "
           "sys/class/tty/ttyS2 sys/class/tty/ttyS3/device sys/class/tty/ttyS12/device");
    write_file("sys/class/tty/ttyS0/type", "4\n");  // 16550A
    write_file("sys/class/tty/ttyS1/type", "0\n");  // slot without a UART
    write_file("sys/class/tty/ttyS2/type", "4\n");  // no device behind it
    write_file("sys/class/tty/ttyS12/type", "4\n"); // ttyS3 has no type file: counted

    const std::vector<std::string> expected = {
        root + "/dev/ttyUSB2", root + "/dev/ttyUSB10", root + "/dev/ttyACM0", root + "/dev/ttyACM1",
        root + "/dev/ttyS0",   root + "/dev/ttyS3",    root + "/dev/ttyS12"};
    EXPECT_EQ(serial_list_devices(root), expected);

    unsetenv("MODCFG_COM1");
    unsetenv("MODCFG_COM7");
    unsetenv("MODCFG_COM8");
    EXPECT_EQ(serial_resolve_port("COM1", root), root + "/dev/ttyUSB2");
    EXPECT_EQ(serial_resolve_port("COM5", root), root + "/dev/ttyS0");
    EXPECT_EQ(serial_resolve_port("COM7", root), root + "/dev/ttyS12");
    EXPECT_EQ(serial_resolve_port("COM8", root), "");
    for (const char *bad : {"COM0", "COM13", "COM", "COMx", "com1", "COM1 ", "COM001", ""})
        EXPECT_EQ(serial_resolve_port(bad, root), "") << bad;
    EXPECT_EQ(serial_resolve_port("/dev/elsewhere", root), "/dev/elsewhere");

    // The environment names the device first; an empty value does not count.
    setenv("MODCFG_COM1", "/dev/my-adapter", 1);
    setenv("MODCFG_COM8", "/dev/ttyX", 1);
    EXPECT_EQ(serial_resolve_port("COM1", root), "/dev/my-adapter");
    EXPECT_EQ(serial_resolve_port("COM8", root), "/dev/ttyX");
    setenv("MODCFG_COM1", "", 1);
    EXPECT_EQ(serial_resolve_port("COM1", root), root + "/dev/ttyUSB2");
    unsetenv("MODCFG_COM1");
    unsetenv("MODCFG_COM8");
}

// ---------------------------------------------------------------------------
// Open and close

TEST(SerialOpen, FailedOpenPrintsOnceAndLeavesNoHandle)
{
    temp_cwd dir;
    write_file("plain-file", "not a tty");
    const struct {
        const char *device; // value of MODCFG_COM1
        int err;
    } cases[] = {{"/nonexistent/ttyUSB9", ENOENT}, {"plain-file", ENOTTY}};
    for (const auto &c : cases) {
        setenv("MODCFG_COM1", c.device, 1);
        strPCCom.device = 0;
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        strPCCom.parity = 0;
        strPCCom.stop_bits = 0;
        strPCCom.fd = 55;
        testing::internal::CaptureStdout();
        init_pccom();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(strPCCom.fd, 0) << c.device;
        EXPECT_EQ(count_of(out, "Can not open the serial port\n"), 1) << out;
        EXPECT_NE(out.find(c.device), std::string::npos) << "device not named: " << out;
        EXPECT_EQ(serial_last_errno(), c.err) << serial_last_error();
        EXPECT_NE(serial_last_error().find(std::strerror(c.err)), std::string::npos);
    }
    unsetenv("MODCFG_COM1");

    // A name that maps onto no device fails the same way.
    unsetenv("MODCFG_COM12");
    testing::internal::CaptureStdout();
    const int fd = CommOpen("COM12", 57600, 8, 0, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    if (serial_resolve_port("COM12").empty()) {
        EXPECT_EQ(fd, 0);
        EXPECT_EQ(count_of(out, "Can not open the serial port\n"), 1) << out;
        EXPECT_NE(out.find("MODCFG_COM12"), std::string::npos) << out;
    } else {
        CommClose(fd); // a machine with twelve serial ports
    }
}

TEST(SerialOpen, OpensThroughTheEnvironmentAndPrintsTheDevice)
{
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    setenv("MODCFG_COM3", pty.slave_path().c_str(), 1);
    strPCCom.device = 2;
    strPCCom.baudrate = 12;
    testing::internal::CaptureStdout();
    init_pccom();
    const std::string out = testing::internal::GetCapturedStdout();
    unsetenv("MODCFG_COM3");
    ASSERT_GT(strPCCom.fd, 0) << serial_last_error();
    EXPECT_EQ(out, "get_pccom_port: pccom= COM3\nCOM3 -> " + pty.slave_path() + "\n");
    termios t;
    ASSERT_EQ(tcgetattr(strPCCom.fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(CommClose(strPCCom.fd), 1);
}

TEST(SerialOpen, HighListRatesOpenAt57600)
{
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    setenv("MODCFG_COM1", pty.slave_path().c_str(), 1);
    strPCCom.device = 0;
    const struct {
        signed char index;
        speed_t speed;
    } cases[] = {{16, B115200}, {17, B57600}, {18, B57600}, {19, B57600}, {0, B50}};
    for (const auto &c : cases) {
        strPCCom.baudrate = c.index;
        testing::internal::CaptureStdout();
        init_pccom();
        testing::internal::GetCapturedStdout();
        ASSERT_GT(strPCCom.fd, 0) << serial_last_error();
        termios t;
        ASSERT_EQ(tcgetattr(strPCCom.fd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed) << int(c.index);
        CommClose(strPCCom.fd);
    }
    unsetenv("MODCFG_COM1");
}

TEST(SerialOpen, RateTheDriverRoundedKeepsThePortOpenAndNamesIt)
{
    const struct {
        int asked;
        speed_t asked_speed, kept_speed;
        const char *line; // after the device path; "" for none
    } rows[] = {
        {1800, B1800, B2400, ": the driver set 2400 baud instead of 1800\n"},
        {57600, B57600, B38400, ": the driver set 38400 baud instead of 57600\n"},
        {115200, B115200, B921600, ": the driver set 921600 baud instead of 115200\n"},
        {9600, B1800, B2400, ""}, // the rate asked for was kept
    };
    for (const auto &r : rows) {
        pty_pair pty;
        ASSERT_TRUE(pty.ok());
        driver_rounding::from = r.asked_speed;
        driver_rounding::to = r.kept_speed;
        testing::internal::CaptureStdout();
        const int fd = CommOpen(pty.slave_path().c_str(), r.asked, 8, PCCOM_PARITY_NONE,
                                PCCOM_STOPBITS_ONE, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        driver_rounding::from = 0;
        ASSERT_GT(fd, 0) << r.asked << ": " << serial_last_error() << "\n" << out;
        const std::string opened = pty.slave_path() + " -> " + pty.slave_path() + "\n";
        EXPECT_EQ(out, opened + (*r.line ? pty.slave_path() + r.line : "")) << r.asked;
        // The port is usable as it is.
        ASSERT_EQ(CommWrite(fd, "AT+\n", 4), 4);
        EXPECT_EQ(pty.recv(4, 1000), "AT+\n");
        CommClose(fd);
    }
}

// A rate no B constant names (BOTHER) is read from the kernel's own record.
TEST(SerialOpen, PortRateWithoutABConstantIsNamed)
{
    struct termios2_copy {
        tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
        cc_t c_line;
        cc_t c_cc[19];
        speed_t c_ispeed, c_ospeed;
    };
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    termios2_copy k;
    ASSERT_EQ(ioctl(pty.slave(), _IOR('T', 0x2A, termios2_copy), &k), 0);
    k.c_cflag = (k.c_cflag & ~tcflag_t(CBAUD)) | 0010000; // BOTHER
    k.c_ispeed = k.c_ospeed = 250000;
    ASSERT_EQ(ioctl(pty.slave(), _IOW('T', 0x2B, termios2_copy), &k), 0);
    termios t;
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(serial_port_baud(pty.slave(), t), 250000);
    cfsetospeed(&t, B460800);
    EXPECT_EQ(serial_port_baud(pty.slave(), t), 460800);
}

TEST(SerialOpen, NeverReturnsDescriptorZero)
{
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    close(0); // the next open() would get descriptor 0
    testing::internal::CaptureStdout();
    const int fd = open_pty_port(pty);
    testing::internal::GetCapturedStdout();
    const bool zero_free = fcntl(0, F_GETFD) == -1;
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_GE(fd, 3) << serial_last_error();
    EXPECT_TRUE(zero_free) << "descriptor 0 left open";
    CommClose(fd);
}

TEST(SerialOpen, CloseIgnoresZeroAndClosesTheHandle)
{
    EXPECT_EQ(CommClose(0), 1);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "CommClose(0) closed standard input";
    // No port: reads and writes fail instead of using standard input.
    char buf[4];
    EXPECT_EQ(CommRead(0, buf, 4), -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CommWrite(0, "AT+\n", 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "uart write failed!\n");
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    testing::internal::CaptureStdout();
    const int fd = open_pty_port(pty);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(fd, 0);
    EXPECT_EQ(CommClose(fd), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(SerialOpen, SecondOpenOfTheSamePortFailsUntilClosed)
{
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    testing::internal::CaptureStdout();
    const int first = open_pty_port(pty);
    const int second = open_pty_port(pty);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GT(first, 0) << serial_last_error();
    EXPECT_EQ(second, 0);
    EXPECT_EQ(count_of(out, "Can not open the serial port\n"), 1) << out;
    // The first holder is not disturbed by the refused open.
    ASSERT_TRUE(pty.send("ok"));
    char buf[4];
    EXPECT_EQ(CommRead(first, buf, 2), 2);

    CommClose(first);
    testing::internal::CaptureStdout();
    const int again = open_pty_port(pty);
    testing::internal::GetCapturedStdout();
    EXPECT_GT(again, 0) << "the lock outlived the close: " << serial_last_error();
    CommClose(again);
}

// errno of a plain open() of `path` by a user other than root: in a child
// that gives up root when we are root (root passes TIOCEXCL).
int plain_open_errno(const std::string &path)
{
    if (geteuid() != 0) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        return errno;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(200);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SerialOpen, PlainOpensAreKeptOutWhileHeld)
{
    pty_pair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(fchmod(pty.slave(), 0666), 0); // so that only TIOCEXCL can refuse
    ASSERT_EQ(plain_open_errno(pty.slave_path()), 0);
    testing::internal::CaptureStdout();
    const int fd = open_pty_port(pty);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(fd, 0);
    EXPECT_EQ(plain_open_errno(pty.slave_path()), EBUSY);
    CommClose(fd);
    // pty.slave() still holds the tty: without TIOCNXCL the flag would stay.
    EXPECT_EQ(plain_open_errno(pty.slave_path()), 0);
}

TEST(SerialOpen, PermissionRefusalNamesDeviceAndGroup)
{
    temp_cwd dir;
    write_file("dev-file", "");
    const std::string device = dir.path() + "/dev-file";
    // Mode 0600: only the owner opens it, whatever groups one joins.
    ASSERT_EQ(chmod(device.c_str(), 0600), 0);
    EXPECT_NE(serial_permission_hint(device).find("only its owner"), std::string::npos)
        << serial_permission_hint(device);
    EXPECT_EQ(serial_permission_hint(device).find("usermod"), std::string::npos);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    EXPECT_NE(serial_permission_hint(device).find(device), std::string::npos);
    EXPECT_NE(serial_permission_hint(device).find("'root'"), std::string::npos)
        << serial_permission_hint(device); // temp files here belong to group root
    EXPECT_NE(serial_permission_hint("/nonexistent/tty").find("dialout"), std::string::npos);

    // The whole path: an open refused for permission prints both lines.
    pty_pair pty; // a pts is rw for its owner and w for group tty only
    ASSERT_TRUE(pty.ok());
    std::string target = pty.slave_path();
    if (geteuid() != 0) {
        chmod(device.c_str(), 0);
        target = device;
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(200);
        const int fd = CommOpen(target.c_str(), 57600, 8, 0, 0, 0);
        _exit(fd == 0 && (serial_last_errno() == EACCES || serial_last_errno() == EPERM) ? 0 : 1);
    }
    close(pipefd[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("Can not open the serial port\n"), std::string::npos) << out;
    EXPECT_NE(out.find("No permission to open " + target), std::string::npos) << out;
    EXPECT_NE(out.find("group"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// Reading and writing

class SerialIo : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.ok());
        testing::internal::CaptureStdout();
        fd = open_pty_port(pty);
        testing::internal::GetCapturedStdout();
        ASSERT_GT(fd, 0) << serial_last_error();
    }
    void TearDown() override { CommClose(fd); }

    pty_pair pty;
    int fd = 0;
};

TEST_F(SerialIo, BytesPassVerbatimBothWays)
{
    std::string all;
    for (int b = 0; b < 256; b++)
        all += static_cast<char>(b);
    all += "\r\n\n\r+++\x03\x11\x13\x7f";
    ASSERT_TRUE(pty.send(all));
    std::string got(all.size(), '\0');
    ASSERT_EQ(CommRead(fd, &got[0], static_cast<int>(got.size())), static_cast<int>(all.size()));
    EXPECT_EQ(got, all);

    ASSERT_EQ(CommWrite(fd, all.data(), static_cast<int>(all.size())),
              static_cast<int>(all.size()));
    EXPECT_EQ(pty.recv(all.size(), 2000), all);
    EXPECT_EQ(pty.recv_quiet(50), "") << "the line echoed or added bytes";
}

TEST_F(SerialIo, OpenDiscardsStaleInput)
{
    ASSERT_TRUE(pty.send("stale"));
    ASSERT_TRUE(wait_queued(fd, 5));
    testing::internal::CaptureStdout();
    CommClose(fd);
    fd = open_pty_port(pty);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(fd, 0);
    char buf[8];
    EXPECT_EQ(CommRead(fd, buf, 5), 0);
}

TEST_F(SerialIo, ReadEndsWhenLenBytesArrived)
{
    ASSERT_TRUE(pty.send("0123456789abc"));
    char buf[16];
    const auto start = clk::now();
    ASSERT_EQ(CommRead(fd, buf, 10), 10);
    EXPECT_LT(ms_since(start), 50);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    ASSERT_EQ(CommRead(fd, buf, 3), 3); // the rest stays for the next read
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(SerialIo, ReadWithNothingArrivingTakesTheTotalTime)
{
    for (int len : {5, 10}) {
        char buf[16];
        const auto start = clk::now();
        EXPECT_EQ(CommRead(fd, buf, len), 0);
        const long took = ms_since(start);
        const long expected = 200 + 50 * len;
        EXPECT_GE(took, expected - 2) << len;
        EXPECT_LE(took, expected + 50) << len;
    }
}

TEST_F(SerialIo, ReadEndsTwoHundredMsAfterTheLastByte)
{
    // Bytes at about 100 and 250 ms: the interval restarts with each byte.
    clk::time_point last_sent;
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pty.send("c");
        last_sent = clk::now();
    });
    char buf[20];
    const int n = CommRead(fd, buf, 20);
    const auto end = clk::now();
    device.join();
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    const long after_last = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - last_sent).count());
    EXPECT_GE(after_last, 195);
    EXPECT_LE(after_last, 250);
}

TEST_F(SerialIo, ReadOfATrickleEndsAtTheTotalTime)
{
    // One byte every 100 ms never lets the 200 ms interval pass; the total
    // of 200 + 50 x 10 ms ends the read with what came so far.
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            pty.send("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    char buf[10];
    const auto start = clk::now();
    const int n = CommRead(fd, buf, 10);
    const long took = ms_since(start);
    stop = true;
    device.join();
    EXPECT_GE(n, 5);
    EXPECT_LT(n, 10);
    EXPECT_GE(took, 698);
    EXPECT_LE(took, 750);
}

TEST_F(SerialIo, WriteGivesUpAtItsDeadline)
{
    // Output suspended, as by a device holding off with flow control.
    ASSERT_EQ(tcflow(fd, TCOOFF), 0);

    testing::internal::CaptureStdout();
    const auto start = clk::now();
    const int n = CommWrite(fd, "abc", 3);
    const long took = ms_since(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(out, "uart write failed!\n");
    EXPECT_GE(took, 348);
    EXPECT_LE(took, 400);
    EXPECT_EQ(serial_last_errno(), ETIMEDOUT);
}

TEST_F(SerialIo, WriteWaitsForRoomWithinItsDeadline)
{
    ASSERT_EQ(tcflow(fd, TCOOFF), 0);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        tcflow(pty.slave(), TCOON);
    });
    const auto start = clk::now();
    const int n = CommWrite(fd, "abc", 3);
    const long took = ms_since(start);
    device.join();
    EXPECT_EQ(n, 3);
    EXPECT_GE(took, 145);
    EXPECT_EQ(pty.recv(3, 1000), "abc");
}

TEST_F(SerialIo, LongWriteGoesOutWhole)
{
    // More than the pty takes at once: the write goes on in parts.
    std::string big;
    for (int i = 0; i < 40000; i++)
        big += static_cast<char>('a' + i % 26);
    std::string got;
    std::thread device([&] { got = pty.recv(big.size(), 10000); });
    EXPECT_EQ(CommWrite(fd, big.data(), static_cast<int>(big.size())),
              static_cast<int>(big.size()));
    device.join();
    EXPECT_TRUE(got == big) << got.size() << " bytes arrived";
}

TEST_F(SerialIo, VanishedDeviceFailsReadsAndWritesAtOnce)
{
    pty.close_master(); // as an unplugged adapter
    char buf[100];
    auto start = clk::now();
    EXPECT_EQ(CommRead(fd, buf, 100), -1);
    EXPECT_LT(ms_since(start), 100) << "the read waited instead of failing";

    testing::internal::CaptureStdout();
    start = clk::now();
    EXPECT_EQ(CommWrite(fd, "AT+\n", 4), -1);
    EXPECT_LT(ms_since(start), 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "uart write failed!\n");
}

} // namespace
