// The network build's connection thread and the window-side steps it runs
// when a module connects and when the link is lost.
#ifndef MODCFG_NET_MODULE_H
#define MODCFG_NET_MODULE_H

#include "net_access.h"

#include <string>
#include <vector>

// Who may reach the server, from the command line (--listen, --allow); set
// before the connection thread starts and only read afterwards. The
// address to listen on ("" every local address) and the networks a module
// may connect from (none: any).
extern std::string net_listen_address;
extern std::vector<net_allow_rule> net_allowed;

// Body of the connection thread: listens on port 9999 of
// net_listen_address, animates the waiting text, accepts the module (a
// peer outside net_allowed is closed at once, with a console line, and
// waiting goes on), keeps the link alive once a second and notices its
// loss. It never touches GTK itself: every widget change, and the
// auto-apply, is handed to the main loop in order, and the thread waits
// for the connected and link-lost steps to finish. Ends when the listening
// socket cannot be set up or accepting fails; otherwise runs for the
// life of the process.
void net_connect_thread();

// Starts net_connect_thread, once, after creating client_sock_mutex.
void net_start_connect_thread();

// Main thread only. A module has connected: clears the records' flags,
// offers the command-file buttons (auto-apply off), marks the link open and
// applies the command file (auto-apply on).
void net_module_connected();
// Main thread only. The link is lost: sends "AT+ENTM" (it fails at once),
// makes the command-file buttons and the module frame insensitive, marks
// the link closed and empties page flags and pending-command counters.
void net_module_disconnected();
// Main thread only. Status label text: 1..5 the waiting animation (one,
// two, three, three, four dots), 6 "模块已连接", other values the first
// waiting text. Does nothing while the label does not exist.
void set_conn_text(int lp_st);

#endif
