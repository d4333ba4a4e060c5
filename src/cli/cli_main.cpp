// modcfg: the command line face of the core. Subcommands read, export,
// apply, verify and provision modules on serial ports or as a TCP server,
// and list the serial ports.
#include "cli_event.h"
#include "cli_history.h"
#include "cli_job.h"
#include "cli_ports.h"
#include "cli_report.h"
#include "cli_run.h"
#include "cli_text.h"
#include "cli_scan.h"
#include "cmd_file.h"
#include "module.h"
#include "module_at.h"
#include "module_session.h"
#include "net_access.h"
#include "pccom.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <json-glib/json-glib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_PORT = 3;

const char commands_text[] =
    N_("Commands:\n"
       "  ports       list the serial ports and the COM names they resolve to\n"
       "  read        read the 19 settings of a module\n"
       "  export      write a command file that makes other modules copies of one\n"
       "  apply       apply a command file, then read back what it set\n"
       "  verify      read back what a command file sets, and compare\n"
       "  provision   apply, verify and record, on many ports or connections at once\n"
       "  pool        list the pools of values for templates, or show one\n"
       "  history     the records of the modules handled, newest first\n"
       "  scan        find the line settings and mode at which each port's module answers\n"
       "\n"
       "Run \"modcfg COMMAND --help\" for the options of a command.\n");

const char exit_text[] =
    N_("Exit status: 0 everything verified (or acknowledged, or done); 1 a\n"
       "module failed, or a report record could not be written; 2 bad usage\n"
       "or a command file that cannot be used; 3 a port that is missing, busy\n"
       "or not permitted, or a database that cannot be used.");

// Option storage, one set for whichever subcommand runs.
struct options {
    gchar *port = nullptr;
    gchar **ports = nullptr;
    gchar *listen = nullptr;
    gchar **allow = nullptr;
    gchar *baud = nullptr; // a rate, or "auto"
    gboolean probe = FALSE;
    gint data_bits = 8;
    gchar *parity = nullptr;
    gint stop_bits = 1;
    gboolean strict = FALSE;
    gboolean quiet = FALSE;
    gboolean verbose = FALSE;
    gboolean json = FALSE;
    gchar *output = nullptr;
    gboolean no_verify = FALSE;
    gboolean restart = FALSE;
    gboolean loop = FALSE;
    gint count = 0;
    gint retries = 2;
    gint module_timeout = -1; // -1: the timing's default
    gint max_workers = CLI_MAX_CONNECTION_WORKERS;
    gchar *report = nullptr;
    gboolean version = FALSE;
    gboolean show_secrets = FALSE;
    ~options()
    {
        g_free(port);
        g_strfreev(ports);
        g_free(listen);
        g_strfreev(allow);
        g_free(baud);
        g_free(parity);
        g_free(output);
        g_free(report);
    }
};

// Bad usage: one line, with where to look.
void usage_error(const std::string &command, const std::string &text)
{
    const std::string named = command.empty() ? "" : command + " ";
    cli_error(cli_format(cli_gettext("%s (see \"modcfg %s--help\")"), text.c_str(), named.c_str()));
}

// ---------------------------------------------------------------------------

