// One module in one worker process: the command line's binding of the
// module operations, and connect, read, apply, verify, restart and release
// as events for the parent.
#include "cli_job.h"

#include "cli_event.h"
#include "cli_scan.h"
#include "cmd_file.h"
#include "main.h"
#include "module.h"
#include "module_at.h"
#include "module_read.h"
#include "module_session.h"
#include "pccom.h"
#include "tcpsock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <map>
#include <poll.h>
#include <sys/stat.h>
#include <thread>

namespace
{

enum class link_kind { serial, tcp };

link_kind link_in_use = link_kind::serial;
int event_fd = -1;
bool parent_gone = false;
// The link failed under an exchange and is gone (hang-up, closed peer):
// every later exchange fails at once instead of waiting out its tries.
bool link_lost = false;
volatile sig_atomic_t stop_asked = 0;
// Query text -> value of every query answered in this process.
std::map<std::string, std::string> answered;

using mono = std::chrono::steady_clock;
mono::time_point last_alive;

// How often an exchange tells the parent it is still at work, at most.
constexpr auto ALIVE_EVERY = std::chrono::seconds(1);
// Pause between two looks for a module in wait mode, milliseconds.
constexpr int WAIT_PAUSE_MS = 1000;

void on_term(int)
{
    stop_asked = 1;
}

void emit(const cli_event &ev)
{
    if (!parent_gone && !cli_event_write(event_fd, ev))
        parent_gone = true;
}

void alive()
{
    const auto now = mono::now();
    if (now - last_alive >= ALIVE_EVERY) {
        last_alive = now;
        emit(cli_event("alive"));
    }
}

int link_fd()
{
    return link_in_use == link_kind::tcp ? tcpsocket : strPCCom.fd;
}

// The far side has gone: a pty or adapter hung up, a TCP peer closed.
bool link_gone_now()
{
    const int fd = link_fd();
    if (fd <= 0)
        return true;
    pollfd p = {fd, static_cast<short>(link_in_use == link_kind::tcp ? POLLRDHUP : 0), 0};
    if (poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) != 0;
}

void after_exchange(int ok)
{
    if (!ok && link_gone_now())
        link_lost = true;
    alive();
}

// Sleeps up to `ms`, less when the parent asked this waiting worker to end.
void nap(int ms)
{
    const auto end = mono::now() + std::chrono::milliseconds(ms);
    while (!stop_asked && mono::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void close_serial()
{
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;
}

// Device identity: a re-plugged adapter gets a new device node.
std::string device_id(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_rdev) + ":" + std::to_string(st.st_ino);
}

std::string query(const char *cmd)
{
    char v[AT_VALUE_MAX + 1] = "";
    return module_send_cmd_get(cmd, v) ? v : "";
}

struct apply_watch : cmd_apply_observer {
    int total = 0;
    std::vector<std::string> lines;
    int unacked = 0;
    bool sent(int number, const std::string &line, int acked) override
    {
        (void)number;
        lines.push_back(line);
        if (!acked) {
            unacked++;
            emit(cli_event("unacked").set("line", line));
        }
        emit(cli_event("progress")
                 .set("stage", "apply")
                 .set("done", static_cast<long>(lines.size()))
                 .set("total", total));
        return !link_lost && !parent_gone;
    }
};

// Reads back what `lines` set; the number of settings the module does not
// hold (or did not report).
int verify_lines(const std::vector<std::string> &lines)
{
    // A setting given twice holds its last value.
    std::vector<std::pair<std::string, std::string>> targets;
    for (const auto &line : lines) {
        std::string name, args;
        if (!verify_line_target(line, &name, &args)) {
            emit(cli_event("unverifiable").set("line", line));
            continue;
        }
        for (auto it = targets.begin(); it != targets.end(); ++it)
            if (it->first == name) {
                targets.erase(it);
                break;
            }
        targets.emplace_back(name, args);
    }
    int failed = 0;
    for (size_t i = 0; i < targets.size() && !link_lost && !parent_gone; i++) {
        emit(cli_event("progress")
                 .set("stage", "verify")
                 .set("done", static_cast<long>(i))
                 .set("total", static_cast<long>(targets.size())));
        const auto &t = targets[i];
        char v[AT_VALUE_MAX + 1] = "";
        const bool got = module_send_cmd_get(("AT+" + t.first).c_str(), v) == 1;
        if (!got && link_lost)
            break;
        if (!got || !verify_value_holds(t.second, v)) {
            failed++;
            emit(cli_event("mismatch")
                     .set("setting", t.first)
                     .set("sent", t.second)
                     .set("held", v)
                     .set("answered", got ? 1L : 0L));
        }
    }
    return failed;
}

void restart_module()
{
    // Written raw, as the restart button does: the module goes off at once
    // and its "+ok" may never come.
    if (link_in_use == link_kind::tcp) {
        tcp_exchange ex;
        sendn("AT+Z\n", 5);
    } else {
        CommWrite(strPCCom.fd, "AT+Z\n", 5);
    }
}

// The task on a module that is in command mode; emits the result.
void run_task(const cli_job &job)
{
    std::string result = RESULT_DONE;
    std::string note;
    bool restarted = false;
    switch (job.task) {
    case cli_task::read:
    case cli_task::export_: {
        emit(cli_event("stage").set("text", "read"));
        answered.clear();
        init_module_mana_struct();
        init_module_comm_struct();
        init_module_ap_struct();
        init_module_sta_struct();
        int missing = 0;
        for (const char *name : module_query_names) {
            auto it = answered.find(std::string("AT+") + name);
            if (it == answered.end()) {
                missing++;
                note += (note.empty() ? "no answer to AT+" : ", AT+") + std::string(name);
            } else {
                emit(cli_event("value").set("name", name).set("value", it->second));
            }
        }
        if (missing > 0) {
            result = link_lost ? RESULT_LINK_LOST : RESULT_NOT_ACKED;
        } else if (job.task == cli_task::export_) {
            for (const auto &line : module_setting_commands())
                emit(cli_event("command").set("line", line));
        }
        break;
    }
    case cli_task::apply:
    case cli_task::provision: {
        emit(cli_event("stage").set("text", "apply"));
        apply_watch watch;
        watch.total = job.file_lines;
        cmd_lines_apply(job.lines, &watch);
        int mismatches = 0;
        if (job.verify && !link_lost && !parent_gone) {
            emit(cli_event("stage").set("text", "verify"));
            mismatches = verify_lines(watch.lines);
        }
        if (link_lost)
            result = RESULT_LINK_LOST;
        else if (watch.unacked > 0)
            result = RESULT_NOT_ACKED;
        else if (mismatches > 0)
            result = RESULT_MISMATCH;
        else
            result = job.verify ? RESULT_VERIFIED : RESULT_DONE;
        // Only a module that took everything is restarted: new settings
        // that went wrong (a serial rate, an address) could leave it out of
        // reach once they take effect.
        if (job.restart && (result == RESULT_VERIFIED || result == RESULT_DONE)) {
            emit(cli_event("stage").set("text", "restart"));
            restart_module();
            restarted = true;
        }
        break;
    }
    case cli_task::verify: {
        emit(cli_event("stage").set("text", "verify"));
        const int mismatches = verify_lines(job.lines);
        result = link_lost ? RESULT_LINK_LOST : mismatches > 0 ? RESULT_MISMATCH : RESULT_VERIFIED;
        break;
    }
    }
    if (!restarted && !link_lost) {
        emit(cli_event("stage").set("text", "release"));
        module_session_leave();
    }
    emit(cli_event("result").set("result", result).set("note", note));
}

int run_serial(const cli_job &job)
{
    link_in_use = link_kind::serial;
    bool vanished = false;
    for (;;) {
        if (stop_asked)
            return 0;
        emit(cli_event("stage").set("text", "open"));
        int fd = 0;
        bool found = true;
        if (job.line.scan) {
            // --baud auto: the scan leaves the module in command mode on
            // the open port, and the connect below finds it at once.
            emit(cli_event("stage").set("text", "scan"));
            line_setting s;
            line_mode m = line_mode::none;
            const int rc = cli_scan_find(job.device, line_scan_settings(false), &s, &m, nullptr);
            found = rc == 1;
            fd = rc == 1 ? strPCCom.fd : rc == 0 ? -1 : 0;
            if (found)
                emit(cli_event("line").set("text", line_setting_text(s)));
        } else {
            fd = CommOpen(job.device.c_str(), job.line.baud, job.line.data_bits, job.line.parity,
                          job.line.stop_bits, 0);
        }
        if (!found && fd < 0) {
            if (!job.wait_new) {
                emit(cli_event("result")
                         .set("result", RESULT_NO_MODULE)
                         .set("note", "no module answered at any rate at 8N1"));
                return 0;
            }
            emit(cli_event("waiting").set("text", "no module at any rate"));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        if (fd == 0) {
            const int err = serial_last_errno();
            if (!job.wait_new) {
                emit(cli_event("port-error")
                         .set("error", serial_last_error())
                         .set("errno", err)
                         .set("hint", err == EACCES || err == EPERM
                                          ? serial_permission_hint(job.device)
                                          : std::string()));
                return 3;
            }
            if (err == ENOENT || err == ENODEV || err == ENXIO || err == EIO) {
                if (!vanished)
                    emit(cli_event("vanished"));
                vanished = true;
            }
            emit(cli_event("waiting").set("text", serial_last_error()));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        strPCCom.fd = fd;
        link_lost = false;
        const std::string dev = device_id(job.device);
        emit(cli_event("stage").set("text", "connect"));
        if (module_session_enter_serial() != 1) {
            close_serial();
            if (!job.wait_new) {
                emit(cli_event("result").set("result", RESULT_NO_MODULE).set("note", ""));
                return 0;
            }
            emit(cli_event("waiting").set("text", "no module"));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        const std::string mid = query("AT+MID");
        const std::string version = query("AT+VER");
        // The node was made anew since the last module: the adapter was
        // unplugged and plugged in again.
        if (!job.last_device.empty() && dev != job.last_device)
            vanished = true;
        // Only a module done before can be the same one again: the first
        // may well report no MID (or fail to).
        if (job.wait_new && job.done_before && !vanished && !link_lost && mid == job.last_mid) {
            module_session_leave();
            close_serial();
            emit(cli_event("waiting").set("text", "module " + mid + " is done"));
            nap(WAIT_PAUSE_MS);
            continue;
        }
        if (link_lost) {
            close_serial();
            if (!job.wait_new) {
                emit(cli_event("result").set("result", RESULT_LINK_LOST).set("note", ""));
                return 0;
            }
            continue;
        }
        // From here the module is in progress: a stop request waits for it.
        signal(SIGTERM, SIG_IGN);
        // One that came during the connect (Ctrl-C, or --count reached on
        // another port) finds no module under way: this one goes untouched.
        if (stop_asked) {
            module_session_leave();
            close_serial();
            return 0;
        }
        emit(cli_event("module").set("mid", mid).set("version", version).set("device", dev));
        run_task(job);
        close_serial();
        return 0;
    }
}

int run_tcp(const cli_job &job)
{
    link_in_use = link_kind::tcp;
    signal(SIGTERM, SIG_IGN);
    // The receive time-out goes on before any exchange, as the network
    // build does: the exchange's tries rely on it.
    tcpsock_set_recv_timeout(job.sock, TCP_RECV_TIMEOUT_MS);
    tcpsock_attach(job.sock);
    clear_mod_structs();
    emit(cli_event("stage").set("text", "connect"));
    char v[AT_VALUE_MAX + 1] = "";
    if (module_send_cmd_get("AT+MID", v) != 1) {
        emit(cli_event("result")
                 .set("result", link_lost ? RESULT_LINK_LOST : RESULT_NO_MODULE)
                 .set("note", "no answer to AT+MID"));
        tcpsock_drop();
        return 0;
    }
    const std::string mid = v;
    const std::string version = query("AT+VER");
    emit(cli_event("module").set("mid", mid).set("version", version));
    run_task(job);
    tcpsock_drop();
    return 0;
}

} // namespace

// The command line's binding of the module operations: the serial exchange
// on strPCCom's port, or the locked exchange on the accepted socket.
int module_send_cmd_get(const char *cmd, char *ret)
{
    if (link_lost)
        return 0;
    const int ok = link_in_use == link_kind::tcp ? net_send_cmd_get(cmd, ret)
                                                 : at_send_cmd_get(serial_link, cmd, ret);
    if (ok)
        answered[cmd] = ret;
    after_exchange(ok);
    return ok;
}

int module_send_cmd_set(const char *cmd)
{
    if (link_lost)
        return 0;
    const int ok =
        link_in_use == link_kind::tcp ? net_send_cmd_set(cmd) : at_send_cmd_set(serial_link, cmd);
    after_exchange(ok);
    return ok;
}

int module_echo()
{
    if (link_lost)
        return 0;
    const int ok = link_in_use == link_kind::tcp ? net_echo() : at_echo(serial_link);
    alive();
    return ok;
}

void cli_job_install_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = on_term; // no SA_RESTART: a wait wakes up
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    // Ctrl-C reaches the whole process group: only the parent decides.
    signal(SIGINT, SIG_IGN);
}

int cli_job_run(const cli_job &job, int fd)
{
    event_fd = fd;
    last_alive = mono::now();
    return job.device.empty() ? run_tcp(job) : run_serial(job);
}
