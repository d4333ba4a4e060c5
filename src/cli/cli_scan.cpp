// modcfg scan and ports --probe: one worker process per port tries the line
// settings in turn and reports what answered; the parent prints one result
// per port, in the order the ports were given.
#include "cli_scan.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_ports.h"
#include "cli_text.h"
#include "module.h"
#include "module_at.h"
#include "pccom.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct port_result {
    std::string label, device;
    bool ended = false;  // the worker sent its last event
    std::string error;   // the port could not be opened
    int err = 0;         // its errno
    bool found = false;
    line_setting setting;
    std::string mode, mid, version, uart;
    std::vector<std::string> tried;
};

// The value as the module sent it, zero bytes included; empty when
// unanswered or cut short.
std::string query(const char *cmd)
{
    char v[AT_VALUE_MAX + 1] = "";
    int len = 0;
    return at_send_cmd_whole(serial_link, cmd, v, nullptr, &len) ? std::string(v, size_t(len)) : "";
}

// The parent has died: reads fail at once, and the worker lets go what it
// found and ends.
volatile sig_atomic_t scan_orphaned = 0;

void on_scan_orphan(int)
{
    scan_orphaned = 1;
    serial_interrupt_reads();
}

// The worker: every setting in turn, then the module's identity; the
// module is let go into the mode it was found in.
int scan_worker(const std::string &device, const std::vector<line_setting> &settings, int out)
{
    std::vector<std::string> tried;
    const line_scan_result found = line_scan_find(device, settings, &tried);
    if (found.open_failed) {
        cli_event_write(out, cli_event("port-error")
                                 .set("error", serial_last_error())
                                 .set("errno", serial_last_errno()));
        return CLI_EXIT_PORT;
    }
    if (found.mode == line_mode::none) {
        cli_event ev("none");
        std::string all;
        for (const auto &t : tried)
            all += (all.empty() ? "" : ",") + t;
        cli_event_write(out, ev.set("tried", all));
        return 0;
    }
    // The queries go over serial_link, on strPCCom's port.
    strPCCom.fd = found.fd;
    const line_setting &s = found.setting;
    const line_mode m = found.mode;
    const std::string &mid = found.mid, &uart = found.uart;
    const std::string version = scan_orphaned ? "" : query("AT+VER");
    // A module found in command mode stays there; one found in transparent
    // mode goes back to it, as the window's disconnect lets it go.
    if (m == line_mode::transparent)
        line_scan_release(found.fd);
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;
    cli_event_write(out, cli_event("found")
                             .set("baud", s.baud)
                             .set("data_bits", s.data_bits)
                             .set("parity", s.parity)
                             .set("stop_bits", s.stop_bits)
                             .set("mode", line_mode_name(m))
                             .set("mid", mid)
                             .set("version", version)
                             .set("uart", uart));
    return 0;
}

// Runs one worker per port at once and gathers what each found.
void scan_all(std::vector<port_result> &ports, const std::vector<line_setting> &settings,
              bool verbose)
{
    std::fflush(nullptr);
    struct running {
        pid_t pid;
        int fd;
        std::string buf;
        size_t index;
    };
    std::vector<running> workers;
    for (size_t i = 0; i < ports.size(); i++) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            ports[i].error = std::string("pipe: ") + std::strerror(errno);
            continue;
        }
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) {
            ports[i].error = std::string("fork: ") + std::strerror(errno);
            close(p[0]);
            close(p[1]);
            continue;
        }
        if (pid == 0) {
            close(p[0]);
            signal(SIGUSR2, on_scan_orphan);
            prctl(PR_SET_PDEATHSIG, SIGUSR2);
            if (getppid() != parent)
                _exit(0);
            // The core's console lines: standard error with --verbose, else
            // nowhere; standard output carries the parent's results only.
            const int to = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
            if (to >= 0) {
                dup2(to, STDOUT_FILENO);
                close(to);
            }
            const int rc = scan_worker(ports[i].device, settings, p[1]);
            std::fflush(nullptr);
            _exit(rc);
        }
        close(p[1]);
        workers.push_back({pid, p[0], "", i});
    }
    while (!workers.empty()) {
        std::vector<pollfd> fds;
        for (const auto &w : workers)
            fds.push_back({w.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        for (size_t k = fds.size(); k-- > 0;) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            running &w = workers[k];
            char chunk[4096];
            const ssize_t n = read(w.fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                w.buf.append(chunk, static_cast<size_t>(n));
                continue;
            }
            std::vector<cli_event> events;
            cli_event_take(w.buf, events);
            port_result &r = ports[w.index];
            for (const auto &ev : events) {
                r.ended = true;
                if (ev.kind == "port-error") {
                    r.error = ev.get("error");
                    r.err = static_cast<int>(ev.get_long("errno"));
                } else if (ev.kind == "none") {
                    r.tried = {};
                    const std::string all = ev.get("tried");
                    for (size_t at = 0; at < all.size();) {
                        const size_t comma = all.find(',', at);
                        const size_t end = comma == std::string::npos ? all.size() : comma;
                        r.tried.push_back(all.substr(at, end - at));
                        at = end + 1;
                    }
                } else if (ev.kind == "found") {
                    r.found = true;
                    r.setting = line_setting{static_cast<int>(ev.get_long("baud")),
                                             static_cast<int>(ev.get_long("data_bits")),
                                             static_cast<int>(ev.get_long("parity")),
                                             static_cast<int>(ev.get_long("stop_bits"))};
                    r.mode = ev.get("mode");
                    r.mid = ev.get("mid");
                    r.version = ev.get("version");
                    r.uart = ev.get("uart");
                }
            }
            close(w.fd);
            int status = 0;
            waitpid(w.pid, &status, 0);
            if (!r.ended && r.error.empty())
                r.error = "the worker ended without a result";
            workers.erase(workers.begin() + static_cast<long>(k));
        }
    }
}

