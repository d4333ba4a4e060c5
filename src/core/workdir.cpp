// The installed program's working directory: where it is, what it holds on
// first start, and changing into it.
#include "workdir.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

// Set by the build from the install layout; this is GNUInstallDirs' default.
#ifndef MODCFG_DATADIR_FROM_BINDIR
#define MODCFG_DATADIR_FROM_BINDIR "../share/modcfg"
#endif

namespace
{

using gchar_ptr = std::unique_ptr<gchar, decltype(&g_free)>;

bool is_file(const std::string &path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR) != FALSE;
}

} // namespace

std::string workdir_default()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/modcfg";
    const char *home = std::getenv("HOME");
    if (!home || !home[0])
        home = g_get_home_dir();
    return std::string(home) + "/.local/share/modcfg";
}

std::string workdir_logo_for(const std::string &exe_path)
{
    gchar_ptr dir(g_path_get_dirname(exe_path.c_str()), g_free);
    const std::string installed =
        std::string(dir.get()) + "/" + MODCFG_DATADIR_FROM_BINDIR + "/pic";
    if (is_file(installed))
        return installed;
    const std::string beside = std::string(dir.get()) + "/pic";
    return is_file(beside) ? beside : std::string();
}

std::string workdir_installed_logo()
{
    gchar_ptr exe(g_file_read_link("/proc/self/exe", nullptr), g_free);
    return exe ? workdir_logo_for(exe.get()) : std::string();
}

std::string workdir_prepare(const std::string &dir, const std::string &logo)
{
    if (dir.empty())
        return "no directory given";
    const std::string data = dir + "/data";
    for (const std::string &d : {dir, data})
        if (g_mkdir_with_parents(d.c_str(), 0700) != 0)
            return d + ": " + std::strerror(errno);
    // The window writes its settings and temporary command files here; say
    // so now rather than with the first failed save.
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return dir + ": " + std::strerror(errno);

    const std::string pic = dir + "/pic";
    if (logo.empty() || g_file_test(pic.c_str(), G_FILE_TEST_EXISTS))
        return "";
    gchar *bytes = nullptr;
    gsize size = 0;
    if (!g_file_get_contents(logo.c_str(), &bytes, &size, nullptr))
        return "";
    gchar_ptr hold(bytes, g_free);
    GError *error = nullptr;
    // Written beside and renamed, so an interrupted copy leaves no half logo.
    if (!g_file_set_contents(pic.c_str(), bytes, static_cast<gssize>(size), &error)) {
        std::string why = error->message;
        g_error_free(error);
        return why;
    }
    return "";
}

bool workdir_enter(const std::string &dir, std::string *why_out)
{
    std::string why = workdir_prepare(dir, workdir_installed_logo());
    if (why.empty() && chdir(dir.c_str()) != 0)
        why = dir + ": " + std::strerror(errno);
    if (why.empty())
        return true;
    if (why_out)
        *why_out = why;
    const char *prog = g_get_prgname();
    std::fprintf(stderr, "%s: can not use the working directory: %s\n", prog ? prog : "modcfg",
                 why.c_str());
    return false;
}

std::string workdir_start_note(const std::string &cwd, const std::string &per_user)
{
    const bool data = g_file_test((cwd + "/data").c_str(), G_FILE_TEST_IS_DIR);
    if (data && g_file_test((cwd + "/pic").c_str(), G_FILE_TEST_EXISTS))
        return "";
    return "Command files are saved in " + cwd + "/data/" +
           (data ? "" : ", which does not exist yet: Save needs it (mkdir data)") + "; --workdir keeps them in " + per_user +
           "/data/ instead.";
}
