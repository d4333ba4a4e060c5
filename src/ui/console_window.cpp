// The console window and the capture of standard output and error behind it.
#include "console_window.h"

#include "lang.h"

#include <gdk/gdkkeysyms.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

// Present only in a build with a sanitizer: a report it writes on standard
// error must reach the terminal before the process dies.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

GtkWidget *console_window;
GtkWidget *console_view;

namespace
{

struct capture {
    int original[2] = {-1, -1}; // where descriptors 1 and 2 went before
    int pipe_out[2] = {-1, -1}; // read ends, one per descriptor
    std::string carry[2];       // a UTF-8 sequence cut by a read, per descriptor
    std::thread reader;
    std::mutex lock;            // guards pending and idle_queued
    std::string pending;        // read, not yet in the window
    bool idle_queued = false;
    bool running = false;
};

// Never freed: the exit handler and a late print still reach it.
capture *cap;

// Beyond this, text waiting for a window that never shows is dropped from
// its front (10,000 long lines).
constexpr size_t pending_limit = 8u << 20;

void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return; // nowhere to go: the window still gets the text
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// The length of `s` without a trailing UTF-8 sequence that the next read
// completes.
size_t complete_utf8(const std::string &s)
{
    for (size_t back = 1; back <= 4 && back <= s.size(); back++) {
        const auto c = static_cast<unsigned char>(s[s.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue;
        const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? s.size() - back : s.size();
    }
    return s.size();
}

void append_to_view(const std::string &bytes)
{
    if (console_view == nullptr || bytes.empty())
        return;
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(console_view));
    gchar *text = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, text, -1);
    g_free(text);
    // The last line is the one still being written (empty after a line end).
    const int over = gtk_text_buffer_get_line_count(buffer) - 1 - console_max_lines;
    if (over > 0) {
        GtkTextIter start, cut;
        gtk_text_buffer_get_start_iter(buffer, &start);
        gtk_text_buffer_get_iter_at_line(buffer, &cut, over);
        gtk_text_buffer_delete(buffer, &start, &cut);
    }
    gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(console_view),
                                       gtk_text_buffer_get_mark(buffer, "newest"));
}

// UI thread: moves what the reader queued into the window. Before the window
// exists the text stays queued; console_window_open takes it.
gboolean take_pending(gpointer)
{
    std::string text;
    {
        std::lock_guard<std::mutex> hold(cap->lock);
        cap->idle_queued = false;
        if (console_view == nullptr)
            return FALSE;
        text.swap(cap->pending);
    }
    append_to_view(text);
    return FALSE;
}

void queue(int which, const char *p, size_t n)
{
    std::string &carry = cap->carry[which];
    carry.append(p, n);
    const size_t whole = complete_utf8(carry);
    std::lock_guard<std::mutex> hold(cap->lock);
    cap->pending.append(carry, 0, whole);
    carry.erase(0, whole);
    if (cap->pending.size() > pending_limit)
        cap->pending.erase(0, cap->pending.size() - pending_limit);
    if (!cap->idle_queued) {
        cap->idle_queued = true;
        g_idle_add(take_pending, nullptr);
    }
}

// Until both pipes reach their end (console_capture_stop closed their write
// ends): each read goes on to the original descriptor first, then to the
// window.
void read_pipes()
{
    pollfd fds[2] = {{cap->pipe_out[0], POLLIN, 0}, {cap->pipe_out[1], POLLIN, 0}};
    int open = 2;
    char buf[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                write_all(cap->original[i], buf, static_cast<size_t>(n));
                queue(i, buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
}

void stop_at_exit()
{
    console_capture_stop();
}

gboolean hide_on_close(GtkWidget *widget, GdkEvent *, gpointer)
{
    gtk_widget_hide(widget);
    return TRUE;
}

gboolean bring_back(GtkAccelGroup *, GObject *, guint, GdkModifierType, gpointer)
{
    if (console_window == nullptr)
        return FALSE;
    gtk_window_present(GTK_WINDOW(console_window));
    return TRUE;
}

void copy_all(GtkButton *, gpointer)
{
    const std::string text = console_text();
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), text.c_str(),
                           static_cast<gint>(text.size()));
}

void clear_all(GtkButton *, gpointer)
{
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(console_view)), "", 0);
}

// Below the main window when the screen has room for it, else to its right:
// the console never covers the window it reports on.
void place_beside(GtkWidget *console, GtkWidget *main_window)
{
    int x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(main_window), &x, &y);
    GtkRequisition req;
    gtk_widget_size_request(main_window, &req);
    GdkScreen *screen = gtk_window_get_screen(GTK_WINDOW(main_window));
    const int screen_h = gdk_screen_get_height(screen);
    const int below = y + req.height + 40; // room for a title bar
    if (screen_h - below >= 200) {
        gtk_window_move(GTK_WINDOW(console), x, below);
        gtk_window_set_default_size(GTK_WINDOW(console), req.width, std::min(320, screen_h - below - 40));
    } else {
        gtk_window_move(GTK_WINDOW(console), x + req.width + 20, y);
        gtk_window_set_default_size(GTK_WINDOW(console), 560, req.height);
    }
}

} // namespace

