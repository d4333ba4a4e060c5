// modcfg's texts are English and stay so; they are gettext-ready in their
// own domain, "modcfg-cli", for a catalogue a translator may add (none is
// shipped): option help through GOption's translation domain, other
// messages through cli_gettext.
#ifndef MODCFG_CLI_TEXT_H
#define MODCFG_CLI_TEXT_H

#include <glib.h>
#include <libintl.h>

#define MODCFG_CLI_TEXT_DOMAIN "modcfg-cli"

// `msgid` in the user's language where a catalogue has it, else itself.
inline const char *cli_gettext(const char *msgid)
{
    return dgettext(MODCFG_CLI_TEXT_DOMAIN, msgid);
}

// Lets GOption look the context's summary, description and option help up
// in modcfg's domain. Call after g_option_context_new.
inline void cli_text_domain(GOptionContext *context)
{
    g_option_context_set_translation_domain(context, MODCFG_CLI_TEXT_DOMAIN);
}

// Binds the domain as UTF-8 (at the default catalogue directory). Called
// once at start, after setlocale.
inline void cli_text_init()
{
    bind_textdomain_codeset(MODCFG_CLI_TEXT_DOMAIN, "UTF-8");
}

#endif
