// The serial devices present, the "COMn" names that resolve to them, and
// what sysfs tells of each (driver; for USB adapters the ids, product name
// and serial number).
#ifndef MODCFG_CLI_PORTS_H
#define MODCFG_CLI_PORTS_H

#include <string>
#include <vector>

struct cli_port_info {
    std::vector<std::string> names; // "COM1" .. "COM12" that resolve to it
    std::string device;             // path as the resolution gives it
    std::string driver;             // kernel driver, "" when unknown
    bool missing = false;           // named by a MODCFG_COMn, but not there
    std::string vendor_id, product_id, manufacturer, product, serial; // USB only
};

// Every device serial_list_devices finds under `root` ("" for the running
// system) and every device a MODCFG_COMn names, in that order, each once.
std::vector<cli_port_info> cli_list_ports(const std::string &root = "");

#endif
