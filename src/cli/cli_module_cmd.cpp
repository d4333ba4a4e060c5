// "modcfg read | export | apply | verify | provision": the options, the
// checks before any module is touched, the run, what it prints and its
// exit status.
#include "cli_commands.h"
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_export.h"
#include "cli_history.h"
#include "cli_options.h"
#include "cli_output.h"
#include "cli_ports.h"
#include "cli_report.h"
#include "cli_run.h"
#include "cli_summary.h"
#include "cli_text.h"
#include "cmd_file.h"
#include "module_at.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <json-glib/json-glib.h>
#include <unistd.h>

namespace
{

// Where GOption puts what it parsed.
struct module_options {
    gchar **ports = nullptr;
    gchar *listen = nullptr;
    gchar **allow = nullptr;
    gchar *baud = nullptr;
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
    gint module_timeout = CLI_MODULE_TIMEOUT_UNSET;
    gint max_workers = CLI_MAX_CONNECTION_WORKERS;
    gchar **report = nullptr; // a list: a second --report must not silently win
    gboolean show_secrets = FALSE;
    ~module_options()
    {
        g_strfreev(ports);
        g_free(listen);
        g_strfreev(allow);
        g_free(baud);
        g_free(parity);
        g_free(output);
        g_strfreev(report);
    }
};

std::vector<std::string> texts(gchar **list)
{
    std::vector<std::string> out;
    for (gchar **p = list; p && *p; p++)
        out.push_back(*p);
    return out;
}

cli_module_args args_of(const cli_command &cmd, const module_options &o, int argc, char **argv)
{
    cli_module_args a;
    a.task = cmd.task;
    a.takes_file = cmd.params != nullptr;
    for (int i = 1; i < argc; i++)
        a.args.push_back(argv[i]);
    a.ports = texts(o.ports);
    a.listen = o.listen;
    a.allow = texts(o.allow);
    a.baud = o.baud;
    a.data_bits = o.data_bits;
    a.parity = o.parity;
    a.stop_bits = o.stop_bits;
    a.strict = o.strict;
    a.quiet = o.quiet;
    a.verbose = o.verbose;
    a.show_secrets = o.show_secrets;
    a.no_verify = o.no_verify;
    a.restart = o.restart;
    a.loop = o.loop;
    a.count = o.count;
    a.retries = o.retries;
    a.module_timeout = o.module_timeout;
    a.reports = static_cast<int>(texts(o.report).size());
    a.max_workers = o.max_workers;
    return a;
}

// The options every module command takes, then each command's own.
std::vector<GOptionEntry> module_entries(const cli_command &cmd, module_options &o)
{
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
        entries.push_back({"report", 'r', 0, G_OPTION_ARG_FILENAME_ARRAY, &o.report,
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
    return entries;
}

// The serial line's options, after all others in the help.
std::vector<GOptionEntry> line_entries(module_options &o)
{
    return {{"baud", 'b', 0, G_OPTION_ARG_STRING, &o.baud,
             N_("Baud rate, 50 .. 460800 (default 57600), or \"auto\": each module's settings are "
                "found by a scan first"),
             N_("RATE")},
            {"data-bits", 0, 0, G_OPTION_ARG_INT, &o.data_bits, N_("5, 6, 7 or 8 (default 8)"),
             N_("N")},
            {"parity", 0, 0, G_OPTION_ARG_STRING, &o.parity,
             N_("None, Odd, Even, Mark or Space (default None)"), N_("PARITY")},
            {"stop-bits", 0, 0, G_OPTION_ARG_INT, &o.stop_bits, N_("1 or 2 (default 1)"), N_("N")},
            {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
}

// The command file's fault as the operator reads it.
std::string file_problem_text(const std::string &file, const cmd_file_problem &p)
{
    std::string why;
    switch (p.fault) {
    case cmd_file_fault::none:
        return "";
    case cmd_file_fault::os_error:
        why = std::strerror(p.os_errno);
        break;
    case cmd_file_fault::unreadable:
        why = cli_gettext("not a readable file");
        break;
    case cmd_file_fault::ends_early:
        why = cli_format(dngettext(MODCFG_CLI_TEXT_DOMAIN,
                                   "line %d is empty and ends the commands, but %d line "
                                   "follows it",
                                   "line %d is empty and ends the commands, but %d lines "
                                   "follow it",
                                   p.following),
                         p.line, p.following);
        break;
    case cmd_file_fault::after_end:
        why = cli_format(dngettext(MODCFG_CLI_TEXT_DOMAIN,
                                   "line %d (E) ends the commands, but %d line follows it",
                                   "line %d (E) ends the commands, but %d lines follow it",
                                   p.following),
                         p.line, p.following);
        break;
    case cmd_file_fault::not_text:
    case cmd_file_fault::too_long:
    case cmd_file_fault::ends_link:
        why = p.fault == cmd_file_fault::not_text
                  ? cli_gettext("is not text (a zero byte or control bytes)")
              : p.fault == cmd_file_fault::ends_link
                  ? cli_format(cli_gettext("(%s) ends the module's command mode: later lines "
                                           "would reach its network as data (--restart "
                                           "restarts a module at the end)"),
                               cli_printable(p.text).c_str())
                  : cli_format(cli_gettext("is longer than a command frame holds (%zu bytes, "
                                           "at most %d)"),
                               p.length, static_cast<int>(CMD_TEXT_MAX));
        return cli_format(cli_gettext("%s: line %zu %s; nothing was sent"), file.c_str(),
                          static_cast<size_t>(p.line), why.c_str());
    case cmd_file_fault::no_command:
        return cli_format(cli_gettext("%s: no command before its end; nothing was sent"),
                          file.c_str());
    }
    return cli_format(cli_gettext("%s: %s; nothing was sent"), file.c_str(), why.c_str());
}

int write_export(const cli_outcome &c, const cli_export_target &to, bool show_secrets)
{
    std::string bytes;
    for (const auto &l : c.commands) {
        const std::string name = cli_printable(cli_export_setting(l.line));
        // A module text holding a line feed ("x\nAT+RELD") would make a
        // second line, a command of its own, of every module the file goes
        // to: the same rule as Confirm and apply, and no file at all.
        if (!cmd_file_line_is_text(l.line)) {
            cli_error(cli_format(cli_gettext("export: the module's %s holds a zero byte or control "
                                             "bytes; no command file was written"),
                                 name.c_str()));
            return CLI_EXIT_FAILED;
        }
        // Nor a line no module takes back.
        if (l.line.size() > CMD_TEXT_MAX) {
            cli_error(cli_format(cli_gettext("export: the module's %s makes a line of %zu bytes, "
                                             "longer than a command frame holds (at most %d); "
                                             "no command file was written"),
                                 name.c_str(), l.line.size(), static_cast<int>(CMD_TEXT_MAX)));
            return CLI_EXIT_FAILED;
        }
        bytes += l.line + "\r\n";
    }
    bytes += "E\r\n";
    for (const auto &l : c.commands)
        if (l.kept_field >= 0)
            cli_error(cli_export_kept_text(l, show_secrets));
    if (to.to_stdout) {
        std::fwrite(bytes.data(), 1, bytes.size(), cli_out);
        return 0;
    }
    // Written beside the file and renamed over it: a failed export never
    // leaves half a command file.
    if (!cmd_file_write_whole(to.path, bytes, to.mode)) {
        cli_error(cli_printable(to.path) + ": " + std::strerror(errno));
        return CLI_EXIT_FAILED;
    }
    cli_error(cli_format(cli_gettext("%s: %zu commands from module %s"),
                         cli_printable(to.path).c_str(), c.commands.size(),
                         cli_printable(c.mid).c_str()));
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

// What the run printed last, and its exit status.
int finish(const cli_command &cmd, const module_options &o, const cli_run_options &run,
           const std::vector<cli_outcome> &outcomes, bool records_incomplete,
           const cli_export_target &to)
{
    // What a read got is printed even when some queries went unanswered
    // (those are named on standard error, and the status says it).
    if (cmd.task == cli_task::read && !outcomes.empty() && outcomes[0].port_error.empty() &&
        (outcomes[0].result == RESULT_DONE || !outcomes[0].values.empty()))
        print_read(outcomes[0], o.json);
    cli_run_facts f;
    f.task = cmd.task;
    f.listen = run.listen;
    f.loop_asked = o.loop;
    f.loop = run.loop;
    f.ports = run.ports.size();
    f.count = run.count;
    f.records_incomplete = records_incomplete;
    f.export_failed = cmd.task == cli_task::export_ && !outcomes.empty() &&
                      outcomes[0].result == RESULT_DONE &&
                      write_export(outcomes[0], to, o.show_secrets) != 0;
    const cli_run_end end = cli_run_end_of(f, outcomes);
    if (!end.summary.empty())
        std::fprintf(cli_out, "%s\n", end.summary.c_str());
    return end.status;
}

} // namespace

int cli_module_command(const cli_command &cmd, int argc, char **argv)
{
    module_options o;
    std::vector<GOptionEntry> entries = module_entries(cmd, o);
    cli_db_options db;
    cli_db_add_options(entries, db, cmd.params != nullptr);
    entries.push_back({nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr});
    const std::vector<GOptionEntry> line = line_entries(o);

    GOptionContext *ctx = g_option_context_new(cmd.params);
    cli_text_domain(ctx);
    g_option_context_set_summary(ctx, cmd.summary);
    g_option_context_set_description(ctx, cli_exit_text);
    g_option_context_add_main_entries(ctx, entries.data(), nullptr);
    g_option_context_add_main_entries(ctx, line.data(), nullptr);
    GError *error = nullptr;
    const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
    g_option_context_free(ctx);
    const std::string name = cmd.name;
    if (!parsed) {
        cli_usage_error(name, error->message);
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }

    // Everything is checked before any module is touched.
    cli_run_options run;
    std::string why;
    cli_export_target to;
    if (!cli_run_options_build(args_of(cmd, o, argc, argv), name, &run, &why) ||
        !cli_export_target_check(o.output, &to, &why)) {
        cli_usage_error(name, why);
        return CLI_EXIT_USAGE;
    }
    // From here on, standard output carries results only.
    separate_results(o.verbose);
    if (cmd.params) {
        cmd_file_problem problem;
        if (!cmd_file_check(run.file, run.lines, &problem)) {
            cli_error(file_problem_text(run.file, problem));
            return CLI_EXIT_USAGE;
        }
        run.file_lines = static_cast<int>(run.lines.size());
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
        if (!report.open(o.report[0], &err)) {
            cli_error(cli_format(cli_gettext("report %s"), err.c_str()));
            return CLI_EXIT_USAGE;
        }
        run.report = &report;
    }
    if (const int rc = cli_ports_check(name, run.ports, run.line, &run.devices))
        return rc;

    at_set_fast(!o.strict);
    // A refused line is answered: its wait ends at once, at either timing.
    at_set_refusal_answers(true);
    std::vector<cli_outcome> outcomes;
    const bool ran = cli_run(run, outcomes);
    history.end_of_run();
    if (!ran)
        return CLI_EXIT_PORT;
    return finish(cmd, o, run, outcomes, report.incomplete() || history.incomplete(), to);
}
