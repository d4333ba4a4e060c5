// Results, messages and usage errors of the command line.
#include "cli_output.h"

#include "cli_text.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

const char cli_exit_text[] =
    N_("Exit status: 0 everything verified (or acknowledged, or done); 1 a\n"
       "module failed, a report record could not be written, or standard\n"
       "output could not be written; 2 bad usage or a command file that cannot\n"
       "be used; 3 a port that is missing, busy or not permitted, or a database\n"
       "that cannot be used.");

FILE *cli_out = stdout;

int cli_out_close(int status)
{
    if (!cli_out)
        return status;
    errno = 0;
    bool ok = std::fflush(cli_out) == 0 && !std::ferror(cli_out);
    int why = errno;
    if (std::fclose(cli_out) != 0 && ok) {
        ok = false;
        why = errno;
    }
    cli_out = nullptr;
    if (ok)
        return status;
    cli_error(cli_format(cli_gettext("standard output: %s"),
                         why ? std::strerror(why) : cli_gettext("write error")));
    return status == CLI_EXIT_OK ? CLI_EXIT_FAILED : status;
}

void cli_error(const std::string &text)
{
    if (cli_out)
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
