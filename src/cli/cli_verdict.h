// What a module's result and record say, decided from what happened on the
// wire (each line sent and its answer, each setting read back), never from
// what the command file planned.
#ifndef MODCFG_CLI_VERDICT_H
#define MODCFG_CLI_VERDICT_H

#include "cli_job.h"

#include <string>
#include <utility>
#include <vector>

// A line of the command file that went out, and the module's answer.
struct cli_sent_line {
    std::string line;
    bool acked = false;
    std::string refusal; // the module's "+ERR..." line, when it refused
};

// A setting read back: what was to be held, what the module reported.
struct cli_checked {
    std::string setting, expected, held;
    bool answered = false; // the query got a value
    bool holds = false;    // the value is the one expected
    bool cut = false;      // no value: its reply was cut short
};

struct cli_facts {
    cli_task task = cli_task::read;
    bool read_back = true;       // apply, provision: read back afterwards
    size_t lines_planned = 0;    // lines the file asked to send
    size_t settings_planned = 0; // settings to read back
    std::vector<cli_sent_line> sent;
    std::vector<cli_checked> checked;
    std::vector<std::string> unanswered; // read, export: queries without a value
    std::vector<std::string> cut_replies; // those of them whose reply was cut short
    bool link_lost = false;
    std::string gone;           // why the link counts as lost
    std::string cut_short;      // why the work was stopped early ("": it was not)
    std::string mid, mid_after; // at connect, and read again at the end
};

struct cli_verdict {
    std::string result, note;
};

// The result and its note: the one rule for worker and parent. A result
// claims no more than the facts show: "verified" needs every planned
// setting read back and held, "acknowledged" and "done" every line sent
// and acknowledged; work stopped short of that is "interrupted", with how
// far it got.
cli_verdict cli_decide(const cli_facts &f);

// The settings a read-back of `lines` asks the module for, the last value
// of a setting given twice; `unverifiable` (when given) gets the lines that
// cannot be read back.
std::vector<std::pair<std::string, std::string>>
cli_readback_targets(const std::vector<std::string> &lines,
                     std::vector<std::string> *unverifiable = nullptr);

// A record's line per setting: sent (apply, provision only) with its
// answer, and what the module held when it was read back.
struct cli_setting_row {
    std::string setting;
    bool sent = false;
    std::string value_sent;
    bool acked = false;
    std::string refusal;
    bool held_known = false;
    std::string held;
};
std::vector<cli_setting_row> cli_setting_rows(const cli_facts &f);

#endif
