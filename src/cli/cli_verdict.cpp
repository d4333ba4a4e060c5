// A module's result and record from the facts of its exchange.
#include "cli_verdict.h"

#include "cli_event.h"
#include "cli_outcome.h"
#include "cli_protocol.h"
#include "module_session.h"

#include <algorithm>

namespace
{

bool applies(cli_task t)
{
    return t == cli_task::apply || t == cli_task::provision;
}

bool reads_back(const cli_facts &f)
{
    return f.task == cli_task::verify || (applies(f.task) && f.read_back);
}

std::string how_far(const cli_facts &f)
{
    const auto acked =
        std::count_if(f.sent.begin(), f.sent.end(), [](const cli_sent_line &s) { return s.acked; });
    std::string text;
    if (applies(f.task))
        text = "sent " + std::to_string(f.sent.size()) + " of " + std::to_string(f.lines_planned) +
               " lines, acknowledged " + std::to_string(acked);
    if (reads_back(f))
        text += (text.empty() ? "" : ", ") + std::string("read back ") +
                std::to_string(f.checked.size()) + " of " + std::to_string(f.settings_planned);
    return text;
}

std::string joined(const std::string &a, const std::string &b)
{
    return a.empty() ? b : b.empty() ? a : a + "; " + b;
}

} // namespace

cli_verdict cli_decide(const cli_facts &f)
{
    if (!f.mid_after.empty() && f.mid_after != f.mid)
        return {RESULT_LINK_LOST, "module changed: " + f.mid + " \u2192 " + f.mid_after};
    // A reply cut short is no value, and is said so apart from silence.
    std::string silent, cut;
    const auto add = [](std::string &to, const char *head, const std::string &name) {
        to += (to.empty() ? head : ", AT+") + name;
    };
    for (const auto &c : f.checked)
        if (!c.answered)
            add(c.cut ? cut : silent, c.cut ? "reply cut short: AT+" : "no answer to AT+", c.setting);
    for (const auto &name : f.unanswered) {
        const bool was_cut =
            std::find(f.cut_replies.begin(), f.cut_replies.end(), name) != f.cut_replies.end();
        add(was_cut ? cut : silent, was_cut ? "reply cut short: AT+" : "no answer to AT+", name);
    }
    const std::string unanswered = joined(silent, cut);
    const bool read = f.task == cli_task::read || f.task == cli_task::export_;
    // A read's end cannot be told from its values: one stopped is not done.
    const bool complete = read ? f.cut_short.empty()
                               : (!applies(f.task) || f.sent.size() >= f.lines_planned) &&
                                     (!reads_back(f) || f.checked.size() >= f.settings_planned);
    if (f.link_lost)
        return {RESULT_LINK_LOST, joined(f.gone, joined(how_far(f), unanswered))};
    if (!complete)
        return {RESULT_INTERRUPTED, (f.cut_short.empty() ? "ended early" : f.cut_short) +
                                        (read ? "" : ": " + how_far(f))};
    if (read)
        return {f.unanswered.empty() ? RESULT_DONE : RESULT_NOT_ACKED, unanswered};
    const bool refused =
        std::any_of(f.sent.begin(), f.sent.end(), [](const cli_sent_line &s) { return !s.acked; });
    const bool differs = std::any_of(f.checked.begin(), f.checked.end(),
                                     [](const cli_checked &c) { return !c.holds; });
    if (refused)
        return {RESULT_NOT_ACKED, unanswered};
    if (differs)
        return {RESULT_MISMATCH, unanswered};
    if (f.task == cli_task::verify)
        // Nothing the file sets can be asked for: nothing was checked.
        return {f.settings_planned > 0 ? RESULT_VERIFIED : RESULT_UNVERIFIABLE, ""};
    if (!f.read_back)
        return {RESULT_DONE, ""};
    // "verified" would claim a read-back that no line allowed.
    return {f.settings_planned > 0 ? RESULT_VERIFIED : RESULT_ACKNOWLEDGED, ""};
}

std::vector<std::pair<std::string, std::string>>
cli_readback_targets(const std::vector<std::string> &lines, std::vector<std::string> *unverifiable)
{
    std::vector<std::pair<std::string, std::string>> targets;
    for (const auto &line : lines) {
        std::string name, args;
        if (!verify_line_target(line, &name, &args)) {
            if (unverifiable)
                unverifiable->push_back(line);
            continue;
        }
        targets.erase(std::remove_if(targets.begin(), targets.end(),
                                     [&](const auto &t) { return t.first == name; }),
                      targets.end());
        targets.emplace_back(name, args);
    }
    return targets;
}

std::vector<cli_setting_row> cli_setting_rows(const cli_facts &f)
{
    std::vector<cli_setting_row> rows;
    const auto row_of = [&](const std::string &setting) -> cli_setting_row & {
        for (auto &r : rows)
            if (r.setting == setting)
                return r;
        rows.push_back(cli_setting_row());
        rows.back().setting = setting;
        return rows.back();
    };
    for (const auto &s : f.sent) {
        std::string name, args;
        if (!applies(f.task) || !verify_line_target(s.line, &name, &args))
            continue;
        cli_setting_row &r = row_of(name);
        r.sent = true;
        r.value_sent = args;
        r.acked = s.acked;
        r.refusal = s.refusal;
    }
    // Values read from another module are no one's.
    if (!f.mid_after.empty() && f.mid_after != f.mid)
        return rows;
    for (const auto &c : f.checked) {
        cli_setting_row &r = row_of(c.setting);
        r.held_known = c.answered;
        r.held = c.held;
    }
    return rows;
}

void cli_outcome_take_fact(cli_outcome &c, const cli_event &ev)
{
    if (ev.kind == cli_ev::SENT) {
        c.sent.push_back({ev.get("line"), false, ""});
    } else if (ev.kind == cli_ev::ANSWER && !c.sent.empty()) {
        cli_sent_line &s = c.sent.back();
        s.acked = ev.get_long("acked") != 0;
        s.refusal = ev.get("refusal");
        if (!s.acked)
            c.unacked.push_back(s.refusal.empty() ? s.line : s.line + " (" + s.refusal + ")");
    } else if (ev.kind == cli_ev::CHECKED) {
        cli_checked k{ev.get("setting"), ev.get("sent"), ev.get("held"),
                      ev.get_long("answered") != 0, ev.get_long("holds") != 0,
                      ev.get_long("cut") != 0};
        // A mismatch names only a value the module gave.
        if (k.answered && !k.holds)
            c.mismatches.push_back({k.setting, k.expected, k.held, ev.get("differs")});
        c.checked.push_back(k);
    }
}
