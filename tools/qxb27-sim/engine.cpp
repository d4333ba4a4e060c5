// Mode handling and AT command replies of the emulated module.
#include "engine.h"

#include <algorithm>

namespace sim
{

namespace
{

const char line_end[] = "\r\n\r\n";
const char ok[] = "+ok";
// Starts with none of "+ok", "AT+", "A" or "a", so no test of the tool can
// take it for an answer.
const char garbage[] = "~#%garbage%#~\r\n";

bool starts_with(const std::string &s, const char *prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

} // namespace

engine::engine(store &st, const faults &f, link_mode start, bool echo)
    : store_(st), faults_(f), echo_start_(echo), echo_(echo), mode_(start),
      drop_armed_(f.drop_after > 0)
{
}

void engine::power_up(link_mode mode)
{
    flush_log();
    mode_ = mode;
    echo_ = echo_start_;
    frame_.clear();
    overlong_ = false;
}

void engine::feed(const char *data, size_t len, long now_ms, std::vector<action> &out)
{
    // Payload bytes after an idle gap start a new burst, so "+++" is
    // recognised after a pause even when unterminated payload came before.
    if (mode_ == link_mode::transparent && !frame_.empty() && now_ms - last_rx_ >= guard_ms)
        end_frame();
    last_rx_ = now_ms;

    bool stop = false;
    for (size_t i = 0; i < len && !stop; i++) {
        char c = data[i];
        if (c == '\0' && frame_.empty()) {
            // The zero byte after a keep-alive's "\n" belongs to that frame
            // in the log and starts no command.
            pending_log_ += c;
            continue;
        }
        flush_log();
        if (mode_ == link_mode::await_a) {
            if (c == 'a') {
                pending_log_ = "a";
                send(std::string(ok) + line_end, true, out);
                if (!out.empty())
                    out.back().delay_ms = faults_.ok_late_ms;
                mode_ = link_mode::command;
                continue;
            }
            mode_ = before_prompt_;
        }
        if (mode_ == link_mode::transparent)
            payload_byte(c);
        else
            command_byte(c, out, stop);
    }
    if (!stop && frame_ == "+++" && !overlong_) {
        end_frame();
        before_prompt_ = mode_;
        mode_ = link_mode::await_a;
        prompt_deadline_ = now_ms + await_a_ms;
        send("a", true, out);
    }
    flush_log();
}

int engine::timeout(long now_ms) const
{
    long due;
    if (mode_ == link_mode::await_a)
        due = prompt_deadline_;
    else if (mode_ == link_mode::transparent && !frame_.empty())
        due = last_rx_ + guard_ms;
    else
        return -1;
    return static_cast<int>(std::max(0L, due - now_ms));
}

void engine::tick(long now_ms)
{
    if (mode_ == link_mode::await_a && now_ms >= prompt_deadline_)
        mode_ = before_prompt_;
    if (mode_ == link_mode::transparent && !frame_.empty() && now_ms - last_rx_ >= guard_ms) {
        end_frame();
        flush_log();
    }
}

void engine::payload_byte(char c)
{
    frame_ += c;
    if (c == '\n' || frame_.size() >= line_max)
        end_frame();
}

void engine::command_byte(char c, std::vector<action> &out, bool &stop)
{
    if (c != '\n') {
        if (frame_.size() < line_max)
            frame_ += c;
        else
            overlong_ = true;
        return;
    }
    frame_ += c;
    std::string text = frame_.substr(0, frame_.size() - 1);
    bool overlong = overlong_;
    end_frame();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (overlong) {
        reply("+ERR=" + std::to_string(err_format), out);
        return;
    }
    if (!text.empty()) {
        const size_t first = out.size();
        command_line(text, out, stop);
        for (size_t i = first; i < out.size(); i++)
            if (out[i].kind == action::send && out[i].reply)
                reply_faults(text, out[i]);
    }
}

bool engine::late_applies(const std::string &text) const
{
    if (faults_.late_on.empty())
        return true;
    for (const auto &name : faults_.late_on) {
        const std::string q = "AT+" + name;
        if (text == q || text.compare(0, q.size() + 1, q + "=") == 0)
            return true;
    }
    return false;
}

void engine::reply_faults(const std::string &text, action &a) const
{
    if (text == "AT+")
        a.delay_ms = faults_.probe_late_ms;
    else if (text != "AT+W" && late_applies(text))
        a.delay_ms = faults_.late_ms;
    a.last_ms = faults_.last_byte_ms;
    a.split_at = faults_.split_at;
    a.split_ms = faults_.split_ms;
    a.stray = faults_.stray;
    if (!faults_.trickle.empty() && text == "AT+" + faults_.trickle)
        a.gap_ms = 150;
}

void engine::command_line(const std::string &text, std::vector<action> &out, bool &stop)
{
    if (text != "AT+W" && faults_.silent_after > 0 && ++commands_ > faults_.silent_after)
        hung_ = true;
    if (text != "AT+W")
        swap_count();
    if (echo_)
        send(text + "\r\n", false, out);

    bool keep_alive = false;
    if (text == "AT+") {
        reply(ok, out);
    } else if (!starts_with(text, "AT+")) {
        reply("+ERR=" + std::to_string(err_format), out);
    } else {
        size_t eq = text.find('=');
        std::string name = text.substr(3, eq == std::string::npos ? std::string::npos : eq - 3);
        if (eq != std::string::npos && refusal(name) != 0) {
            reply("+ERR=" + std::to_string(refusal(name)), out);
        } else if (eq != std::string::npos && std::find(faults_.keep.begin(), faults_.keep.end(),
                                                        name) != faults_.keep.end()) {
            reply(ok, out);
        } else if (eq != std::string::npos) {
            int err = store_.apply(name, text.substr(eq + 1));
            if (err == 0 && on_change)
                on_change();
            reply(err == 0 ? std::string(ok) : "+ERR=" + std::to_string(err), out);
        } else if (name == "W") {
            keep_alive = true;
            reply(ok, out);
        } else if (name == "E") {
            echo_ = !echo_;
            reply(ok, out);
        } else if (name == "ENTM") {
            reply(ok, out);
            mode_ = link_mode::transparent;
        } else if (name == "Z" || name == "RELD") {
            if (name == "RELD") {
                store_.reset();
                if (on_change)
                    on_change();
            }
            reply(ok, out);
            out.push_back({action::restart, "", false});
            stop = true;
        } else if (int i = store::find(name); i >= 0) {
            reply(std::string(ok) + "=" + store_.value(i), out);
        } else {
            reply("+ERR=" + std::to_string(err_command), out);
        }
    }
    if (!keep_alive && drop_armed_ && ++frames_ >= faults_.drop_after && !stop) {
        drop_armed_ = false;
        out.push_back({action::drop, "", false});
        stop = true;
    }
}

int engine::refusal(const std::string &name) const
{
    for (const auto &r : faults_.refuse)
        if (r.first == name)
            return r.second;
    return 0;
}

void engine::swap_count()
{
    if (faults_.swap_after > 0 && ++swap_frames_ == faults_.swap_after)
        store_.set_raw("MID", faults_.swap_mid);
}

void engine::reply(const std::string &body, std::vector<action> &out) const
{
    if (faults_.garbage)
        send(garbage, true, out);
    else
        send(faults_.no_line_ends ? body : body + line_end, true, out);
}

void engine::send(const std::string &bytes, bool is_reply, std::vector<action> &out) const
{
    if (!faults_.silent && !hung_)
        out.push_back({action::send, bytes, is_reply});
}

void engine::end_frame()
{
    flush_log();
    pending_log_ = frame_;
    frame_.clear();
    overlong_ = false;
}

void engine::flush_log()
{
    if (!pending_log_.empty() && on_frame)
        on_frame(pending_log_);
    pending_log_.clear();
}

} // namespace sim
