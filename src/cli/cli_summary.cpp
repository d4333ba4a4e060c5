// The exit status and summary of a module command.
#include "cli_summary.h"

#include "cli_escape.h"
#include "cli_event.h"
#include "cli_output.h"
#include "cli_text.h"

cli_run_end cli_run_end_of(const cli_run_facts &f, const std::vector<cli_outcome> &outcomes)
{
    cli_run_end end;
    int &status = end.status;
    long verified = 0, acknowledged = 0, failed = 0;
    std::string not_opened;
    for (const auto &c : outcomes) {
        if (!c.port_error.empty()) {
            status = CLI_EXIT_PORT;
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
                status = CLI_EXIT_FAILED;
        }
    }
    if (f.export_failed)
        status = CLI_EXIT_FAILED;
    // Interrupted before a module connected; with --loop waiting was the
    // job, on ports and connections alike.
    if ((f.task == cli_task::read || f.task == cli_task::export_ || f.listen) && !f.loop_asked &&
        outcomes.empty() && status == 0)
        status = CLI_EXIT_FAILED;
    // Without --loop every port owes one module: a port left without one (a
    // second Ctrl-C during the connect, a worker that died) was not done.
    if (!f.listen && !f.loop && outcomes.size() < f.ports && status == 0)
        status = CLI_EXIT_FAILED;
    // A Ctrl-C that ended "--count 100" after 32 modules: not all was done.
    long handled = 0;
    for (const auto &c : outcomes)
        handled += c.result.empty() ? 0 : 1;
    if (f.count > 0 && handled < f.count && status == 0)
        status = CLI_EXIT_FAILED;
    // A production line relies on the record of every module.
    if (f.records_incomplete && status == 0)
        status = CLI_EXIT_FAILED;
    if (f.task != cli_task::provision)
        return end;
    if (status == CLI_EXIT_PORT && verified + acknowledged + failed == 0)
        end.summary =
            cli_format(cli_gettext("no module done: %s could not be opened"), not_opened.c_str());
    else
        end.summary = cli_format(
            cli_gettext("modules done: %ld, verified: %ld, %sfailed: %ld%s"),
            verified + acknowledged + failed, verified,
            acknowledged > 0 ? cli_format(cli_gettext("acknowledged: %ld, "), acknowledged).c_str()
                             : "",
            failed,
            not_opened.empty()
                ? ""
                : cli_format(cli_gettext("; not opened: %s"), not_opened.c_str()).c_str());
    return end;
}
