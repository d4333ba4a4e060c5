// Export's lines: the records' commands, or the module's value as it is.
#include "cli_export.h"

#include "cli_escape.h"
#include "cli_secret.h"
#include "cli_text.h"
#include "module_session.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::vector<std::string> fields_of(const std::string &args)
{
    std::vector<std::string> out(1);
    for (char c : args) {
        if (c == ',')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

int first_difference(const std::string &built, const std::string &held)
{
    const std::vector<std::string> a = fields_of(built), b = fields_of(held);
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return static_cast<int>(i);
}

} // namespace

std::string cli_export_setting(const std::string &line)
{
    const size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    return name.compare(0, 3, "AT+") == 0 ? name.substr(3) : name;
}

std::vector<cli_export_line> cli_export_lines(const std::vector<std::string> &built,
                                              const std::map<std::string, std::string> &answered)
{
    std::vector<cli_export_line> out;
    for (const auto &line : built) {
        cli_export_line l{line, -1};
        std::string name, args;
        const auto it =
            verify_line_target(line, &name, &args) ? answered.find("AT+" + name) : answered.end();
        if (it != answered.end() && !verify_value_holds(name, args, it->second)) {
            l.line = "AT+" + name + "=" + it->second;
            l.kept_field = first_difference(args, it->second);
        }
        out.push_back(l);
    }
    return out;
}

std::string cli_export_kept_text(const cli_export_line &l, bool show_secrets)
{
    const std::string name = cli_export_setting(l.line);
    const size_t eq = l.line.find('=');
    std::string args = eq == std::string::npos ? "" : l.line.substr(eq + 1);
    if (!show_secrets)
        args = cli_secret_masked(name, args);
    const std::vector<std::string> f = fields_of(args);
    const std::string field =
        l.kept_field >= 0 && static_cast<size_t>(l.kept_field) < f.size() ? f[l.kept_field] : "";
    return cli_format(cli_gettext("%s: %s is not in the window's list; written as the module "
                                  "holds it"),
                      cli_printable(name).c_str(),
                      field.empty() ? "\"\"" : cli_printable(field).c_str());
}

bool cli_export_target_check(const char *output, cli_export_target *t, std::string *why)
{
    *t = cli_export_target();
    if (!output || std::strcmp(output, "-") == 0)
        return true;
    t->to_stdout = false;
    std::string p = output;
    // Renaming over a link would replace the link, not the file it names.
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            const size_t slash = p.rfind('/');
            const std::string dir = slash == std::string::npos ? "." : p.substr(0, slash + 1);
            if (errno != ENOENT || access(dir.c_str(), W_OK | X_OK) != 0)
                break;
            t->path = p;
            return true;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = hops < 40 ? readlink(p.c_str(), target, sizeof target - 1) : -1;
            if (n < 0) {
                errno = hops < 40 ? errno : ELOOP;
                break;
            }
            const std::string to(target, static_cast<size_t>(n));
            const size_t slash = p.rfind('/');
            p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            *why = cli_format(cli_gettext("-o %s: not a regular file (a device, a FIFO or a "
                                          "directory)"),
                              cli_printable(output).c_str());
            return false;
        }
        t->path = p;
        t->mode = st.st_mode & 0600;
        return true;
    }
    *why = cli_format("-o %s: %s", cli_printable(output).c_str(), std::strerror(errno));
    return false;
}
