// Serial devices and their sysfs details for "modcfg ports"; the ports a
// run is given, resolved and opened once before any module is touched.
#include "cli_ports.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_text.h"
#include "pccom.h"

#include <cerrno>
#include <glib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

std::string first_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string real(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

std::string base(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void add_sysfs(cli_port_info &p, const std::string &root)
{
    // A MODCFG_COMn may name a symbolic link; sysfs knows the real node.
    std::string node = real(p.device);
    if (node.empty())
        node = p.device;
    if (!root.empty() && node.compare(0, root.size(), root) == 0)
        node = node.substr(root.size());
    const std::string dev = real(root + "/sys/class/tty/" + base(node) + "/device");
    if (dev.empty())
        return;
    p.driver = base(real(dev + "/driver"));
    // The USB device is the nearest parent that has vendor and product ids.
    for (std::string d = dev; d.size() > 1; d = d.substr(0, d.rfind('/'))) {
        struct stat st;
        if (stat((d + "/idVendor").c_str(), &st) == 0) {
            p.vendor_id = first_line(d + "/idVendor");
            p.product_id = first_line(d + "/idProduct");
            p.manufacturer = first_line(d + "/manufacturer");
            p.product = first_line(d + "/product");
            p.serial = first_line(d + "/serial");
            break;
        }
        if (d.rfind('/') == std::string::npos)
            break;
    }
}

} // namespace

std::vector<cli_port_info> cli_list_ports(const std::string &root)
{
    std::vector<cli_port_info> ports;
    auto find = [&](const std::string &device) -> cli_port_info & {
        for (auto &p : ports)
            if (p.device == device)
                return p;
        ports.push_back(cli_port_info{});
        ports.back().device = device;
        return ports.back();
    };
    for (const auto &d : serial_list_devices(root))
        find(d);
    for (int n = 1; n <= 12; n++) {
        const std::string name = "COM" + std::to_string(n);
        const std::string device = serial_resolve_port(name.c_str(), root);
        if (!device.empty())
            find(device).names.push_back(name);
    }
    for (auto &p : ports) {
        struct stat st;
        p.missing = stat(p.device.c_str(), &st) != 0;
        add_sysfs(p, root);
    }
    return ports;
}

int cli_com_number(const std::string &name)
{
    if (name.size() < 4 || name.size() > 5 || g_ascii_strncasecmp(name.c_str(), "COM", 3) != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos)
        return 0;
    const int n = std::atoi(name.c_str() + 3);
    return n >= 1 && n <= 12 ? n : 0;
}

std::string cli_resolve_port(const std::string &name)
{
    const int com = cli_com_number(name);
    if (com > 0)
        return serial_resolve_port(("COM" + std::to_string(com)).c_str());
    if (name.empty() || name[0] == '/')
        return name;
    // A relative path ("./t/m1", "pts/1") from the working directory first,
    // then under /dev.
    struct stat st;
    char cwd[PATH_MAX];
    if (stat(name.c_str(), &st) == 0)
        return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : name;
    if (stat(("/dev/" + name).c_str(), &st) == 0)
        return "/dev/" + name;
    return "";
}

int cli_ports_resolve(const std::string &command, const std::vector<std::string> &names,
                      std::vector<std::string> *devices)
{
    // One device under two names (a link, "COM1" and its path, a port given
    // twice) would be two workers on one module: bad usage, found before any
    // port is opened.
    devices->clear();
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto &p : names) {
        const std::string device = cli_resolve_port(p);
        devices->push_back(device);
        struct stat st;
        if (device.empty() || stat(device.c_str(), &st) != 0)
            continue; // missing: said when it is opened
        // A regular file or a FIFO has no device number of its own.
        const std::string id =
            S_ISCHR(st.st_mode) ? "c" + std::to_string(st.st_rdev)
                                : "f" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        for (const auto &d : seen)
            if (d.first == id) {
                cli_usage_error(command,
                                cli_format(cli_gettext("%s and %s are the same device"),
                                           cli_printable(p).c_str(), cli_printable(d.second).c_str()));
                return CLI_EXIT_USAGE;
            }
        seen.emplace_back(id, p);
    }
    return 0;
}

