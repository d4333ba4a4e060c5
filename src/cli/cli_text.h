// modcfg's texts are English and stay so; they are gettext-ready in their
// own domain, "modcfg-cli", for a catalogue a translator may add (none is
// shipped): option help through GOption's translation domain, other
// messages through cli_gettext. po/make-cli-pot.sh collects them.
#ifndef MODCFG_CLI_TEXT_H
#define MODCFG_CLI_TEXT_H

#include <glib.h>
#include <libintl.h>

#include <cstdarg>
#include <string>

#define MODCFG_CLI_TEXT_DOMAIN "modcfg-cli"

// Marks a text for the template where it is stored; cli_gettext looks it
// up where it is used.
#define N_(text) text

// `msgid` in the user's language where a catalogue has it, else itself.
// The compiler checks a translated format against its arguments as it
// would the literal.
G_GNUC_FORMAT(1) inline const char *cli_gettext(const char *msgid)
{
    return dgettext(MODCFG_CLI_TEXT_DOMAIN, msgid);
}

// printf into a string, for messages whose parts a translator may reorder
// ("%2$s ... %1$s"). The format is always one of modcfg's own texts; what
// comes from outside (a file name, a module's answer) goes in as an
// argument.
G_GNUC_PRINTF(1, 2) inline std::string cli_format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gchar *text = g_strdup_vprintf(format, args);
    va_end(args);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// Lets GOption look the context's summary, description and option help up
// in modcfg's domain. Call after g_option_context_new.
inline void cli_text_domain(GOptionContext *context)
{
    g_option_context_set_translation_domain(context, MODCFG_CLI_TEXT_DOMAIN);
}

// Binds the domain as UTF-8. An installed tree keeps its catalogues at
// ../share/locale from the program, wherever it was installed or unpacked;
// elsewhere (the build tree) the default directory stays. Called once at
// start, after setlocale.
inline void cli_text_init()
{
    if (gchar *exe = g_file_read_link("/proc/self/exe", nullptr)) {
        gchar *bindir = g_path_get_dirname(exe);
        gchar *dir = g_build_filename(bindir, "..", "share", "locale", nullptr);
        if (g_file_test(dir, G_FILE_TEST_IS_DIR))
            bindtextdomain(MODCFG_CLI_TEXT_DOMAIN, dir);
        g_free(dir);
        g_free(bindir);
        g_free(exe);
    }
    bind_textdomain_codeset(MODCFG_CLI_TEXT_DOMAIN, "UTF-8");
}

#endif
