// The working directory an installed program keeps its files in when it is
// not started from a shell (set_para.txt, pic, cmd_*_tmp.txt and data/).
#ifndef MODCFG_WORKDIR_H
#define MODCFG_WORKDIR_H

#include <string>

// The user's own directory for the tool: $XDG_DATA_HOME/modcfg, or
// $HOME/.local/share/modcfg when XDG_DATA_HOME is unset, empty or relative
// (relative values are invalid by the XDG rules). HOME falls back to the
// password database, as GLib does.
std::string workdir_default();

// The logo a program at EXE_PATH was installed with: the installed data
// directory's "pic" relative to the program's directory (so a tree moved as
// a whole, or installed under DESTDIR, still finds it), else "pic" beside
// the program (the build tree). Empty when neither exists.
std::string workdir_logo_for(const std::string &exe_path);

// workdir_logo_for the running program (/proc/self/exe).
std::string workdir_installed_logo();

// Creates DIR with its parents (mode 0700, as the XDG rules ask) and its
// data/, and copies LOGO to DIR/pic when DIR has no pic yet. Files already
// there are left as they are, so a user's own logo and settings survive.
// An empty or unreadable LOGO is skipped: the window works without one.
// Returns "" on success, else why DIR cannot be used.
std::string workdir_prepare(const std::string &dir, const std::string &logo);

// Prepares DIR with the installed logo and makes it the working directory.
// False after printing why on stderr, prefixed with the program's name, and
// setting `why` (when given) to the same reason.
bool workdir_enter(const std::string &dir, std::string *why = nullptr);

// The console line of a window started without --workdir in CWD when CWD
// lacks "pic" or "data/" (typed in a shell after installing): where command
// files are saved, that Save needs data/ when it is missing, and that
// --workdir keeps them in PER_USER. Empty when
// CWD has both, which is how a working directory looks.
std::string workdir_start_note(const std::string &cwd, const std::string &per_user);

#endif
