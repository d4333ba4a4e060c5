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
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
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
    std::string device =
        serial_resolve_port(com > 0 ? ("COM" + std::to_string(com)).c_str() : name.c_str());
    struct stat st;
    if (device.empty() && name.find('/') == std::string::npos && !name.empty() &&
        stat(("/dev/" + name).c_str(), &st) == 0)
        device = "/dev/" + name;
    return device;
}

int cli_ports_check(const std::string &command, const std::vector<std::string> &names,
                    const cli_line &line, std::vector<std::string> *devices)
{
    // One device under two names (a link, "COM1" and its path) would be
    // two workers on one module: bad usage, found before any port is opened.
    std::vector<std::string> found;
    std::vector<std::pair<dev_t, std::string>> seen;
    for (const auto &p : names) {
        const std::string device = cli_resolve_port(p);
        found.push_back(device);
        struct stat st;
        if (device.empty() || stat(device.c_str(), &st) != 0)
            continue; // missing: said below
        for (const auto &d : seen)
            if (d.first == st.st_rdev) {
                cli_usage_error(command,
                                cli_format(cli_gettext("%s and %s are the same device"),
                                           cli_printable(p).c_str(), cli_printable(d.second).c_str()));
                return CLI_EXIT_USAGE;
            }
        seen.emplace_back(st.st_rdev, p);
    }
    for (size_t i = 0; i < names.size(); i++) {
        const std::string &p = names[i];
        const std::string &device = found[i];
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
            cli_error(cli_printable(p) + ": " + cli_printable(serial_last_error()));
            if (serial_last_errno() == EACCES || serial_last_errno() == EPERM)
                cli_error(serial_permission_hint(device));
            return CLI_EXIT_PORT;
        }
        CommClose(fd);
    }
    *devices = found;
    return 0;
}
