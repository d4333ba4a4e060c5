// The AT exchange: queries, set commands and the echo test over any at_link,
// and the serial command-mode entry (probe, then the "+++" handshake).
#include "module_at.h"

#include "pccom.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <termios.h>
#include <thread>

namespace
{

bool fast_exchange = false;
bool refusal_answers = false;
// Fast exchange: probes of the connect under way whose reads got nothing.
// A slow module's answers to them are still to come and must be read off,
// or the next command would take one for its own reply.
int probes_unanswered = 0;
// Fast exchange: the last query or set command failed, and its reply may
// still be on its way; the next frame waits for a quiet line.
bool reply_may_follow = false;

constexpr char PROBE[] = "AT+\n";
constexpr int PROBE_LEN = 4;
constexpr int PROBE_TRIES = 2;
constexpr int HANDSHAKE_TRIES = 3; // "+++" sent at most this often

// Read lengths: each bounds one read, and on the serial port its time-out.
constexpr int PROBE_READ = 20;
constexpr int CLEAN_READ = 5;
constexpr int HANDSHAKE_READ = 5;
constexpr int HANDSHAKE_OK_READ = 10;
constexpr int GET_READ = 100;
constexpr int SET_READ = 10;
constexpr int ECHO_READ = 25;

// "+ok\r\n\r\n": the only answer to "a" that completes the handshake.
constexpr int HANDSHAKE_OK_LEN = 7;
// "+ok=" before a query's value, "\r\n\r\n" after it.
constexpr int VALUE_HEAD = 4;
constexpr int VALUE_TAIL = 4;

// A pause, cut short once the process must end (serial_interrupt_reads).
void pause_ms(int ms)
{
    constexpr int slice_ms = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end && !serial_reads_interrupted();
         now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(slice_ms)));
}

bool begins(const char *buf, int n, const char *prefix)
{
    const int plen = static_cast<int>(std::strlen(prefix));
    return n >= plen && std::memcmp(buf, prefix, static_cast<size_t>(plen)) == 0;
}