std::string cli_port_unfit(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
        return cli_gettext("not a serial port");
    return "";
}

std::string cli_port_holder(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return "";
    // A flock: /proc/locks names its process by the node's device and inode.
    std::ifstream locks("/proc/locks");
    std::string line;
    long pid = 0;
    while (pid == 0 && std::getline(locks, line)) {
        char type[16];
        long who;
        unsigned maj, min;
        unsigned long ino;
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu", type, &who, &maj, &min,
                        &ino) == 5 &&
            std::string(type) == "FLOCK" && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino)
            pid = who;
    }
    // Else a process that has it open, as far as /proc lets us see.
    const std::string node = real(device);
    GDir *proc = pid == 0 ? g_dir_open("/proc", 0, nullptr) : nullptr;
    while (const char *entry = proc ? g_dir_read_name(proc) : nullptr) {
        if (pid != 0 || std::strspn(entry, "0123456789") != std::strlen(entry))
            continue;
        const std::string fds = std::string("/proc/") + entry + "/fd";
        GDir *d = g_dir_open(fds.c_str(), 0, nullptr);
        while (const char *fd = d ? g_dir_read_name(d) : nullptr)
            if (real(fds + "/" + fd) == node && std::atol(entry) != getpid())
                pid = std::atol(entry);
        if (d)
            g_dir_close(d);
    }
    if (proc)
        g_dir_close(proc);
    if (pid <= 0)
        return "";
    const std::string comm = first_line("/proc/" + std::to_string(pid) + "/comm");
    return cli_format(cli_gettext("held by process %ld (%s)"), pid, cli_printable(comm).c_str());
}

int cli_ports_check(const std::string &command, const std::vector<std::string> &names,
                    const cli_line &line, std::vector<std::string> *devices)
{
    std::vector<std::string> found;
    if (const int rc = cli_ports_resolve(command, names, &found))
        return rc;
    for (size_t i = 0; i < names.size(); i++) {
        const std::string &p = names[i];
        const std::string &device = found[i];
        if (!device.empty() && !cli_port_unfit(device).empty()) {
            cli_error(cli_printable(p) + ": " + cli_port_unfit(device));
            return CLI_EXIT_PORT;
        }
        if (device.empty()) {
            // Only COM1..COM12 have a MODCFG_COMn to set.
            const int com = cli_com_number(p);
            cli_error(com > 0 ? cli_format(cli_gettext("%s: no serial device for this port (set "
                                                       "MODCFG_COM%d to a device path)"),
                                           cli_printable(p).c_str(), com)
                              : cli_format(cli_gettext("%s: no serial device for this port"),
                                           cli_printable(p).c_str()));
            return CLI_EXIT_PORT;
        }
        // Opened and closed again: a port that is busy or not permitted
        // fails here, before any module anywhere is touched.
        const int fd =
            CommOpen(device.c_str(), line.baud, line.data_bits, line.parity, line.stop_bits, 0);
        if (fd == 0) {
            const int err = serial_last_errno();
            const std::string holder =
                err == EWOULDBLOCK || err == EBUSY ? cli_port_holder(device) : "";
            cli_error(cli_printable(p) + ": " +
                      (err == ENOTTY ? std::string(cli_gettext("not a serial port"))
                                     : cli_printable(serial_last_error())) +
                      (holder.empty() ? "" : "; " + holder));
            if (serial_last_errno() == EACCES || serial_last_errno() == EPERM)
                cli_error(serial_permission_hint(device));
            return CLI_EXIT_PORT;
        }
        CommClose(fd);
    }
    *devices = found;
    return 0;
}
