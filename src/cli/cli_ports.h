// The serial devices present, the "COMn" names that resolve to them, and
// what sysfs tells of each (driver; for USB adapters the ids, product name
// and serial number); a port given by name resolved and checked before a
// run.
#ifndef MODCFG_CLI_PORTS_H
#define MODCFG_CLI_PORTS_H

#include "cli_job.h"

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

// The window's COM number of `name` ("COM3", "com3"), or 0.
int cli_com_number(const std::string &name);

// The device of a port given as "COMn" (in either case), an absolute path,
// a path relative to the working directory ("./t/m1"), or a name under /dev
// ("ttyUSB0", "pts/1"); "" when there is none.
std::string cli_resolve_port(const std::string &name);

// The devices of `names` (cli_resolve_port), one per name. CLI_EXIT_USAGE,
// after the usage error of `command`, when two names are one device; else 0.
int cli_ports_resolve(const std::string &command, const std::vector<std::string> &names,
                      std::vector<std::string> *devices);
// "not a serial port" for a path that is no character device (a regular
// file, a FIFO); "" otherwise.
std::string cli_port_unfit(const std::string &device);
// Who holds a busy port, when /proc tells ("held by process 1234
// (picocom)"), or "".
std::string cli_port_holder(const std::string &device);

// Before any module is touched: every port in `names` resolves to a device
// of its own and opens at `line`. 0 with `devices` (one per name), or the
// exit status after the "modcfg: ..." lines: CLI_EXIT_USAGE for one device
// under two names (a usage error of `command`), CLI_EXIT_PORT for a port
// missing, busy or not permitted.
int cli_ports_check(const std::string &command, const std::vector<std::string> &names,
                    const cli_line &line, std::vector<std::string> *devices);

#endif