void progress(const char *text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Sends `cmd` and a line feed in one write; false when not all went out.
bool send_frame(const at_link &link, const char *cmd)
{
    std::string frame(cmd);
    frame += '\n';
    if (frame.size() > static_cast<size_t>(INT_MAX))
        return false;
    const int len = static_cast<int>(frame.size());
    return link.write(link.ctx, frame.data(), len) == len;
}

bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

// True when buf[0..n) ends with a reply's final "\r\n\r\n".
bool ends_reply(const char *buf, int n)
{
    return n >= VALUE_TAIL && std::memcmp(buf + n - VALUE_TAIL, "\r\n\r\n", VALUE_TAIL) == 0;
}

// Where `text` first begins in buf[0..n), or -1.
int find_in(const char *buf, int n, const char *text)
{
    const int len = static_cast<int>(std::strlen(text));
    for (int i = 0; i + len <= n; i++)
        if (std::memcmp(buf + i, text, static_cast<size_t>(len)) == 0)
            return i;
    return -1;
}

// Moves the reply in buf[0..n) to its front: the first "+ok" and what
// follows it. Bytes before it (a stray byte on the line, the line ends or
// the tail of an earlier reply that came after this frame went out) hold no
// "+ok", so they are no reply of any frame. The count kept, or -1 when no
// reply begins in it.
int reply_from_front(char *buf, int n)
{
    const int at = find_in(buf, n, "+ok");
    if (at < 0)
        return -1;
    std::memmove(buf, buf + at, static_cast<size_t>(n - at));
    return n - at;
}

// Drops what the module sent that no frame is waiting for: a late reply,
// stray bytes after a reply's end. Done before each frame, so that a reply
// is taken only from bytes that came after its frame.
void drop_waiting(const at_link &link)
{
    if (link.drop_waiting)
        link.drop_waiting(link.ctx);
}

// True when the link's last read ended by its total time-out amid a reply.
bool read_was_cut(const at_link &link)
{
    return link.read_cut && link.read_cut(link.ctx);
}

// The last VALUE_TAIL bytes of buf[0..n), zero bytes first when n is shorter.
using reply_tail = std::array<char, VALUE_TAIL>;
reply_tail last_bytes(const char *buf, int n)
{
    reply_tail tail{};
    const int k = n < VALUE_TAIL ? n : VALUE_TAIL;
    std::memcpy(tail.data() + VALUE_TAIL - k, buf + n - k, static_cast<size_t>(k));
    return tail;
}

// The end of a fast read: a reply is complete once the bytes so far end
// with "\r\n\r\n"; `before` holds the last bytes of the same reply that
// earlier reads took.
at_read_end reply_complete(const reply_tail &before = {})
{
    return [before](const char *buf, int n) {
        char last[VALUE_TAIL];
        for (int i = 0; i < VALUE_TAIL; i++) {
            const int at = n - VALUE_TAIL + i;
            last[i] = at >= 0 ? buf[at] : before[VALUE_TAIL + at];
        }
        return std::memcmp(last, "\r\n\r\n", VALUE_TAIL) == 0;
    };
}

// One read of up to `len` bytes; a count outside 0..len (a link that
// misbehaves) counts as a failed read. In fast exchange, over a link that
// can, the read ends as soon as `done` holds, and waits
// AT_FAST_FIRST_BYTE_MS for its first byte.
int read_some(const at_link &link, char *buf, int len, const at_read_end &done = reply_complete())
{
    const int n = fast_exchange && link.read_until
                      ? link.read_until(link.ctx, buf, len, AT_FAST_FIRST_BYTE_MS, done)
                      : link.read(link.ctx, buf, len);
    return n >= 0 && n <= len ? n : -1;
}

// A read whose answer, when late, no later try would take: it would stay on
// the line and the next command would take it for its own reply, and every
// reply after it for the one before. In fast exchange it still ends on a
// complete reply, but waits for the first byte as long as a read without
// fast exchange does.
int read_owed(const at_link &link, char *buf, int len, const at_read_end &done = reply_complete())
{
    const int n = fast_exchange && link.read_until ? link.read_until(link.ctx, buf, len, -1, done)
                                                   : link.read(link.ctx, buf, len);
    return n >= 0 && n <= len ? n : -1;
}

// The pause before the next try of a reply read.
void reply_pause()
{
    pause_ms(fast_exchange ? AT_FAST_REPLY_PAUSE_MS : AT_REPLY_PAUSE_MS);
}

// How long a read of `len` bytes that gets nothing takes at the default
// timing: the link's own figure (TCP), else the serial port's time-out.
int default_empty_read_ms(const at_link &link, int len)
{
    return link.empty_read_ms > 0 ? link.empty_read_ms
                                  : PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS * len;
}

// Whether one more try of a reply read of `len` bytes is due after `tries`,
// begun at `start`: AT_REPLY_TRIES of them. Fast exchange shortens only the
// waits that end on a reply: one that has not come in its tries gets the
// rest of what the default's tries would have waited, or it would come
// after the next frame and be taken for that frame's reply. A link whose
// reads fail (a hang-up) brings no reply: no more waiting then.
bool more_tries(const at_link &link, int len, int tries,
                std::chrono::steady_clock::time_point start, bool read_failed)
{
    if (tries < AT_REPLY_TRIES)
        return true;
    if (!fast_exchange || read_failed)
        return false;
    const auto budget = std::chrono::milliseconds(
        AT_REPLY_TRIES * (AT_REPLY_PAUSE_MS + default_empty_read_ms(link, len)));
    return std::chrono::steady_clock::now() - start < budget;
}

// Fast exchange, after a failed query or set command: its reply may still
// come. The next frame goes out once the line has been quiet for
// AT_REPLY_GAP_MS; what comes meanwhile is dropped. Bounded, for a module
// that never stops sending.
void wait_for_quiet(const at_link &link)
{
    if (!reply_may_follow)
        return;
    reply_may_follow = false;
    char buf[64];
    constexpr int max_reads = 64;
    if (link.read_until) {
        for (int i = 0; i < max_reads; i++)
            if (link.read_until(link.ctx, buf, sizeof buf, AT_REPLY_GAP_MS, nullptr) <= 0)
                return;
        return;
    }
    using clk = std::chrono::steady_clock;
    auto quiet_since = clk::now();
    for (int i = 0; i < max_reads * 8; i++) {
        const int n = link.read(link.ctx, buf, sizeof buf);
        if (n < 0)
            return;
        if (n > 0)
            quiet_since = clk::now();
        else if (clk::now() - quiet_since >= std::chrono::milliseconds(AT_REPLY_GAP_MS))
            return;
    }
}

// Notes how an exchange ended, for the next frame's wait.
int exchange_ended(int ok)
{
    reply_may_follow = fast_exchange && !ok;
    return ok;
}

// Reads off the rest of a reply that did not fit one read, up to its final
// "\r\n\r\n" or a pause in the bytes (a read that brings less than it asked
// for and was not cut by its time-out); at most AT_REPLY_TRIES reads, so a
// module that keeps streaming cannot hold the caller. `tail` holds the last
// 4 bytes so far.
void skip_rest(const at_link &link, const reply_tail &tail)
{
    reply_tail last = tail;
    char buf[SET_READ];
    for (int i = 0; i < AT_REPLY_TRIES; i++) {
        const int n = read_some(link, buf, SET_READ, reply_complete(last));
        for (int k = 0; k < n; k++) {
            std::memmove(last.data(), last.data() + 1, VALUE_TAIL - 1);
            last[VALUE_TAIL - 1] = buf[k];
        }
        if (std::memcmp(last.data(), "\r\n\r\n", VALUE_TAIL) == 0)
            return;
        if (n < SET_READ && !read_was_cut(link))
            return;
    }
}

// Longest refusal line kept ("+ERR=" and the module's code).
constexpr size_t REFUSAL_MAX = 32;

// The module's "+ERR..." reply whose front is buf[0..n), read to its line
// end; line ends are not part of it. The rest of the reply is read off, so
// the next command does not take it for its own.
std::string refusal_line(const at_link &link, const char *buf, int n)
{
    std::string text(buf, static_cast<size_t>(n));
    reply_tail last = last_bytes(buf, n);
    while (text.find_first_of("\r\n") == std::string::npos && text.size() < REFUSAL_MAX) {
        char more[SET_READ];
        const int m = read_some(link, more, SET_READ, reply_complete(last));
        if (m <= 0)
            break;
        text.append(more, static_cast<size_t>(m));
        last = last_bytes(text.data(), static_cast<int>(text.size()));
    }
    if (!ends_reply(text.data(), static_cast<int>(text.size())))
        skip_rest(link, last);
    return text.substr(0, std::min(text.find_first_of("\r\n"), REFUSAL_MAX));
}

// The module's echo of the command just sent: the command text, then its
// line end ("\r\n", or one CR or LF), before the reply. A module with echo
// on sends it first; the network build never turns echo off. Fed the bytes
// of each read in turn, it drops the echo from their front; bytes that do
// not go on as the echo would are left whole, and no later byte is then
// taken for an echo.
class echo_filter
{
  public:
    explicit echo_filter(const char *cmd) : text_(cmd), state_(text_.empty() ? none : matching) {}

    // Drops the echo's bytes from the front of buf[0..n); the count left,
    // moved to buf's start.
    int strip(char *buf, int n)
    {
        if (n <= 0)
            return n; // a failed read (-1) or nothing
        int k = 0;
        for (; k < n && (state_ == matching || state_ == after_text || state_ == after_cr); k++) {
            const char c = buf[k];
            if (state_ == matching && c == text_[matched_]) {
                if (++matched_ == text_.size())
                    state_ = after_text;
            } else if (state_ == after_text && is_line_end(c)) {
                state_ = c == '\r' ? after_cr : done;
            } else if (state_ == after_cr && c == '\n') {
                state_ = done;
            } else if (state_ == after_cr) {
                state_ = done; // a lone CR ended the echo; `c` begins the reply
                break;
            } else {
                state_ = none; // not an echo: the read is examined whole
                return n;
            }
        }
        std::memmove(buf, buf + k, static_cast<size_t>(n - k));
        return n - k;
    }
    // True once bytes were dropped as (the beginning of) an echo.
    bool seen() const { return state_ != none && matched_ > 0; }

  private:
    enum state_t { matching, after_text, after_cr, done, none };
    std::string text_;
    state_t state_;
    size_t matched_ = 0;
};

int serial_write(void *, const char *buf, int len)
{
    return CommWrite(strPCCom.fd, buf, len);
}
int serial_read(void *, char *buf, int len)
{
    return CommRead(strPCCom.fd, buf, len);
}
int serial_read_until(void *, char *buf, int len, int first_byte_ms, const at_read_end &done)
{
    return CommReadUntil(strPCCom.fd, buf, len, first_byte_ms, done);
}

// A read of the command-mode entry on `fd`: in fast exchange it ends as
// soon as `done` holds, and waits AT_FAST_FIRST_BYTE_MS for its first byte.
int entry_read(int fd, char *buf, int len, const at_read_end &done)
{
    return fast_exchange ? CommReadUntil(fd, buf, len, AT_FAST_FIRST_BYTE_MS, done)
                         : CommRead(fd, buf, len);
}

// Set while a fast connect retries at the default timing: that entry too
// reads off the answer it still owes, which the window's own default entry
// leaves (its timing is kept as it is).
bool owed_answers_read = false;

// A probe sent at `owed` is still unanswered, while the one sent at
// `first` was answered just now: the module answers that late, so the owed
// answer is awaited as long after its probe (and a reply gap more), and
// read off, so that no command after the connect takes it for its reply.
void read_owed_answer(int fd, std::chrono::steady_clock::time_point first,
                      std::chrono::steady_clock::time_point owed)
{
    using clk = std::chrono::steady_clock;
    const auto due = owed + (clk::now() - first) + std::chrono::milliseconds(AT_REPLY_GAP_MS);
    char buf[PROBE_READ];
    int n = 0;
    while (clk::now() < due && !ends_reply(buf, n)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - clk::now());
        const int got = CommReadUntil(fd, buf + n, PROBE_READ - n, static_cast<int>(left.count()),
                                      reply_complete(last_bytes(buf, n)));
        if (got < 0)
            break;
        n += got;
        if (n == PROBE_READ)
            n = 0; // not an answer to a probe; keep reading to the end
    }
}

