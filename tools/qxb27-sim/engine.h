// The module's side of the conversation, independent of the transport:
// transparent and command mode, the "+++" / "a" handshake, echo, and the
// replies to AT command frames.
//
// Wire behaviour chosen here (the tool relies only on the first bytes):
// - frames end with "\n"; a "\r" before it is dropped; zero bytes at the
//   start of a frame are skipped (the network keep-alive ends "\n" + zero);
// - "AT+" (the probe) and "AT+W" (the keep-alive) answer "+ok\r\n\r\n";
// - a query answers "+ok=<value>\r\n\r\n", a valid set command "+ok\r\n\r\n",
//   anything else "+ERR=<n>\r\n\r\n" (see store.h); an empty line nothing;
// - with echo on, each command line comes back as "<line>\r\n" before the
//   reply; "AT+E" toggles echo (the "AT+E" that turns it off is echoed);
// - "+++" arriving with nothing else pending, in either mode, answers "a";
//   a following "a" within 3 s answers exactly "+ok\r\n\r\n" and enters
//   command mode, anything else goes back to the mode before;
// - in transparent mode everything else is payload and gets no answer.
#ifndef QXB27_SIM_ENGINE_H
#define QXB27_SIM_ENGINE_H

#include "store.h"

#include <functional>
#include <string>
#include <vector>

namespace sim
{

enum class link_mode { transparent, await_a, command };

// Test faults: how the module misbehaves on the wire.
struct faults {
    bool silent = false;       // sends nothing at all
    bool garbage = false;      // AT replies are replaced by bytes the tool cannot take for
                               // "+ok", an echo or "a"; the commands still take effect
    bool no_line_ends = false; // AT replies lack their final "\r\n\r\n"
    long drop_after = 0;       // drop the link once, after this many command frames
                               // (keep-alives not counted); 0: never
    long silent_after = 0;     // answer this many command frames (keep-alives not
                               // counted), then send nothing for the rest of the run
                               // (a module that hangs); 0: never
    std::vector<std::string> keep; // settings whose set commands are acknowledged
                                   // but change nothing
    // Timing faults, in milliseconds (0: none). "Command replies" are the
    // replies to command frames other than the probe "AT+" and the
    // keep-alive "AT+W".
    long late_ms = 0;      // each command reply comes this late
    long probe_late_ms = 0; // the reply to the probe "AT+" comes this late
    long ok_late_ms = 0;   // the "+ok" that answers "a" comes this late
    long last_byte_ms = 0; // the last byte of each reply to a frame comes this late
    bool stray = false;    // one byte 0xff follows each reply to a frame, 5 ms after it
    std::string trickle;   // the reply to this setting's query comes a byte every 150 ms
    // Set commands of these settings are answered "+ERR=<code>" (name, code).
    std::vector<std::pair<std::string, int>> refuse;
    // After this many command frames (keep-alives not counted) another
    // module is in place: it reports swap_mid as its MID. 0: never.
    long swap_after = 0;
    std::string swap_mid;
    // Only the replies to these settings' frames come late_ms late (none
    // given: every command reply).
    std::vector<std::string> late_on;
    // Each reply to a frame is written in two parts: its first split_at
    // bytes, then the rest split_ms later (0: whole).
    long split_at = 0, split_ms = 0;
};

struct action {
    enum kind_t { send, restart, drop } kind;
    std::string bytes; // for send
    bool reply;        // a reply (paused by --delay), not an echo
    long delay_ms = 0; // a further pause before it
    long gap_ms = 0;   // pause between its bytes
    long last_ms = 0;  // pause before its last byte
    long split_at = 0, split_ms = 0; // pause of split_ms after its first split_at bytes
    bool stray = false; // a stray byte follows it
};

class engine
{
  public:
    engine(store &st, const faults &f, link_mode start, bool echo);

    // Bytes from the PC received at NOW_MS (a monotonic clock). What the
    // module does in answer is appended to OUT in order. After a restart
    // or drop action the rest of the bytes is lost with the link.
    void feed(const char *data, size_t len, long now_ms, std::vector<action> &out);
    // Milliseconds until tick() has something to do, or -1.
    int timeout(long now_ms) const;
    // Time-driven changes: an unanswered "a" prompt expires.
    void tick(long now_ms);
    // State after power-up or on a new link: MODE, echo as configured at
    // start, nothing pending.
    void power_up(link_mode mode);
    link_mode mode() const { return mode_; }

    // Every frame received, as bytes (for the frame log).
    std::function<void(const std::string &)> on_frame;
    // The store changed (for the state file).
    std::function<void()> on_change;

  private:
    static constexpr size_t line_max = 400;  // longest frame kept, with its "\n"
    static constexpr long await_a_ms = 3000; // how long the "a" prompt stands
    static constexpr long guard_ms = 100;    // idle gap that ends transparent payload

    void payload_byte(char c);
    void command_byte(char c, std::vector<action> &out, bool &stop);
    void command_line(const std::string &frame, std::vector<action> &out, bool &stop);
    void reply(const std::string &body, std::vector<action> &out) const;
    // The "+ERR" code --refuse gives a set command of NAME, or 0.
    int refusal(const std::string &name) const;
    // --swap-after: counts a command frame; the other module is in place
    // once their number is reached.
    void swap_count();
    // The timing faults of a reply to the frame `text`, on its action.
    void reply_faults(const std::string &text, action &a) const;
    // Whether --late holds for the reply to the frame `text` (--late-on).
    bool late_applies(const std::string &text) const;
    void send(const std::string &bytes, bool is_reply, std::vector<action> &out) const;
    void end_frame();
    void flush_log();

    store &store_;
    faults faults_;
    bool echo_start_;
    bool echo_;
    link_mode mode_;
    link_mode before_prompt_ = link_mode::transparent;
    long prompt_deadline_ = 0;
    long last_rx_ = 0;
    std::string frame_;       // bytes of the frame being received
    std::string pending_log_; // last complete frame, logged once its trailing zeros are in
    bool overlong_ = false;
    bool drop_armed_;
    long frames_ = 0;
    long commands_ = 0; // command frames seen, keep-alives not counted
    bool hung_ = false; // silent_after reached
    long swap_frames_ = 0;
};

} // namespace sim

#endif
