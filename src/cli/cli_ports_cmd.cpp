// "modcfg ports": the serial ports, the COM names that resolve to them,
// and with --probe whether a module answers on each.
#include "cli_commands.h"
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_ports.h"
#include "cli_scan.h"
#include "cli_text.h"

#include <algorithm>
#include <json-glib/json-glib.h>
#include <memory>

int cli_ports_command(const cli_command &, int argc, char **argv)
{
    gboolean json = FALSE, probe = FALSE;
    gchar *baud = nullptr, *parity = nullptr;
    gint data_bits = 8, stop_bits = 1;
    const GOptionEntry entries[] = {
        {"json", 0, 0, G_OPTION_ARG_NONE, &json,
         N_("One JSON array instead of lines (with --probe: one object per port, one a line)"),
         nullptr},
        {"probe", 0, 0, G_OPTION_ARG_NONE, &probe,
         N_("Whether a module answers on each port, with its MID and mode; a port another "
            "program holds is skipped"),
         nullptr},
        {"baud", 'b', 0, G_OPTION_ARG_STRING, &baud,
         N_("With --probe: the rate (default 57600), or \"auto\" to scan the rates"), N_("RATE")},
        {"data-bits", 0, 0, G_OPTION_ARG_INT, &data_bits, N_("With --probe: 5..8 (default 8)"),
         N_("N")},
        {"parity", 0, 0, G_OPTION_ARG_STRING, &parity,
         N_("With --probe: None, Odd, Even, Mark or Space (default None)"), N_("PARITY")},
        {"stop-bits", 0, 0, G_OPTION_ARG_INT, &stop_bits, N_("With --probe: 1 or 2 (default 1)"),
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
    std::unique_ptr<gchar, decltype(&g_free)> baud_keep(baud, g_free), parity_keep(parity, g_free);
    if (!parsed || argc > 1) {
        cli_usage_error("ports", parsed ? cli_format(cli_gettext("unexpected argument %s"), argv[1])
                                        : std::string(error->message));
        g_clear_error(&error);
        return CLI_EXIT_USAGE;
    }
    const auto ports = cli_list_ports();
    if (probe) {
        line_setting line;
        bool scan = false;
        std::string why;
        if (!cli_parse_line(baud, data_bits, parity, stop_bits, &line, &scan, &why)) {
            cli_usage_error("ports", why);
            return CLI_EXIT_USAGE;
        }
        return cli_ports_probe(ports, scan ? line_scan_settings(false) : std::vector{line}, json,
                               false);
    }
    if (json) {
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