// Reads off `count` late answers to probes, each with the full time-out.
void read_late_answers(int fd, int count)
{
    char buf[PROBE_READ];
    for (int i = 0; i < count; i++)
        CommReadUntil(fd, buf, PROBE_READ, -1, reply_complete());
}

// After "+++" reached a module in command mode whose answer to a probe came
// late: reads off the rest of `replies` answers, then up to the "a" a module
// that took the "+++" for its escape sends (it may come in one read with
// them). `last` holds the last bytes of an answer read in part. Each read
// waits with the full time-out. True when the "a" came.
bool read_late_answers_then_a(int fd, int replies, reply_tail last)
{
    int ends = 0;
    bool got_a = false;
    char buf[PROBE_READ];
    for (int i = 0; i < replies + 2 && !got_a; i++) {
        int seen = 0;
        const int n = CommReadUntil(fd, buf, PROBE_READ, -1, [&](const char *b, int k) {
            for (; seen < k && !got_a; seen++) {
                if (ends >= replies) {
                    got_a = b[seen] == 'a';
                    continue;
                }
                std::memmove(last.data(), last.data() + 1, VALUE_TAIL - 1);
                last[VALUE_TAIL - 1] = b[seen];
                if (std::memcmp(last.data(), "\r\n\r\n", VALUE_TAIL) == 0)
                    ends++;
            }
            return got_a;
        });
        if (n <= 0)
            break;
    }
    return got_a;
}

