// The console window: what the program prints on standard output and
// standard error, shown in a plain window of its own for a window started
// where nobody reads them (from the menu, standard output not a terminal).
#ifndef MODCFG_CONSOLE_WINDOW_H
#define MODCFG_CONSOLE_WINDOW_H

#include <gtk/gtk.h>

#include <string>

// Null until console_window_open, and after --no-console.
extern GtkWidget *console_window;
// Its text view (monospace, newest line in view).
extern GtkWidget *console_view;

// Lines kept in the window; older ones are dropped first.
constexpr int console_max_lines = 10000;

// Routes file descriptors 1 and 2 through pipes read by a thread of its own:
// every byte still goes on, unchanged, to where it went before, and is
// handed to the UI thread (through the main loop) for the window. Standard
// output becomes line-buffered. What is printed before the window is built
// waits for it. False (nothing changed) when the pipes or the thread can not
// be made. An exit handler flushes both streams and gives the descriptors
// back before anything else runs at exit.
bool console_capture_start();

// Flushes, puts the original descriptors back and waits until the reader
// has passed on everything it was given. Safe to call twice.
void console_capture_stop();

// Builds the console window beside `main_window` (after it, so that the
// main window stays the program's first top-level window), shows it, and
// binds Ctrl+L in the main window to bring it back once closed. Closing the
// console window hides it.
void console_window_open(GtkWidget *main_window);

// Whether the console window opens: --console forces it, --no-console
// forbids it, and otherwise it opens when standard output is not a terminal.
bool console_wanted(bool forced, bool forbidden);

// The text the window shows now.
std::string console_text();

#endif