bool console_wanted(bool forced, bool forbidden)
{
    if (forbidden)
        return false;
    return forced || isatty(STDOUT_FILENO) == 0;
}

bool console_capture_start()
{
    if (cap != nullptr && cap->running)
        return true;
    if (cap == nullptr)
        cap = new capture;
    int made[2][2];
    if (pipe(made[0]) != 0)
        return false;
    if (pipe(made[1]) != 0) {
        close(made[0][0]);
        close(made[0][1]);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; i++) {
        cap->original[i] = dup(i + 1);
        cap->pipe_out[i] = made[i][0];
        // The program's own children (none today) must not keep the pipes.
        fcntl(made[i][0], F_SETFD, FD_CLOEXEC);
        dup2(made[i][1], i + 1);
        close(made[i][1]);
    }
    // Lines reach the window as they are printed, not when a block fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    cap->running = true;
    cap->reader = std::thread(read_pipes);
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(stop_at_exit);
        if (__sanitizer_set_death_callback)
            __sanitizer_set_death_callback(stop_at_exit);
    }
    return true;
}

void console_capture_stop()
{
    if (cap == nullptr || !cap->running)
        return;
    cap->running = false;
    std::fflush(stdout);
    std::fflush(stderr);
    // Descriptors 1 and 2 held the pipes' only write ends: the reader now
    // reads to their end and returns.
    for (int i = 0; i < 2; i++)
        dup2(cap->original[i], i + 1);
    if (cap->reader.get_id() == std::this_thread::get_id()) {
        cap->reader.detach();
        return;
    }
    cap->reader.join();
    for (int i = 0; i < 2; i++)
        close(cap->original[i]);
}

void console_window_open(GtkWidget *main_window)
{
    if (console_window != nullptr)
        return;
    console_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_signal_connect(console_window, "destroy", G_CALLBACK(gtk_widget_destroyed), &console_window);
    const char *prog = g_get_prgname();
    const std::string title = std::string(prog ? prog : "modcfg") + " console";
    gtk_window_set_title(GTK_WINDOW(console_window), title.c_str());
    gtk_container_set_border_width(GTK_CONTAINER(console_window), 6);
    g_signal_connect(console_window, "delete-event", G_CALLBACK(hide_on_close), nullptr);

    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_add(GTK_CONTAINER(console_window), box);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    console_view = gtk_text_view_new();
    g_signal_connect(console_view, "destroy", G_CALLBACK(gtk_widget_destroyed), &console_view);
    gtk_text_view_set_editable(GTK_TEXT_VIEW(console_view), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(console_view), FALSE);
    // Long lines (the start note, a port's hint) wrap rather than hide.
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(console_view), GTK_WRAP_WORD_CHAR);
    PangoFontDescription *mono = pango_font_description_from_string("Monospace 9");
    gtk_widget_modify_font(console_view, mono);
    pango_font_description_free(mono);
    gtk_container_add(GTK_CONTAINER(scroll), console_view);
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(console_view));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_create_mark(buffer, "newest", &end, FALSE);

    GtkWidget *buttons = gtk_hbutton_box_new();
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 6);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
    GtkWidget *copy = gtk_button_new_with_label(ui_text(text_console_copy).get());
    g_signal_connect(copy, "clicked", G_CALLBACK(copy_all), nullptr);
    gtk_container_add(GTK_CONTAINER(buttons), copy);
    GtkWidget *clear = gtk_button_new_with_label(ui_text(text_console_clear).get());
    g_signal_connect(clear, "clicked", G_CALLBACK(clear_all), nullptr);
    gtk_container_add(GTK_CONTAINER(buttons), clear);

    GtkAccelGroup *keys = gtk_accel_group_new();
    gtk_accel_group_connect(keys, GDK_KEY_l, GDK_CONTROL_MASK, GtkAccelFlags(0),
                            g_cclosure_new(G_CALLBACK(bring_back), nullptr, nullptr));
    gtk_window_add_accel_group(GTK_WINDOW(main_window), keys);
    g_object_unref(keys);

    place_beside(console_window, main_window);
    gtk_widget_show_all(console_window);
    if (cap != nullptr) {
        std::lock_guard<std::mutex> hold(cap->lock);
        std::string text;
        text.swap(cap->pending);
        append_to_view(text);
    }
}

std::string console_text()
{
    if (console_view == nullptr)
        return "";
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(console_view));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar *text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    std::string out = text;
    g_free(text);
    return out;
}
