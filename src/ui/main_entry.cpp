// Program entry of both window builds: the command line, state, the build's
// own start-up step, the window, then the main loop until it is closed.
#include "console_window.h"
#include "lang.h"
#include "main.h"
#include "module_at.h"
#include "window.h"
#include "window_state.h"
#include "workdir.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// Answered while the options are parsed, before GTK opens the display, so
// that --version works without one (as --help does).
gboolean print_version(const gchar *, const gchar *, gpointer, GError **)
{
    std::printf("%s %s\n", g_get_prgname(), MODCFG_VERSION);
    std::exit(0);
}

// --workdir[=DIR]: started from the menu, the working directory would be
// the home directory; the desktop entries pass --workdir alone.
bool workdir_given;
bool workdir_default_taken; // --workdir without a directory, as the menu starts it
std::string workdir;

gboolean take_workdir(const gchar *, const gchar *value, gpointer, GError **error)
{
    if (value && !value[0]) {
        g_set_error_literal(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                            "--workdir= names no directory");
        return FALSE;
    }
    workdir_given = true;
    workdir_default_taken = !value;
    workdir = value ? value : workdir_default();
    return TRUE;
}

gboolean fast_option = FALSE;
gboolean console_option = FALSE;
gboolean no_console_option = FALSE;

const GOptionEntry common_entries[] = {
    {"version", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(print_version), "Print the version and exit", nullptr},
    {"workdir", 0, G_OPTION_FLAG_OPTIONAL_ARG | G_OPTION_FLAG_FILENAME, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(take_workdir),
     "Keep the files in DIR, created with data/ and the logo; without DIR in "
     "~/.local/share/modcfg",
     "DIR"},
    {"fast", 0, 0, G_OPTION_ARG_NONE, &fast_option,
     "End each read as soon as the module's reply is complete (default: the module's original "
     "timing)",
     nullptr},
    {"console", 0, 0, G_OPTION_ARG_NONE, &console_option,
     "Show what the program prints in a console window (default when standard output is not a "
     "terminal)",
     nullptr},
    {"no-console", 0, 0, G_OPTION_ARG_NONE, &no_console_option, "Open no console window",
     nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

// Parses the command line (GTK's own options included) and opens the
// display; false after printing why on stderr.
bool parse_command_line(int *argc, char ***argv)
{
    GOptionContext *context = g_option_context_new(nullptr);
    g_option_context_add_main_entries(context, common_entries, nullptr);
    if (const GOptionEntry *own = build_option_entries())
        g_option_context_add_main_entries(context, own, nullptr);
    g_option_context_add_group(context, gtk_get_option_group(TRUE));
    GError *error = nullptr;
    const bool ok = g_option_context_parse(context, argc, argv, &error) != FALSE;
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", g_get_prgname(), error->message);
        g_error_free(error);
    }
    g_option_context_free(context);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    build_bind();
    ui_language_init();
    if (!parse_command_line(&argc, &argv))
        return 2;
    ui_language_choose();
    // Before anything is printed, so that the window shows it all.
    const bool console = console_wanted(console_option, no_console_option) &&
                         console_capture_start();
    std::string why;
    if (workdir_given && !workdir_enter(workdir, &why)) {
        // Started from the menu (--workdir without a directory), nobody
        // reads standard error: the reason is shown in a dialog too.
        if (workdir_default_taken && gtk_init_check(&argc, &argv)) {
            GtkWidget *dialog = workdir_error_dialog(why);
            gtk_dialog_run(GTK_DIALOG(dialog));
            gtk_widget_destroy(dialog);
        }
        return 1;
    }
    if (!workdir_given) {
        gchar *cwd = g_get_current_dir();
        const std::string note = workdir_start_note(cwd, workdir_default());
        g_free(cwd);
        if (!note.empty()) {
            std::printf("%s\n", note.c_str());
            std::fflush(stdout);
        }
    }
    if (fast_option) {
        at_set_fast(true);
        std::printf("Fast exchange on: each read ends when the module's reply is complete.\n");
        std::fflush(stdout);
    }
    init_app_state();
    window_state_reset();
    build_startup();
    init_window(&argc, &argv);
    if (console)
        console_window_open(window);
    started = 1;
    gtk_main();
    // Nothing is torn down: an open port is not closed, nothing is sent.
    return 0;
}
