// modcfg: the command line face of the core. Subcommands read, export,
// apply, verify and provision modules on serial ports or as a TCP server,
// list and probe the serial ports, and show the pools and the history.
#include "cli_commands.h"
#include "cli_db.h"
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_scan.h"
#include "cli_text.h"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <glib.h>
#include <string>

namespace
{

int scan_command(const cli_command &, int argc, char **argv)
{
    return cli_scan_command(argc, argv);
}

} // namespace

// In the order "modcfg --help" lists them.
const cli_command cli_commands[] = {
    {"ports", N_("list the serial ports and the COM names they resolve to"), cli_ports_command,
     cli_task::read, nullptr, nullptr},
    {"read", N_("read the 19 settings of a module"), cli_module_command, cli_task::read, nullptr,
     N_("Connects to the module as the window does (probe, then the \"+++\" handshake;\n"
        "echo turned off), reads its 19 settings and prints them as NAME VALUE lines, or\n"
        "with --json as one JSON object keyed by query name. Lets the module go with\n"
        "\"AT+ENTM\".")},
    {"export", N_("write a command file that makes other modules copies of one"),
     cli_module_command, cli_task::export_, nullptr,
     N_("Reads the module and writes a command file, in the window's format, that sets\n"
        "every writable setting to what the module holds now: applied to other modules\n"
        "it makes them its copies.")},
    {"apply", N_("apply a command file, then read back what it set"), cli_module_command,
     cli_task::apply, N_("FILE"),
     N_("Applies the command file FILE as the window's apply does (the same end line,\n"
        "the same refusal of lines that are not text), then reads back every setting it\n"
        "set and compares, then restarts the module if asked.")},
    {"verify", N_("read back what a command file sets, and compare"), cli_module_command,
     cli_task::verify, N_("FILE"),
     N_("Reads back every setting the command file FILE sets and compares: a mismatch\n"
        "names the setting, what the file sets and what the module holds.")},
    {"provision", N_("apply, verify and record, on many ports or connections at once"),
     cli_module_command, cli_task::provision, N_("FILE"),
     N_("For every port at once (or every module that connects): connect, apply FILE,\n"
        "verify, optionally restart, and record the result. With --loop it waits on each\n"
        "port for the next module until Ctrl-C, which ends the run after the modules in\n"
        "progress. A MID done in this run is not provisioned again, wherever it comes back.")},
    {"pool", N_("list the pools of values for templates, show one, or release a row"),
     cli_pool_command, cli_task::read, nullptr, nullptr},
    {"history", N_("the records of the modules handled, newest first"), cli_history_command,
     cli_task::read, nullptr, nullptr},
    {"scan", N_("find the line settings and mode at which each port's module answers"),
     scan_command, cli_task::read, nullptr, nullptr},
    {nullptr, nullptr, nullptr, cli_task::read, nullptr, nullptr},
};

std::string cli_commands_text()
{
    std::string text = cli_gettext("Commands:\n");
    for (const cli_command *c = cli_commands; c->name; c++) {
        std::string name = c->name;
        name.resize(std::max<size_t>(name.size() + 2, 12), ' ');
        text += "  " + name + cli_gettext(c->help) + "\n";
    }
    return text + "\n" +
           cli_gettext("Run \"modcfg COMMAND --help\" for the options of a command.\n");
}

namespace
{

int run(int argc, char **argv)
{
    const std::string command = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
    if (command.empty()) {
        gboolean version = FALSE;
        const GOptionEntry entries[] = {
            {"version", 0, 0, G_OPTION_ARG_NONE, &version, N_("Print the version and exit"),
             nullptr},
            {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
        GOptionContext *ctx = g_option_context_new(N_("COMMAND [OPTION…]"));
        cli_text_domain(ctx);
        g_option_context_set_summary(
            ctx, N_("Configures QX-B27 serial-to-Wi-Fi modules from the command line: reads them,\n"
                    "applies command files and reads back what they set, many modules at once."));
        g_option_context_set_description(
            ctx, (cli_commands_text() + "\n" + cli_gettext(cli_exit_text)).c_str());
        g_option_context_add_main_entries(ctx, entries, nullptr);
        GError *error = nullptr;
        const bool parsed = g_option_context_parse(ctx, &argc, &argv, &error);
        if (parsed && version) {
            g_option_context_free(ctx);
            std::printf("modcfg %s\n", MODCFG_VERSION);
            return 0;
        }
        if (!parsed) {
            cli_usage_error("", error->message);
            g_clear_error(&error);
        } else {
            gchar *help = g_option_context_get_help(ctx, TRUE, nullptr);
            std::fputs(help, stderr);
            g_free(help);
        }
        g_option_context_free(ctx);
        return CLI_EXIT_USAGE;
    }

    // Help and usage texts name the subcommand.
    g_set_prgname(("modcfg " + command).c_str());
    for (const cli_command *c = cli_commands; c->name; c++)
        if (command == c->name)
            return cli_out_close(c->run(*c, argc - 1, argv + 1));
    cli_error(cli_format(cli_gettext("unknown command %s"), cli_printable(command).c_str()));
    std::fprintf(stderr, "%s", cli_commands_text().c_str());
    return CLI_EXIT_USAGE;
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
    // The program parses a copy (option parsing moves the pointers, the
    // strings stay the copy's); the arguments ps shows hide a password.
    char **args = cli_db_hide_arguments(argc, argv);
    char **parsed = static_cast<char **>(g_memdup2(args, sizeof(char *) * (argc + 1)));
    const int rc = run(argc, parsed);
    g_free(parsed);
    g_strfreev(args);
    return rc;
}