bool busy(const port_result &r)
{
    return r.err == EWOULDBLOCK || r.err == EBUSY;
}

std::string json_of(const port_result &r, bool probe)
{
    JsonBuilder *b = json_builder_new();
    json_builder_begin_object(b);
    auto text = [b](const char *name, const std::string &value) {
        json_builder_set_member_name(b, name);
        json_builder_add_string_value(b, cli_utf8(value).c_str());
    };
    text("port", r.label);
    text("device", r.device);
    if (!r.error.empty()) {
        text("error", r.error);
        if (probe) {
            json_builder_set_member_name(b, "busy");
            json_builder_add_boolean_value(b, busy(r));
        }
    }
    json_builder_set_member_name(b, "found");
    json_builder_add_boolean_value(b, r.found);
    if (r.found) {
        text("settings", line_setting_text(r.setting));
        json_builder_set_member_name(b, "baud");
        json_builder_add_int_value(b, r.setting.baud);
        json_builder_set_member_name(b, "data_bits");
        json_builder_add_int_value(b, r.setting.data_bits);
        text("parity", line_parity_name(r.setting.parity));
        json_builder_set_member_name(b, "stop_bits");
        json_builder_add_int_value(b, r.setting.stop_bits == PCCOM_STOPBITS_TWO ? 2 : 1);
        text("mode", r.mode);
        text("mid", r.mid);
        text("version", r.version);
        text("uart", r.uart);
    } else if (r.error.empty()) {
        json_builder_set_member_name(b, "tried");
        json_builder_begin_array(b);
        for (const auto &t : r.tried)
            json_builder_add_string_value(b, t.c_str());
        json_builder_end_array(b);
    }
    json_builder_end_object(b);
    return cli_json_finish(b);
}

std::string tried_text(const std::vector<std::string> &tried)
{
    std::string all;
    for (const auto &t : tried)
        all += (all.empty() ? "" : ", ") + t;
    return all;
}

std::string found_text(const port_result &r)
{
    return line_setting_text(r.setting) + "  " + r.mode + " mode  MID " + cli_printable(r.mid) +
           "  version " + cli_printable(r.version) + "  AT+UART " + cli_printable(r.uart);
}

// The window's option lists as the command line spells them.
bool parse_parity(const char *text, int *code)
{
    if (!text) {
        *code = PCCOM_PARITY_NONE;
        return true;
    }
    for (int i = 0; i < codes_comparity.count; i++)
        if (g_ascii_strcasecmp(text, codes_comparity.texts[i]) == 0) {
            *code = i; // the parity codes follow the same order
            return true;
        }
    return false;
}

} // namespace

bool cli_parse_line(const char *baud, int data_bits, const char *parity, int stop_bits,
                    line_setting *out, bool *scan, std::string *why)
{
    *scan = false;
    const std::string b = baud ? baud : "57600";
    if (b == "auto") {
        *scan = true;
    } else if (b.empty() || b.find_first_not_of("0123456789") != std::string::npos ||
               b.size() > 7 || code_find(codes_baudrate, b.c_str()) < 0 || b == "345600") {
        *why = cli_format(cli_gettext("--baud %s: not \"auto\" nor one of 50 .. 460800 that Linux "
                                      "can set"),
                          cli_printable(b).c_str());
        return false;
    } else {
        out->baud = std::stoi(b);
    }
    if (data_bits < 5 || data_bits > 8) {
        *why = cli_gettext("--data-bits is 5, 6, 7 or 8");
        return false;
    }
    out->data_bits = data_bits;
    if (!parse_parity(parity, &out->parity)) {
        *why = cli_gettext("--parity is None, Odd, Even, Mark or Space");
        return false;
    }
    if (stop_bits != 1 && stop_bits != 2) {
        *why = cli_gettext("--stop-bits is 1 or 2");
        return false;
    }
    out->stop_bits = stop_bits == 2 ? PCCOM_STOPBITS_TWO : PCCOM_STOPBITS_ONE;
    return true;
}

