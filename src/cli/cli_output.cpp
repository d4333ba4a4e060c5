// Results, messages and usage errors of the command line.
#include "cli_output.h"

#include "cli_text.h"

#include <cerrno>
#include <unistd.h>

const char cli_exit_text[] =
    N_("Exit status: 0 everything verified (or acknowledged, or done); 1 a\n"
       "module failed, or a report record could not be written; 2 bad usage\n"
       "or a command file that cannot be used; 3 a port that is missing, busy\n"
       "or not permitted, or a database that cannot be used.");

FILE *cli_out = stdout;

void cli_error(const std::string &text)
{
    std::fflush(cli_out);
    std::fprintf(stderr, "modcfg: %s\n", text.c_str());
    std::fflush(stderr);
}

void cli_usage_error(const std::string &command, const std::string &text)
{
    const std::string named = command.empty() ? "" : command + " ";
    cli_error(cli_format(cli_gettext("%s (see \"modcfg %s--help\")"), text.c_str(), named.c_str()));
}

bool cli_write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
