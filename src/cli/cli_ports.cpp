// Serial devices and their sysfs details for "modcfg ports".
#include "cli_ports.h"

#include "pccom.h"

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