// Milliseconds until `fd`'s line has been quiet for AT_FAST_QUIET_MS.
int quiet_left(int fd)
{
    const long quiet = serial_quiet_ms(fd);
    return quiet >= AT_FAST_QUIET_MS ? 0 : static_cast<int>(AT_FAST_QUIET_MS - quiet);
}

void serial_drop(void *)
{
    serial_drop_waiting(strPCCom.fd);
}

bool serial_read_cut(void *)
{
    return serial_last_read_cut();
}

} // namespace

const at_link serial_link = {serial_write, serial_read,     serial_read_until,
                             serial_drop,  serial_read_cut, 0};

void at_set_fast(bool on)
{
    fast_exchange = on;
}

bool at_fast()
{
    return fast_exchange;
}

namespace
{

// The query of at_send_cmd_get and at_send_cmd_whole; `cut` null: a value
// longer than one read is taken cut to AT_VALUE_MAX, as the window does.
// The value's byte count in `value_len` when given: a zero byte in it is
// the module's, not its end.
int send_cmd_get(const at_link &link, const char *cmd, char *ret, bool *cut_short,
                 int *value_len = nullptr)
{
    wait_for_quiet(link);
    drop_waiting(link);
    if (!send_frame(link, cmd))
        return 0;
    echo_filter echo(cmd);
    char buf[GET_READ];
    const auto start = std::chrono::steady_clock::now();
    bool failed = false;
    for (int i = 0; more_tries(link, GET_READ, i, start, failed); i++) {
        int n = read_some(link, buf, GET_READ);
        failed = failed || n < 0;
        bool cut = read_was_cut(link);
        const int left = echo.strip(buf, n);
        if (echo.seen()) {
            if (n > 0 && left == 0)
                continue; // only the echo so far: the reply is on its way
            // The echo took room of a full read: the reply goes on past it.
            if (n == GET_READ && left < n) {
                const int more = read_some(link, buf + left, GET_READ - left,
                                           reply_complete(last_bytes(buf, left)));
                cut = read_was_cut(link);
                n = left + (more > 0 ? more : 0);
            } else {
                n = left;
            }
        }
        const bool full = n == GET_READ;
        if ((n = reply_from_front(buf, n)) >= 0) {
            // The value ends at the reply's terminator; what came after it
            // in the same read is no part of it.
            int end = find_in(buf, n, "\r\n\r\n");
            if (end < 0) {
                // A reply longer than one read goes on past it: read it
                // off, or the next command would take its rest for its own
                // reply. One whose read ran out of time while it was still
                // coming is not a value: only its front is here.
                if (full || cut)
                    skip_rest(link, last_bytes(buf, n));
                if (cut_short && (full || cut))
                    *cut_short = true;
                if ((cut && !full) || (cut_short && full))
                    return 0;
                // Only the line-end bytes really there are dropped, so a
                // module that leaves them out does not lose the value's last
                // four characters.
                end = n;
                for (int k = 0; k < VALUE_TAIL && end > 0 && is_line_end(buf[end - 1]); k++)
                    end--;
            }
            int len = end > VALUE_HEAD ? end - VALUE_HEAD : 0;
            if (len > AT_VALUE_MAX)
                len = AT_VALUE_MAX;
            std::memcpy(ret, buf + VALUE_HEAD, static_cast<size_t>(len));
            ret[len] = '\0';
            if (value_len)
                *value_len = len;
            return 1;
        }
        reply_pause();
    }
    return 0;
}

// Keeps in buf[0..n) only a reply's beginning that a later read may
// complete: a tail that is a proper front of "+ok" ("+", "+o"), which a
// module's pause or a slow line split from its rest. The count kept.
int keep_split_ok(char *buf, int n)
{
    for (int k = 2; k >= 1; k--)
        if (n >= k && std::memcmp(buf + n - k, "+ok", static_cast<size_t>(k)) == 0) {
            std::memmove(buf, buf + n - k, static_cast<size_t>(k));
            return k;
        }
    return 0;
}

int send_cmd_set(const at_link &link, const char *cmd, std::string *refusal)
{
    if (refusal)
        refusal->clear();
    wait_for_quiet(link);
    drop_waiting(link);
    if (!send_frame(link, cmd))
        return 0;
    echo_filter echo(cmd);
    char buf[SET_READ + 2];
    int kept = 0; // a "+ok" begun in the read before
    const auto start = std::chrono::steady_clock::now();
    bool failed = false;
    for (int i = 0; more_tries(link, SET_READ, i, start, failed); i++) {
        const int got = read_some(link, buf + kept, SET_READ);
        failed = failed || got < 0;
        const int n = kept + (got > 0 ? got : 0);
        if (kept == 0 && !echo.seen() && begins(buf, n, "AT+E")) {
            // An echoing module repeats "AT+E..." before its "+ok"; take the
            // rest of the reply off the line unexamined.
            read_owed(link, buf, SET_READ, reply_complete(last_bytes(buf, n)));
            return 1;
        }
        const int stripped = kept > 0 ? n : echo.strip(buf, got > 0 ? n : got);
        kept = 0;
        if (echo.seen() && got > 0 && stripped == 0)
            continue; // only the echo so far: the reply is on its way
        int left;
        if ((left = reply_from_front(buf, stripped > 0 ? stripped : 0)) >= 0) {
            // After an echo the reply may go on past a full read: read the
            // rest off, or the next command would take it for its reply.
            if (echo.seen() && got == SET_READ && !ends_reply(buf, left))
                skip_rest(link, last_bytes(buf, left));
            return 1;
        }
        const int err = refusal_answers && stripped > 0 ? find_in(buf, stripped, "+ERR") : -1;
        if (err >= 0) {
            const std::string line = refusal_line(link, buf + err, stripped - err);
            if (refusal)
                *refusal = line;
            return 0;
        }
        if (got > 0 && (kept = keep_split_ok(buf, stripped)) > 0)
            continue; // the rest of "+ok" follows at once
        reply_pause();
    }
    return 0;
}

} // namespace