int cli_scan_command(int argc, char **argv)
{
    gchar **port_args = nullptr;
    gboolean all_framings = FALSE, json = FALSE, verbose = FALSE;
    const GOptionEntry entries[] = {
        {"port", 'p', 0, G_OPTION_ARG_STRING_ARRAY, &port_args,
         N_("Serial port: COM1..COM12, a device path or a name under /dev; give it once per port"),
         N_("PORT")},
        {"all-framings", 0, 0, G_OPTION_ARG_NONE, &all_framings,
         N_("After 8N1, also every other data bits, parity and stop bits of the window's lists"),
         nullptr},
        {"json", 0, 0, G_OPTION_ARG_NONE, &json, N_("One JSON object per port, one a line"),
         nullptr},
        {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose,
         N_("Show the exchange's console lines on standard error"), nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    GOptionContext *ctx = g_option_context_new(nullptr);
    cli_text_domain(ctx);
    g_option_context_set_summary(
        ctx, N_("Finds the line settings at which the module on each port answers: the rates\n"
                "57600, 115200, 9600, then the rest of the window's list, at 8N1 (with\n"
                "--all-framings then the other framings); at each the probe, then the \"+++\"\n"
                "handshake. Prints the settings found, the mode the module was in, its MID,\n"
                "version and AT+UART, and leaves it in that mode. Ports are scanned at once."));
    g_option_context_set_description(
        ctx, N_("Exit status: 0 a module on every port; 1 a port without one, or standard\n"
                "output could not be written; 2 bad usage; 3 a port that is missing, busy or\n"
                "not permitted."));
    g_option_context_add_main_entries(ctx, entries, nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    std::vector<port_result> ports;
    for (gchar **p = port_args; p && *p; p++) {
        port_result r;
        r.label = *p;
        ports.push_back(r);
    }
    g_strfreev(port_args);
    if (!parsed || argc > 1 || ports.empty()) {
        const std::string text = !parsed    ? std::string(error->message)
                                 : argc > 1 ? cli_format(cli_gettext("unexpected argument %s"),
                                                         cli_printable(argv[1]).c_str())
                                            : std::string(cli_gettext("give --port at least once"));
        cli_usage_error("scan", text);
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }
    int status = 0;
    std::vector<std::string> names, devices;
    for (const auto &r : ports)
        names.push_back(r.label);
    if (cli_ports_resolve("scan", names, &devices) != 0)
        return CLI_EXIT_USAGE;
    for (size_t i = 0; i < ports.size(); i++) {
        port_result &r = ports[i];
        const std::string unfit = devices[i].empty() ? "" : cli_port_unfit(devices[i]);
        if (devices[i].empty() || !unfit.empty()) {
            cli_error(devices[i].empty()
                          ? cli_format(cli_gettext("%s: no serial device for this port"),
                                       cli_printable(r.label).c_str())
                          : cli_printable(r.label) + ": " + unfit);
            return CLI_EXIT_PORT;
        }
        r.device = devices[i];
    }
    at_set_fast(true);
    scan_all(ports, line_scan_settings(all_framings), verbose);
    for (const auto &r : ports) {
        if (json)
            std::fprintf(cli_out, "%s\n", json_of(r, false).c_str());
        if (!r.error.empty()) {
            cli_error(cli_printable(r.label) + ": " + cli_printable(r.error));
            status = CLI_EXIT_PORT;
            continue;
        }
        if (r.found) {
            if (!json)
                std::fprintf(cli_out, "%s  %s\n", cli_printable(r.label).c_str(),
                             found_text(r).c_str());
            continue;
        }
        if (!json)
            std::fprintf(
                cli_out, "%s  %s\n", cli_printable(r.label).c_str(),
                cli_format(cli_gettext("no module answered at %s"), tried_text(r.tried).c_str())
                    .c_str());
        if (status == 0)
            status = CLI_EXIT_FAILED;
    }
    return status;
}

int cli_ports_probe(const std::vector<cli_port_info> &list,
                    const std::vector<line_setting> &settings, bool json, bool verbose)
{
    std::vector<port_result> ports;
    for (const auto &p : list) {
        port_result r;
        for (const auto &n : p.names)
            r.label += (r.label.empty() ? "" : ",") + n;
        if (r.label.empty())
            r.label = "-";
        r.device = p.device;
        ports.push_back(r);
    }
    if (ports.empty())
        cli_error(cli_gettext("no serial devices found"));
    at_set_fast(true);
    scan_all(ports, settings, verbose);
    for (const auto &r : ports) {
        if (json) {
            std::fprintf(cli_out, "%s\n", json_of(r, true).c_str());
            continue;
        }
        std::string line = r.label;
        line.resize(std::max<size_t>(line.size() + 2, 8), ' ');
        line += cli_printable(r.device);
        line.resize(std::max<size_t>(line.size() + 2, 28), ' ');
        if (!r.error.empty())
            line += busy(r) ? std::string(cli_gettext("held by another program: skipped"))
                            : cli_format(cli_gettext("cannot be opened (%s): skipped"),
                                         cli_printable(r.error).c_str());
        else if (r.found)
            line += "module  " + found_text(r);
        else
            line += cli_format(cli_gettext("no module at %s"), tried_text(r.tried).c_str());
        std::fprintf(cli_out, "%s\n", line.c_str());
    }
    return 0;
}
