// The network build's connection thread, and the window-side steps it hands
// to the main loop when a module connects and when the link is lost.
#include "net_module.h"

#include "button_clicked.h"
#include "command.h"
#include "lang.h"
#include "main.h"
#include "module.h"
#include "module_session.h"
#include "pccom.h"
#include "tcpsock.h"
#include "window.h"
#include "window_state.h"

#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <unistd.h>

std::string net_listen_address;
std::vector<net_allow_rule> net_allowed;

namespace
{

// Only the main thread may touch GTK. The thread's widget changes run as
// idle callbacks of the default main context; all are added at the same
// priority, and GLib dispatches equal-priority sources in the order they
// were added, so they happen in the order the thread asked for them.
struct main_call {
    std::function<void()> fn;
    std::promise<void> done;
};

gboolean run_main_call(gpointer data)
{
    std::unique_ptr<main_call> call(static_cast<main_call *>(data));
    call->fn();
    call->done.set_value();
    return G_SOURCE_REMOVE;
}

std::future<void> post_to_main(std::function<void()> fn)
{
    auto *call = new main_call{std::move(fn), {}};
    std::future<void> done = call->done.get_future();
    // g_idle_add always queues: g_main_context_invoke would run the call
    // right here, on this thread, whenever the main loop is not running.
    g_idle_add_full(G_PRIORITY_DEFAULT, run_main_call, call, nullptr);
    return done;
}

void on_main(std::function<void()> fn)
{
    post_to_main(std::move(fn));
}

void on_main_wait(std::function<void()> fn)
{
    post_to_main(std::move(fn)).wait();
}

void console(const char *line)
{
    std::fputs(line, stdout);
    std::fflush(stdout);
}

void set_sensitive(GtkWidget *widget, gboolean on)
{
    if (widget)
        gtk_widget_set_sensitive(widget, on);
}

gpointer connect_thread_main(gpointer)
{
    net_connect_thread();
    return nullptr;
}

} // namespace

void set_conn_text(int lp_st)
{
    static const char *const texts[] = {text_net_conn1, text_net_conn1, text_net_conn2,
                                        text_net_conn3, text_net_conn4, text_net_conn5,
                                        text_net_conn6};
    if (!label_net_conn)
        return;
    const char *text = lp_st >= 1 && lp_st <= 6 ? texts[lp_st] : text_net_conn1;
    gtk_label_set_text(GTK_LABEL(label_net_conn), ui_text(text).get());
}

void net_module_connected()
{
    clear_mod_structs();
    if (auto_setting == 0) {
        set_sensitive(button_setting_read, TRUE);
        set_sensitive(button_setting_down, TRUE);
    }
    strPCCom.bopened = 1;
    if (auto_setting == 1)
        button_setting_down_clicked();
}

void net_module_disconnected()
{
    module_session_leave();
    set_sensitive(button_setting_read, FALSE);
    set_sensitive(button_setting_save, FALSE);
    set_sensitive(button_setting_down, FALSE);
    set_sensitive(frame_module, FALSE);
    strPCCom.bopened = 0;
    page_mana_shown = page_comm_shown = page_ap_shown = page_sta_shown = 0;
    cmd_num_ap = cmd_num_comm = cmd_num_mod = cmd_num_sta = 0;
}

void net_connect_thread()
{
    int server = tcpsock_server_init(net_listen_address.c_str());
    if (server == 0)
        return; // nothing to wait on; the window stays usable without a module
    int lp_st = 0;
    for (;;) {
        int ready = get_select(server);
        int sock = 0;
        sockaddr_in peer{};
        if (ready == 1) {
            sock = tcpsock_accept(server, &peer);
            if (sock < 0)
                return; // "accept failed": no module can connect in this run
            // Nothing may reach a stranger: with auto-apply on, the command
            // file (Wi-Fi keys included) would go out at once.
            if (sock > 0 && !net_allow_match(net_allowed, peer.sin_addr)) {
                close(sock);
                console(
                    ("Refused " + net_peer_text(peer) + ": not in an allowed network\n").c_str());
                sock = 0;
            }
        } else if (ready < 0) {
            // Keep the animation's pace instead of spinning on the error.
            g_usleep(G_USEC_PER_SEC);
        }
        if (sock == 0) {
            lp_st = lp_st + 1 > 5 ? 0 : lp_st + 1;
            on_main([lp_st] { set_conn_text(lp_st); });
            continue;
        }

        // The time-out goes on before the socket is shared: no exchange may
        // ever block on it without one.
        tcpsock_set_recv_timeout(sock, TCP_RECV_TIMEOUT_MS);
        tcpsock_attach(sock);
        on_main([] { set_conn_text(6); });
        console("Accept OK!\n");
        console(("Connected from " + net_peer_text(peer) + "\n").c_str());
        // The connected steps (with the auto-apply) finish before the first
        // keep-alive.
        on_main_wait([] {
            set_lamp(1);
            net_module_connected();
        });

        // Every second on the clock, however long the module takes to
        // answer (the reply wait is inside the period), so that a lost
        // link shows as soon as it would with a quick module.
        gint64 due = g_get_monotonic_time();
        do {
            due += G_USEC_PER_SEC;
            const gint64 now = g_get_monotonic_time();
            if (due > now)
                g_usleep(static_cast<gulong>(due - now));
            else
                due = now; // an exchange held the link past the time: go on from now
        } while (tcpsock_keep_alive() >= 0);

        tcpsock_drop();
        // Waited for, so that the link-lost steps of this module are done
        // before the next module can be accepted.
        on_main_wait([] {
            set_lamp(2);
            net_module_disconnected();
        });
    }
}

void net_start_connect_thread()
{
    client_sock_mutex = g_new0(GMutex, 1);
    g_mutex_init(client_sock_mutex);
    settcpsock(0);
    // Never joined: the thread runs until the process ends.
    g_thread_unref(g_thread_new("net_connect", connect_thread_main, nullptr));
}
