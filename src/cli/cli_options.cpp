// The module commands' options, checked before any module is touched.
#include "cli_options.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_scan.h"
#include "cli_text.h"

#include <arpa/inet.h>
#include <cstdlib>

namespace
{

bool parse_listen(const std::string &text, std::string &addr, unsigned short &port)
{
    const size_t colon = text.rfind(':');
    const std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
    addr = colon == std::string::npos ? "" : text.substr(0, colon);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long n = std::strtol(p.c_str(), nullptr, 10);
    if (n > 65535)
        return false;
    port = static_cast<unsigned short>(n);
    in_addr a;
    return addr.empty() || inet_pton(AF_INET, addr.c_str(), &a) == 1;
}

// The checks of the ports, files and counts; the line and the network are
// checked by the caller.
bool check_counts(const cli_module_args &a, const std::string &command, std::string *why)
{
    const size_t want_files = a.takes_file ? 1 : 0;
    if (a.args.size() != want_files)
        *why = a.args.size() > want_files
                   ? cli_format(cli_gettext("unexpected argument %s"), a.args[want_files].c_str())
                   : cli_gettext("a command file is needed");
    else if (a.ports.empty() == !a.listen)
        *why = cli_gettext("give --port or --listen (one of them)");
    else if (a.task != cli_task::provision && a.ports.size() > 1)
        *why = cli_format(cli_gettext("--port given twice; %s takes one module"), command.c_str());
    return why->empty();
}

} // namespace

bool cli_run_options_build(const cli_module_args &a, const std::string &command,
                           cli_run_options *run, std::string *why)
{
    why->clear();
    if (!check_counts(a, command, why))
        return false;
    run->task = a.task;
    run->quiet = a.quiet;
    run->verbose = a.verbose;
    run->show_secrets = a.show_secrets;
    line_setting line;
    if (!cli_parse_line(a.baud, a.data_bits, a.parity, a.stop_bits, &line, &run->line.scan, why))
        return false;
    run->line.baud = line.baud;
    run->line.data_bits = line.data_bits;
    run->line.parity = line.parity;
    run->line.stop_bits = line.stop_bits;
    if (a.count < 0)
        *why = cli_gettext("--count wants a number of modules, at least 1");
    else if (a.retries < 0)
        *why = cli_gettext("--retries wants a number, 0 or more");
    else if (a.module_timeout != CLI_MODULE_TIMEOUT_UNSET && a.module_timeout < 1)
        *why = cli_gettext("--module-timeout wants seconds, at least 1");
    else if (a.quiet && a.verbose)
        *why = cli_gettext("--quiet and --verbose ask for opposite things; give one");
    else if (a.reports > 1)
        *why = cli_gettext("--report given twice; records go to one file");
    else if (a.max_workers < 1)
        *why = cli_gettext("--max-workers wants at least 1");
    else if (a.listen && !parse_listen(a.listen, run->listen_addr, run->listen_port))
        *why = cli_format(cli_gettext("--listen wants [ADDR:]PORT with an IPv4 address, not %s"),
                          cli_printable(a.listen).c_str());
    if (!why->empty())
        return false;
    run->retries = a.retries;
    const bool timeout_given = a.module_timeout != CLI_MODULE_TIMEOUT_UNSET;
    run->module_timeout = timeout_given ? a.module_timeout
                          : a.strict    ? CLI_MODULE_TIMEOUT_STRICT
                                        : CLI_MODULE_TIMEOUT_FAST;
    run->max_workers = a.max_workers;
    run->listen = a.listen != nullptr;
    for (const auto &text : a.allow) {
        net_allow_rule rule;
        std::string rule_why;
        if (!net_allow_parse(text.c_str(), &rule, &rule_why)) {
            *why = cli_format(cli_gettext("--allow %s: %s"), cli_printable(text).c_str(),
                              rule_why.c_str());
            return false;
        }
        run->allow.push_back(rule);
    }
    if (run->line.scan && run->listen)
        *why = cli_gettext("--baud auto goes with --port");
    else if (!a.allow.empty() && !run->listen)
        *why = cli_gettext("--allow goes with --listen");
    if (!why->empty())
        return false;
    run->ports = a.ports;
    run->restart = a.restart;
    run->verify = !a.no_verify;
    run->loop = a.loop || a.count > 0;
    run->count = a.count;
    if (run->listen && !a.loop && a.count == 0)
        run->count = 1;
    if (a.takes_file)
        run->file = a.args[0];
    return true;
}
