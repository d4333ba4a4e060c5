// The progress lines of a run.
#include "cli_progress.h"

#include "cli_output.h"
#include "cli_text.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

void cli_progress_view::set(size_t slot, const std::string &text, bool working)
{
    if (slot >= lines_.size()) {
        lines_.resize(slot + 1);
        working_.resize(slot + 1);
    }
    if (lines_[slot] == text && working_[slot] == working)
        return;
    lines_[slot] = text;
    working_[slot] = working;
    dirty_ = true;
}

void cli_progress_view::plain(const std::string &label, const std::string &text)
{
    if (mode_ == mode::plain) {
        std::fprintf(stderr, "%s: %s\n", label.c_str(), text.c_str());
        std::fflush(stderr);
    }
}

void cli_progress_view::alert(const std::string &text)
{
    erase();
    cli_error(text);
    dirty_ = true;
}

void cli_progress_view::message(const std::string &text)
{
    if (mode_ == mode::none)
        return;
    erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    dirty_ = true;
}

void cli_progress_view::result(const std::string &text)
{
    const bool shared = mode_ == mode::live && isatty(fileno(cli_out));
    if (shared)
        erase();
    std::fputs(text.c_str(), cli_out);
    std::fflush(cli_out);
    if (shared)
        dirty_ = true;
}

void cli_progress_view::redraw(bool force)
{
    if (mode_ != mode::live || (!dirty_ && !force))
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_draw_ < CLI_REDRAW_EVERY)
        return;
    last_draw_ = now;
    std::string out;
    if (shown_ > 0)
        out += "\033[" + std::to_string(shown_) + "A";
    const size_t width = columns();
    const auto shown = visible();
    for (const auto &l : shown)
        out += "\r\033[K" + cut(l, width) + "\n";
    out += "\033[J";
    shown_ = shown.size();
    dirty_ = false;
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void cli_progress_view::erase()
{
    if (mode_ != mode::live || shown_ == 0)
        return;
    std::fprintf(stderr, "\033[%zuA\r\033[J", shown_);
    std::fflush(stderr);
    shown_ = 0;
}

std::vector<std::string> cli_progress_view::visible() const
{
    winsize ws;
    const size_t rows =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 2 ? ws.ws_row - 1 : 0;
    if (rows == 0 || lines_.size() <= rows)
        return lines_;
    std::vector<bool> take(lines_.size(), false);
    size_t room = rows - 1, taken = 0;
    for (int pass = 0; pass < 2; pass++)
        for (size_t i = 0; i < lines_.size() && taken < room; i++)
            if (!take[i] && (pass == 1 || working_[i])) {
                take[i] = true;
                taken++;
            }
    std::vector<std::string> out;
    for (size_t i = 0; i < lines_.size(); i++)
        if (take[i])
            out.push_back(lines_[i]);
    out.push_back(cli_format(cli_gettext("... and %zu more"), lines_.size() - taken));
    return out;
}

size_t cli_progress_view::columns()
{
    winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
        return ws.ws_col - 1;
    return 79;
}

std::string cli_progress_view::cut(const std::string &s, size_t width)
{
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); i++) {
        if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80 && chars++ == width)
            return s.substr(0, i);
    }
    return s;
}