int cmd_ports(int argc, char **argv)
{
    options o;
    const GOptionEntry entries[] = {
        {"json", 0, 0, G_OPTION_ARG_NONE, &o.json,
         N_("One JSON array instead of lines (with --probe: one object per port, one a line)"),
         nullptr},
        {"probe", 0, 0, G_OPTION_ARG_NONE, &o.probe,
         N_("Whether a module answers on each port, with its MID and mode; a port another "
            "program holds is skipped"),
         nullptr},
        {"baud", 'b', 0, G_OPTION_ARG_STRING, &o.baud,
         N_("With --probe: the rate (default 57600), or \"auto\" to scan the rates"), N_("RATE")},
        {"data-bits", 0, 0, G_OPTION_ARG_INT, &o.data_bits, N_("With --probe: 5..8 (default 8)"),
         N_("N")},
        {"parity", 0, 0, G_OPTION_ARG_STRING, &o.parity,
         N_("With --probe: None, Odd, Even, Mark or Space (default None)"), N_("PARITY")},
        {"stop-bits", 0, 0, G_OPTION_ARG_INT, &o.stop_bits, N_("With --probe: 1 or 2 (default 1)"),
         N_("N")},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *ctx = g_option_context_new(nullptr);
    cli_text_domain(ctx);
    g_option_context_set_summary(
        ctx,
        N_("Lists the serial devices present, the \"COMn\" names that resolve to each (as the\n"
           "window resolves them, MODCFG_COMn included), the driver and, for USB adapters,\n"
           "vendor and product ids, product name and serial number."));
    g_option_context_add_main_entries(ctx, entries, nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    if (!parsed || argc > 1) {
        usage_error("ports", parsed ? cli_format(cli_gettext("unexpected argument %s"), argv[1])
                                    : std::string(error->message));
        g_clear_error(&error);
        return EXIT_USAGE;
    }
    const auto ports = cli_list_ports();
    if (o.probe) {
        line_setting line;
        bool scan = false;
        std::string why;
        if (!cli_parse_line(o.baud, o.data_bits, o.parity, o.stop_bits, &line, &scan, &why)) {
            usage_error("ports", why);
            return EXIT_USAGE;
        }
        return cli_ports_probe(ports, scan ? line_scan_settings(false) : std::vector{line},
                               o.json, false);
    }
    if (o.json) {
        JsonBuilder *b = json_builder_new();
        json_builder_begin_array(b);
        for (const auto &p : ports) {
            json_builder_begin_object(b);
            json_builder_set_member_name(b, "names");
            json_builder_begin_array(b);
            for (const auto &n : p.names)
                json_builder_add_string_value(b, n.c_str());
            json_builder_end_array(b);
            json_builder_set_member_name(b, "missing");
            json_builder_add_boolean_value(b, p.missing);
            const std::pair<const char *, const std::string *> texts[] = {
                {"device", &p.device},
                {"driver", &p.driver},
                {"vendor_id", &p.vendor_id},
                {"product_id", &p.product_id},
                {"manufacturer", &p.manufacturer},
                {"product", &p.product},
                {"serial", &p.serial}};
            for (const auto &t : texts) {
                json_builder_set_member_name(b, t.first);
                json_builder_add_string_value(b, cli_utf8(*t.second).c_str());
            }
            json_builder_end_object(b);
        }
        json_builder_end_array(b);
        std::fprintf(cli_out, "%s\n", cli_json_finish(b).c_str());
        return 0;
    }
    if (ports.empty())
        cli_error(cli_gettext("no serial devices found"));
    for (const auto &p : ports) {
        std::string names;
        for (const auto &n : p.names)
            names += (names.empty() ? "" : ",") + n;
        std::string line = names.empty() ? "-" : names;
        line.resize(std::max<size_t>(line.size() + 2, 8), ' ');
        line += cli_printable(p.device);
        line.resize(std::max<size_t>(line.size() + 2, 28), ' ');
        if (p.missing) {
            // Only a MODCFG_COMn names a device that is not there: the
            // variable is stale, or the adapter is unplugged.
            std::string vars;
            for (const auto &n : p.names)
                vars += (vars.empty() ? "MODCFG_" : ", MODCFG_") + n;
            line += "missing: " + vars + " names no device";
            std::fprintf(cli_out, "%s\n", line.c_str());
            continue;
        }
        line += p.driver.empty() ? "-" : p.driver;
        if (!p.vendor_id.empty()) {
            line += "  " + p.vendor_id + ":" + p.product_id;
            if (!p.product.empty())
                line += "  " + cli_printable(p.product);
            if (!p.serial.empty())
                line += "  serial " + cli_printable(p.serial);
        }
        std::fprintf(cli_out, "%s\n", line.c_str());
    }
    return 0;
}

// ---------------------------------------------------------------------------

struct command_def {
    const char *name;
    cli_task task;
    const char *params;
    const char *summary;
};

const command_def module_commands[] = {
    {"read", cli_task::read, nullptr,
     N_("Connects to the module as the window does (probe, then the \"+++\" handshake;\n"
        "echo turned off), reads its 19 settings and prints them as NAME VALUE lines, or\n"
        "with --json as one JSON object keyed by query name. Lets the module go with\n"
        "\"AT+ENTM\".")},
    {"export", cli_task::export_, nullptr,
     N_("Reads the module and writes a command file, in the window's format, that sets\n"
        "every writable setting to what the module holds now: applied to other modules\n"
        "it makes them its copies.")},
    {"apply", cli_task::apply, N_("FILE"),
     N_("Applies the command file FILE as the window's apply does (the same end line,\n"
        "the same refusal of lines that are not text), then reads back every setting it\n"
        "set and compares, then restarts the module if asked.")},
    {"verify", cli_task::verify, N_("FILE"),
     N_("Reads back every setting the command file FILE sets and compares: a mismatch\n"
        "names the setting, what the file sets and what the module holds.")},
    {"provision", cli_task::provision, N_("FILE"),
     N_("For every port at once (or every module that connects): connect, apply FILE,\n"
        "verify, optionally restart, and record the result. With --loop it waits on each\n"
        "port for the next module until Ctrl-C, which ends the run after the modules in\n"
        "progress. A MID done in this run is not provisioned again, wherever it comes back.")},
};

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

// The window's COM number of `name` ("COM3", "com3"), or 0.
int com_number(const std::string &name)
{
    if (name.size() < 4 || name.size() > 5 || g_ascii_strncasecmp(name.c_str(), "COM", 3) != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos)
        return 0;
    const int n = std::atoi(name.c_str() + 3);
    return n >= 1 && n <= 12 ? n : 0;
}

// "COMn" (in either case), a device path, or a name under /dev ("ttyUSB0").
std::string resolve_port(const std::string &name)
{
    const int com = com_number(name);
    std::string device =
        serial_resolve_port(com > 0 ? ("COM" + std::to_string(com)).c_str() : name.c_str());
    struct stat st;
    if (device.empty() && name.find('/') == std::string::npos && !name.empty() &&
        stat(("/dev/" + name).c_str(), &st) == 0)
        device = "/dev/" + name;
    return device;
}

int write_export(const cli_outcome &c, const char *output)
{
    std::string bytes;
    for (const auto &line : c.commands) {
        // A module text holding a line feed ("x\nAT+RELD") would make a
        // second line, a command of its own, of every module the file goes
        // to: the same rule as Confirm and apply, and no file at all.
        if (!cmd_file_line_is_text(line)) {
            const size_t eq = line.find('=');
            std::string name = line.substr(0, std::min(eq, line.size()));
            if (name.compare(0, 3, "AT+") == 0)
                name.erase(0, 3);
            cli_error(cli_format(cli_gettext("export: the module's %s holds a zero byte or control "
                                             "bytes; no command file was written"),
                                 cli_printable(name).c_str()));
            return EXIT_FAILED;
        }
        bytes += line + "\r\n";
    }
    bytes += "E\r\n";
    if (!output || std::strcmp(output, "-") == 0) {
        std::fwrite(bytes.data(), 1, bytes.size(), cli_out);
        return 0;
    }
    // Written beside the file and renamed over it: a failed export never
    // leaves half a command file. The keys in it are the user's alone.
    if (!cmd_file_write_whole(output, bytes)) {
        cli_error(cli_printable(output) + ": " + std::strerror(errno));
        return EXIT_FAILED;
    }
    std::fprintf(stderr, "modcfg: %s\n",
                 cli_format(cli_gettext("%s: %zu commands from module %s"), output,
                            c.commands.size(), cli_printable(c.mid).c_str())
                     .c_str());
    return 0;
}

void print_read(const cli_outcome &c, bool json)
{
    if (!json) {
        for (const auto &v : c.values)
            std::fprintf(cli_out, "%s %s\n", v.first.c_str(), cli_printable(v.second).c_str());
        return;
    }
    JsonBuilder *b = json_builder_new();
    json_builder_begin_object(b);
    for (const auto &v : c.values) {
        json_builder_set_member_name(b, v.first.c_str());
        json_builder_add_string_value(b, cli_utf8(v.second).c_str());
    }
    json_builder_end_object(b);
    std::fprintf(cli_out, "%s\n", cli_json_finish(b).c_str());
}

// Standard output is for results: the core's console lines go to standard
// error with --verbose, else nowhere.
void separate_results(bool verbose)
{
    std::fflush(stdout);
    const int out = dup(STDOUT_FILENO);
    if (out < 0)
        return;
    fcntl(out, F_SETFD, FD_CLOEXEC);
    cli_out = fdopen(out, "w");
    if (!cli_out) {
        cli_out = stdout;
        close(out);
        return;
    }
    const int to = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (to >= 0) {
        dup2(to, STDOUT_FILENO);
        close(to);
    }
}

int cmd_module(const command_def &cmd, int argc, char **argv)
{
    options o;
    const bool many = cmd.task == cli_task::provision;
    // Taken as a list by every command: a second --port must not silently
    // win over the first.
    std::vector<GOptionEntry> entries = {
        many ? GOptionEntry{"port", 'p', 0, G_OPTION_ARG_STRING_ARRAY, &o.ports,
                            N_("Serial port: COM1..COM12, a device path or a name under /dev; "
                               "give it once per port"),
                            N_("PORT")}
             : GOptionEntry{"port", 'p', 0, G_OPTION_ARG_STRING_ARRAY, &o.ports,
                            N_("Serial port: COM1..COM12, a device path or a name under /dev"),
                            N_("PORT")},
        {"listen", 'l', 0, G_OPTION_ARG_STRING, &o.listen,
         N_("Instead of a port: listen for modules that connect, as they do to the network "
            "window (port 0 lets the system choose, and the port is printed)"),
         N_("[ADDR:]PORT")},
        {"allow", 0, 0, G_OPTION_ARG_STRING_ARRAY, &o.allow,
         N_("With --listen: take modules only from this network (a bare address is /32); "
            "repeatable (default: from anywhere)"),
         N_("NET/LEN")},
        {"strict-timing", 0, 0, G_OPTION_ARG_NONE, &o.strict,
         N_("Keep the module's original timing, as the window does"), nullptr},
        {"quiet", 'q', 0, G_OPTION_ARG_NONE, &o.quiet, N_("No progress on standard error"),
         nullptr},
        {"verbose", 'v', 0, G_OPTION_ARG_NONE, &o.verbose,
         N_("Show the exchange's console lines (as the window prints them) on standard error"),
         nullptr},
        {"module-timeout", 0, 0, G_OPTION_ARG_INT, &o.module_timeout,
         N_("Give a module up (link-lost) after SEC seconds (default 60, 600 with "
            "--strict-timing)"),
         N_("SEC")},
        {"show-secrets", 0, 0, G_OPTION_ARG_NONE, &o.show_secrets,
         N_("Show Wi-Fi keys and the web password in lines and records (default: \"***\")"),
         nullptr},
    };
    if (cmd.task == cli_task::read)
        entries.push_back({"json", 0, 0, G_OPTION_ARG_NONE, &o.json,
                           N_("One JSON object keyed by query name"), nullptr});
    if (cmd.task == cli_task::export_)
        entries.push_back({"output", 'o', 0, G_OPTION_ARG_FILENAME, &o.output,
                           N_("Command file to write (\"-\" or none: standard output)"),
                           N_("FILE")});
    if (cmd.task == cli_task::apply)
        entries.push_back({"no-verify", 0, 0, G_OPTION_ARG_NONE, &o.no_verify,
                           N_("Do not read back what was set"), nullptr});
    if (cmd.task == cli_task::apply || many)
        entries.push_back({"restart", 0, 0, G_OPTION_ARG_NONE, &o.restart,
                           N_("Restart the module (\"AT+Z\") once everything it was sent holds"),
                           nullptr});
    if (many) {
        entries.push_back({"report", 'r', 0, G_OPTION_ARG_FILENAME, &o.report,
                           N_("Append one record per module: CSV, or JSON Lines for .jsonl, "
                              ".ndjson and .json"),
                           N_("FILE")});
        entries.push_back({"loop", 0, 0, G_OPTION_ARG_NONE, &o.loop,
                           N_("Go on with the next module on each port (or connection) until "
                              "Ctrl-C"),
                           nullptr});
        entries.push_back({"count", 'n', 0, G_OPTION_ARG_INT, &o.count,
                           N_("End after N modules (waits for them as --loop does)"), N_("N")});
        entries.push_back({"retries", 0, 0, G_OPTION_ARG_INT, &o.retries,
                           N_("Try a module that failed again this many times when it comes back "
                              "(default 2); one done is never provisioned twice in a run"),
                           N_("N")});
        // For tests of the cap, which would need more connections otherwise.
        entries.push_back({"max-workers", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_INT, &o.max_workers,
                           N_("Connections served at once"), N_("N")});
    }
    cli_db_options db;
    cli_db_add_options(entries, db, cmd.params != nullptr);
    entries.push_back({nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr});
    const GOptionEntry line_entries[] = {
        {"baud", 'b', 0, G_OPTION_ARG_STRING, &o.baud,
         N_("Baud rate, 50 .. 460800 (default 57600), or \"auto\": each module's settings are "
            "found by a scan first"),
         N_("RATE")},
        {"data-bits", 0, 0, G_OPTION_ARG_INT, &o.data_bits, N_("5, 6, 7 or 8 (default 8)"),
         N_("N")},
        {"parity", 0, 0, G_OPTION_ARG_STRING, &o.parity,
         N_("None, Odd, Even, Mark or Space (default None)"), N_("PARITY")},
        {"stop-bits", 0, 0, G_OPTION_ARG_INT, &o.stop_bits, N_("1 or 2 (default 1)"), N_("N")},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

    GOptionContext *ctx = g_option_context_new(cmd.params);
    cli_text_domain(ctx);
    g_option_context_set_summary(ctx, cmd.summary);
    g_option_context_set_description(ctx, exit_text);
    g_option_context_add_main_entries(ctx, entries.data(), nullptr);
    g_option_context_add_main_entries(ctx, line_entries, nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    const std::string name = cmd.name;
    if (!parsed) {
        usage_error(name, error->message);
        g_clear_error(&error);
        return EXIT_USAGE;
    }

    // Everything is checked before any module is touched.
    const int want_files = cmd.params ? 1 : 0;
    if (argc - 1 != want_files) {
        usage_error(name, argc - 1 > want_files ? cli_format(cli_gettext("unexpected argument %s"),
                                                             argv[1 + want_files])
                                                : cli_gettext("a command file is needed"));
        return EXIT_USAGE;
    }
    std::vector<std::string> port_names;
    if (o.port)
        port_names.push_back(o.port);
    for (gchar **p = o.ports; p && *p; p++)
        port_names.push_back(*p);
    if (port_names.empty() == !o.listen) {
        usage_error(name, cli_gettext("give --port or --listen (one of them)"));
        return EXIT_USAGE;
    }
    if (!many && port_names.size() > 1) {
        usage_error(
            name, cli_format(cli_gettext("--port given twice; %s takes one module"), name.c_str()));
        return EXIT_USAGE;
    }
    // From here on, standard output carries results only.
    separate_results(o.verbose);
    cli_run_options run;
    run.task = cmd.task;
    run.quiet = o.quiet;
    run.verbose = o.verbose;
    run.show_secrets = o.show_secrets;
    {
        line_setting line;
        std::string why;
        if (!cli_parse_line(o.baud, o.data_bits, o.parity, o.stop_bits, &line, &run.line.scan,
                            &why)) {
            usage_error(name, why);
            return EXIT_USAGE;
        }
        run.line.baud = line.baud;
        run.line.data_bits = line.data_bits;
        run.line.parity = line.parity;
        run.line.stop_bits = line.stop_bits;
    }
    if (o.count < 0) {
        usage_error(name, cli_gettext("--count wants a number of modules, at least 1"));
        return EXIT_USAGE;
    }
    if (o.retries < 0) {
        usage_error(name, cli_gettext("--retries wants a number, 0 or more"));
        return EXIT_USAGE;
    }
    run.retries = o.retries;
    if (o.module_timeout == 0 || o.module_timeout < -1) {
        usage_error(name, cli_gettext("--module-timeout wants seconds, at least 1"));
        return EXIT_USAGE;
    }
    run.module_timeout = o.module_timeout > 0 ? o.module_timeout
                         : o.strict           ? CLI_MODULE_TIMEOUT_STRICT
                                              : CLI_MODULE_TIMEOUT_FAST;
    if (o.max_workers < 1) {
        usage_error(name, cli_gettext("--max-workers wants at least 1"));
        return EXIT_USAGE;
    }
    run.max_workers = o.max_workers;
    if (o.listen) {
        run.listen = true;
        if (!parse_listen(o.listen, run.listen_addr, run.listen_port)) {
            usage_error(name,
                        cli_format(cli_gettext("--listen wants [ADDR:]PORT with an IPv4 address, "
                                               "not %s"),
                                   cli_printable(o.listen).c_str()));
            return EXIT_USAGE;
        }
    }
    for (gchar **a = o.allow; a && *a; a++) {
        net_allow_rule rule;
        std::string why;
        if (!net_allow_parse(*a, &rule, &why)) {
            usage_error(name, cli_format(cli_gettext("--allow %s: %s"), cli_printable(*a).c_str(),
                                         why.c_str()));
            return EXIT_USAGE;
        }
        run.allow.push_back(rule);
    }
    if (run.line.scan && run.listen) {
        usage_error(name, cli_gettext("--baud auto goes with --port"));
        return EXIT_USAGE;
    }
    if (o.allow && !run.listen) {
        usage_error(name, cli_gettext("--allow goes with --listen"));
        return EXIT_USAGE;
    }
    run.restart = o.restart;
    run.verify = !o.no_verify;
    run.loop = o.loop || o.count > 0;
    run.count = o.count;
    if (run.listen && !o.loop && o.count == 0)
        run.count = 1;

    if (want_files) {
        run.file = argv[1];
        std::vector<std::string> lines;
        cmd_file_end end;
        struct stat st;
        std::string why;
        if (stat(run.file.c_str(), &st) != 0)
            why = std::strerror(errno);
        else if (!S_ISREG(st.st_mode) || !cmd_file_read_lines(run.file, lines, &end))
            why = cli_gettext("not a readable file");
        // The window's apply ends at an empty line; here the lines after it
        // would silently never be sent while the run said verified.
        else if (end.empty && end.following > 0)
            why = cli_format(dngettext(MODCFG_CLI_TEXT_DOMAIN,
                                       "line %d is empty and ends the commands, but %d line "
                                       "follows it",
                                       "line %d is empty and ends the commands, but %d lines "
                                       "follow it",
                                       end.following),
                             end.line, end.following);
        if (!why.empty()) {
            cli_error(
                cli_format(cli_gettext("%s: %s; nothing was sent"), run.file.c_str(), why.c_str()));
            return EXIT_USAGE;
        }
        // The window's apply would skip such a line and send the rest; a
        // module configured without it is worse than one not configured.
        for (size_t i = 0; i < lines.size(); i++) {
            if (!cmd_file_line_is_text(lines[i]))
                why = cli_gettext("is not text (a zero byte or control bytes)");
            // A longer one overflows the module's frame, and its progress
            // message alone can outgrow the worker's pipe frames.
            else if (lines[i].size() > CMD_TEXT_MAX)
                why = cli_format(cli_gettext("is longer than a command frame holds (%zu bytes, "
                                             "at most %d)"),
                                 lines[i].size(), static_cast<int>(CMD_TEXT_MAX));
            if (!why.empty()) {
                cli_error(cli_format(cli_gettext("%s: line %zu %s; nothing was sent"),
                                     run.file.c_str(), i + 1, why.c_str()));
                return EXIT_USAGE;
            }
        }
        if (lines.empty()) {
            cli_error(cli_format(cli_gettext("%s: no command before its end; nothing was sent"),
                                 run.file.c_str()));
            return EXIT_USAGE;
        }
        run.file_lines = static_cast<int>(lines.size());
        run.lines = lines;
    }

    // The database before any module: a run that cannot record does not
    // start; a template is checked against every row of its pool.
    cli_history history;
    db.show_secrets = o.show_secrets;
    if (const int rc = history.prepare(db, name, run))
        return rc;

    cli_report report;
    if (o.report) {
        std::string err;
        if (!report.open(o.report, &err)) {
            cli_error(cli_format(cli_gettext("report %s"), err.c_str()));
            return EXIT_USAGE;
        }
        run.report = &report;
    }

    // One device under two names (a link, "COM1" and its path) would be
    // two workers on one module: bad usage, found before any port is opened.
    std::vector<std::string> devices;
    std::vector<std::pair<dev_t, std::string>> seen;
    for (const auto &p : port_names) {
        const std::string device = resolve_port(p);
        devices.push_back(device);
        struct stat st;
        if (device.empty() || stat(device.c_str(), &st) != 0)
            continue; // missing: said below
        for (const auto &d : seen)
            if (d.first == st.st_rdev) {
                usage_error(name,
                            cli_format(cli_gettext("%s and %s are the same device"),
                                       cli_printable(p).c_str(), cli_printable(d.second).c_str()));
                return EXIT_USAGE;
            }
        seen.emplace_back(st.st_rdev, p);
    }
    for (size_t i = 0; i < port_names.size(); i++) {
        const std::string &p = port_names[i];
        const std::string &device = devices[i];
        if (device.empty()) {
            // Only COM1..COM12 have a MODCFG_COMn to set.
            const int com = com_number(p);
            cli_error(com > 0 ? cli_format(cli_gettext("%s: no serial device for this port (set "
                                                       "MODCFG_COM%d to a device path)"),
                                           cli_printable(p).c_str(), com)
                              : cli_format(cli_gettext("%s: no serial device for this port"),
                                           cli_printable(p).c_str()));
            return EXIT_PORT;
        }
        // Opened and closed again: a port that is busy or not permitted
        // fails here, before any module anywhere is touched.
        const int fd = CommOpen(device.c_str(), run.line.baud, run.line.data_bits, run.line.parity,
                                run.line.stop_bits, 0);
        if (fd == 0) {
            cli_error(cli_printable(p) + ": " + cli_printable(serial_last_error()));
            if (serial_last_errno() == EACCES || serial_last_errno() == EPERM)
                cli_error(serial_permission_hint(device));
            return EXIT_PORT;
        }
        CommClose(fd);
        run.ports.push_back(p);
        run.devices.push_back(device);
    }

    at_set_fast(!o.strict);
    std::vector<cli_outcome> outcomes;
    if (!cli_run(run, outcomes))
        return EXIT_PORT;

    int status = 0;
    long verified = 0, acknowledged = 0, failed = 0;
    std::string not_opened;
    for (const auto &c : outcomes) {
        if (!c.port_error.empty()) {
            status = EXIT_PORT;
            not_opened += (not_opened.empty() ? "" : ", ") + cli_printable(c.label);
            continue;
        }
        if (c.result == RESULT_ACKNOWLEDGED) {
            acknowledged++;
        } else if (cli_result_done(c.result)) {
            verified++;
        } else {
            failed++;
            if (status == 0)
                status = EXIT_FAILED;
        }
    }
    // What a read got is printed even when some queries went unanswered
    // (those are named on standard error, and the status says it).
    if (cmd.task == cli_task::read && !outcomes.empty() && outcomes[0].port_error.empty() &&
        (outcomes[0].result == RESULT_DONE || !outcomes[0].values.empty()))
        print_read(outcomes[0], o.json);
    if (cmd.task == cli_task::export_ && !outcomes.empty() && outcomes[0].result == RESULT_DONE) {
        const int rc = write_export(outcomes[0], o.output);
        if (rc != 0)
            status = rc;
    }
    // Interrupted before a module connected; with --loop waiting was the
    // job, on ports and connections alike.
    if ((cmd.task == cli_task::read || cmd.task == cli_task::export_ || run.listen) && !o.loop &&
        outcomes.empty() && status == 0)
        status = EXIT_FAILED;
    // Without --loop every port owes one module: a port left without one (a
    // second Ctrl-C during the connect, a worker that died) was not done.
    if (!run.listen && !run.loop && outcomes.size() < run.ports.size() && status == 0)
        status = EXIT_FAILED;
    // A production line relies on the record of every module.
    if ((report.incomplete() || history.incomplete()) && status == 0)
        status = EXIT_FAILED;
    if (many && status == EXIT_PORT && verified + acknowledged + failed == 0)
        std::fprintf(
            cli_out, "%s\n",
            cli_format(cli_gettext("no module done: %s could not be opened"), not_opened.c_str())
                .c_str());
    else if (many)
        std::fprintf(
            cli_out, "%s\n",
            cli_format(
                cli_gettext("modules done: %ld, verified: %ld, %sfailed: %ld%s"),
                verified + acknowledged + failed, verified,
                acknowledged > 0
                    ? cli_format(cli_gettext("acknowledged: %ld, "), acknowledged).c_str()
                    : "",
                failed,
                not_opened.empty()
                    ? ""
                    : cli_format(cli_gettext("; not opened: %s"), not_opened.c_str()).c_str())
                .c_str());
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // GLib's help and error texts in the user's language and character set;
    // numbers stay as the report's readers expect them ("8.43", not "8,43").
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    cli_text_init();
    // A report over the file size limit fails its write, which is reported
    // and truncated back, instead of killing the program mid-record.
    signal(SIGXFSZ, SIG_IGN);
    const std::string command = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
    if (command.empty()) {
        options o;
        const GOptionEntry entries[] = {
            {"version", 0, 0, G_OPTION_ARG_NONE, &o.version, N_("Print the version and exit"),
             nullptr},
            {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
        GOptionContext *ctx = g_option_context_new(N_("COMMAND [OPTION…]"));
        cli_text_domain(ctx);
        g_option_context_set_summary(
            ctx, N_("Configures QX-B27 serial-to-Wi-Fi modules from the command line: reads them,\n"
                    "applies command files and reads back what they set, many modules at once."));
        g_option_context_set_description(
            ctx, (std::string(cli_gettext(commands_text)) + "\n" + cli_gettext(exit_text)).c_str());
        g_option_context_add_main_entries(ctx, entries, nullptr);
        GError *error = nullptr;
        const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
        if (parsed && o.version) {
            g_option_context_free(ctx);
            std::printf("modcfg %s\n", MODCFG_VERSION);
            return 0;
        }
        if (!parsed) {
            usage_error("", error->message);
            g_clear_error(&error);
        } else {
            gchar *help = g_option_context_get_help(ctx, TRUE, nullptr);
            std::fputs(help, stderr);
            g_free(help);
        }
        g_option_context_free(ctx);
        return EXIT_USAGE;
    }

    // Help and usage texts name the subcommand.
    g_set_prgname(("modcfg " + command).c_str());
    if (command == "ports")
        return cmd_ports(argc - 1, argv + 1);
    if (command == "pool")
        return cli_pool_command(argc - 1, argv + 1);
    if (command == "history")
        return cli_history_command(argc - 1, argv + 1);
    if (command == "scan")
        return cli_scan_command(argc - 1, argv + 1);
    for (const auto &cmd : module_commands)
        if (command == cmd.name)
            return cmd_module(cmd, argc - 1, argv + 1);
    cli_error(cli_format(cli_gettext("unknown command %s"), cli_printable(command).c_str()));
    std::fprintf(stderr, "%s", cli_gettext(commands_text));
    return EXIT_USAGE;
}