int at_send_cmd_get(const at_link &link, const char *cmd, char *ret)
{
    return exchange_ended(send_cmd_get(link, cmd, ret, nullptr));
}

int at_send_cmd_whole(const at_link &link, const char *cmd, char *ret, bool *cut, int *len)
{
    bool was_cut = false;
    const int ok = exchange_ended(send_cmd_get(link, cmd, ret, &was_cut, len));
    if (cut)
        *cut = was_cut && !ok;
    return ok;
}

int at_send_cmd_set(const at_link &link, const char *cmd)
{
    return exchange_ended(send_cmd_set(link, cmd, nullptr));
}

void at_set_refusal_answers(bool on)
{
    refusal_answers = on;
}

int at_send_cmd_set_refused(const at_link &link, const char *cmd, std::string *refusal)
{
    return exchange_ended(send_cmd_set(link, cmd, refusal));
}

int at_echo(const at_link &link)
{
    wait_for_quiet(link);
    drop_waiting(link);
    if (link.write(link.ctx, PROBE, PROBE_LEN) != PROBE_LEN)
        return 0;
    char buf[ECHO_READ];
    // The module answered the probe just before: it is there, and a slow
    // answer is no answer to leave for the next command.
    const int n = read_owed(link, buf, ECHO_READ);
    return n >= 1 && buf[0] == 'A' ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Serial command-mode entry.

int uart_read2clean(int fd, int sec)
{
    char buf[CLEAN_READ];
    for (int i = 0; i < UART_CLEAN_MAX_READS; i++) {
        // Fast exchange: the line is clean once it has been quiet long
        // enough for a "+++" to follow, however long ago that quiet began.
        const int n = fast_exchange ? CommReadUntil(fd, buf, CLEAN_READ, quiet_left(fd), nullptr)
                                    : CommRead(fd, buf, CLEAN_READ);
        if (n < 0)
            return 0;
        if (n == 0)
            return 1;
        if (sec > 0)
            pause_ms(sec * 1000);
    }
    return 0;
}

int uart_write_wait(int fd, const char *buf, int len, int sec)
{
    if (CommWrite(fd, buf, len) != len)
        return 0;
    if (sec > 0)
        pause_ms(sec * 1000);
    return 1;
}

int trying_to_onnect(int fd)
{
    if (!uart_read2clean(fd, 1))
        return 0;
    char buf[HANDSHAKE_OK_READ];
    for (int i = 0; i < HANDSHAKE_TRIES; i++) {
        if (fast_exchange)
            pause_ms(quiet_left(fd));
        if (!uart_write_wait(fd, "+++", 3, 0))
            return 0;
        const int n = entry_read(fd, buf, HANDSHAKE_READ,
                                 [](const char *b, int k) { return k > 0 && b[0] == 'a'; });
        if (n < 0)
            return 0;
        if (n == 0) {
            pause_ms(fast_exchange ? AT_FAST_REPLY_PAUSE_MS : AT_HANDSHAKE_PAUSE_MS);
            continue;
        }
        if (fast_exchange && probes_unanswered > 0 &&
            (begins(buf, n, "+ok") || begins(buf, n, "AT+"))) {
            // A probe's late answer: the module is in command mode. Its
            // rest and the other probes' answers are read off; a module
            // that took the "+++" for its escape then answers "a" and waits
            // for one, so the handshake is finished as usual, and nothing
            // is left for the first command to take as its reply.
            const bool whole = ends_reply(buf, n);
            const int owed = probes_unanswered - (whole ? 1 : 0);
            probes_unanswered = 0;
            if (read_late_answers_then_a(fd, owed, whole ? reply_tail{} : last_bytes(buf, n)) &&
                uart_write_wait(fd, "a", 1, 0))
                CommReadUntil(fd, buf, HANDSHAKE_OK_READ, -1, reply_complete());
            return 1;
        }
        if (buf[0] != 'a')
            return 0;
        if (!uart_write_wait(fd, "a", 1, 0))
            return 0;
        const int m = entry_read(fd, buf, HANDSHAKE_OK_READ, reply_complete());
        if (m == HANDSHAKE_OK_LEN && begins(buf, m, "+ok"))
            return 1;
        // The module took "a" and may be in command mode without its "+ok"
        // having come in time: let it go back to transparent mode. Fast
        // exchange leaves that to the entry at the default timing after it,
        // which may still find the module in command mode.
        if (!fast_exchange)
            uart_write_wait(fd, "AT+ENTM\n", 8, 0);
        return 0;
    }
    return 0;
}

namespace
{

// One command-mode entry on `fd` at the timing in force: the probes, each
// printing "...", then the handshake. 1 when the module is in command mode.
int enter_command_mode(int fd)
{
    char buf[PROBE_READ];
    bool missed = false; // a probe's read got nothing, so far
    probes_unanswered = 0;
    std::chrono::steady_clock::time_point sent_at[PROBE_TRIES];
    for (int i = 0; i < PROBE_TRIES; i++) {
        progress("...");
        sent_at[i] = std::chrono::steady_clock::now();
        CommWrite(fd, PROBE, PROBE_LEN); // a dead port shows in the read
        // Fast exchange: a probe waits only as long as the line and a quick
        // module take; a later answer is caught below.
        const int n = fast_exchange ? CommReadUntil(fd, buf, PROBE_READ, line_probe_wait_ms(fd),
                                                    reply_complete())
                                    : CommRead(fd, buf, PROBE_READ);
        if (begins(buf, n, "AT+") || begins(buf, n, "+ok")) {
            // Fast exchange: this read took the late answer to the probe
            // before; the answer to this one is still to come, and must
            // not be taken for the next command's.
            if ((fast_exchange || owed_answers_read) && missed)
                read_owed_answer(fd, sent_at[0], sent_at[i]);
            return 1;
        }
        missed = missed || n == 0;
        if (n == 0)
            probes_unanswered++;
    }
    // Fast exchange: the quiet the handshake keeps before "+++" anyway is
    // spent reading, so a module in command mode slower than the probe's
    // wait is found here, and never sent a "+++" it would take as junk.
    if (fast_exchange && probes_unanswered > 0) {
        const int n = CommReadUntil(fd, buf, PROBE_READ, quiet_left(fd), reply_complete());
        if (begins(buf, n, "AT+") || begins(buf, n, "+ok")) {
            read_late_answers(fd, probes_unanswered - 1);
            probes_unanswered = 0;
            return 1;
        }
    }
    // A module slower still gets "+++"; its late answer is then the
    // handshake's reply (trying_to_onnect).
    const int ok = trying_to_onnect(fd);
    probes_unanswered = 0;
    return ok;
}

} // namespace

int connect_to_module()
{
    const int fd = strPCCom.fd;
    progress("Connect to Module...");
    int ok = enter_command_mode(fd);
    bool slow = false;
    if (!ok && fast_exchange) {
        // A module slower than the fast waits (a late probe answer, a late
        // "+ok" after "a") is not called absent: once more at the default
        // timing, after what the fast try left on the line.
        serial_drop_waiting(fd);
        fast_exchange = false;
        owed_answers_read = true;
        ok = enter_command_mode(fd);
        owed_answers_read = false;
        fast_exchange = true;
        slow = ok == 1;
    }
    progress(ok ? "OK!\n" : "Fialed!\n");
    if (slow)
        progress("slow module: default timing used\n");
    return ok;
}

int line_wire_ms(int fd, int bytes)
{
    termios t;
    int baud = 0, bits = 10;
    if (tcgetattr(fd, &t) == 0) {
        baud = serial_port_baud(fd, t);
        const tcflag_t size = t.c_cflag & CSIZE;
        const int data = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
        bits = 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    }
    if (baud <= 0)
        baud = 50;
    return static_cast<int>((static_cast<long>(bytes) * bits * 1000 + baud - 1) / baud);
}

int line_probe_wait_ms(int fd)
{
    constexpr int REPLY_LEN = 7; // "+ok\r\n\r\n"
    // The probe and the reply's first byte are in CommReadUntil's count.
    const long wait = line_wire_ms(fd, REPLY_LEN - 1) + LINE_PROBE_MARGIN_MS;
    return static_cast<int>(wait < LINE_PROBE_WAIT_MIN_MS ? LINE_PROBE_WAIT_MIN_MS : wait);
}
