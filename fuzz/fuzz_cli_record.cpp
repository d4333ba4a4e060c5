// Fuzz target: the report's record writers on any module texts. The CSV
// line must be valid UTF-8, one line, eight fields that an RFC 4180 reader
// gets back as the texts shown (escaped, formulas defused); the JSON line
// must parse, with every member the text shown and seconds with three
// decimals at most. The input holds the texts separated by 0x1e: time,
// port, MID, version, result, note, then setting, sent, held per mismatch;
// its first four bytes give the seconds in milliseconds.
#include "cli_escape.h"
#include "cli_event.h"
#include "cli_report.h"
#include "fuzz_support.h"

#include <cmath>
#include <cstring>
#include <glib.h>
#include <json-glib/json-glib.h>

namespace
{

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out(1);
    for (char c : s)
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    return out;
}

// What a CSV cell must read back as.
std::string csv_shown(const std::string &text)
{
    std::string t = cli_text(text, cli_escape::csv);
    if (!text.empty() && std::strchr("=+-@\t\r", text[0]))
        t.insert(0, "'");
    return t;
}

// RFC 4180, one record without its CR LF; false when it is no such record.
bool csv_parse(const std::string &line, std::vector<std::string> &fields)
{
    fields.assign(1, "");
    size_t i = 0;
    bool start = true;
    while (i < line.size()) {
        const char c = line[i];
        if (start && c == '"') {
            i++;
            for (;;) {
                if (i >= line.size())
                    return false;
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        fields.back() += '"';
                        i += 2;
                        continue;
                    }
                    i++;
                    break;
                }
                fields.back() += line[i++];
            }
            if (i < line.size() && line[i] != ',')
                return false;
            start = false;
            continue;
        }
        if (c == ',') {
            fields.emplace_back();
            start = true;
        } else if (c == '"') {
            return false; // a quote inside an unquoted field
        } else {
            fields.back() += c;
            start = false;
        }
        i++;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t ms;
    std::memcpy(&ms, data, sizeof ms);
    const auto parts =
        split(std::string(reinterpret_cast<const char *>(data + 4), size - 4), '\x1e');
    cli_record r;
    std::string *texts[] = {&r.time, &r.port, &r.mid, &r.version, &r.result, &r.note};
    for (size_t i = 0; i < 6 && i < parts.size(); i++)
        *texts[i] = parts[i];
    for (size_t i = 6; i + 2 < parts.size(); i += 3)
        r.mismatches.push_back({parts[i], parts[i + 1], parts[i + 2]});
    r.seconds = ms / 1000.0;

    // CSV
    const std::string csv = cli_record_csv(r);
    FUZZ_CHECK(csv.size() >= 2 && csv.compare(csv.size() - 2, 2, "\r\n") == 0, "CSV line end");
    const std::string line = csv.substr(0, csv.size() - 2);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "a CSV record over two lines");
    FUZZ_CHECK(g_utf8_validate(csv.data(), static_cast<gssize>(csv.size()), nullptr),
               "CSV not UTF-8");
    std::vector<std::string> fields;
    FUZZ_CHECK(csv_parse(line, fields), "CSV does not parse");
    FUZZ_CHECK(fields.size() == 8, "CSV record without its eight fields");
    std::string mismatch;
    for (const auto &m : r.mismatches)
        mismatch += (mismatch.empty() ? "" : "; ") + m.setting + ": sent \"" + m.sent +
                    "\", module holds \"" + m.held + "\"";
    const std::string want[] = {csv_shown(r.time),    csv_shown(r.port),   csv_shown(r.mid),
                                csv_shown(r.version), csv_shown(r.result), "",
                                csv_shown(mismatch),  csv_shown(r.note)};
    for (size_t i = 0; i < 8; i++)
        if (i != 5)
            FUZZ_CHECK(fields[i] == want[i], "a CSV field does not read back as shown");
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f", r.seconds);
    FUZZ_CHECK(fields[5] == secs, "CSV seconds");

    // JSON
    const std::string json = cli_record_json(r);
    FUZZ_CHECK(!json.empty() && json.back() == '\n' && json.find('\n') == json.size() - 1,
               "a JSON record not on one line");
    JsonParser *p = json_parser_new();
    FUZZ_CHECK(
        json_parser_load_from_data(p, json.c_str(), static_cast<gssize>(json.size()), nullptr),
        "JSON does not parse");
    JsonObject *o = json_node_get_object(json_parser_get_root(p));
    FUZZ_CHECK(o != nullptr, "JSON record is no object");
    const char *names[] = {"time", "port", "mid", "version", "result", "note"};
    for (size_t i = 0; i < 6; i++) {
        const char *got = json_object_get_string_member(o, names[i]);
        FUZZ_CHECK(got && cli_utf8(*texts[i]) == got, "a JSON member is not the text shown");
    }
    JsonArray *ms_array = json_object_get_array_member(o, "mismatches");
    FUZZ_CHECK(ms_array && json_array_get_length(ms_array) == r.mismatches.size(),
               "JSON mismatches");
    for (size_t i = 0; i < r.mismatches.size(); i++) {
        JsonObject *m = json_array_get_object_element(ms_array, static_cast<guint>(i));
        FUZZ_CHECK(cli_utf8(r.mismatches[i].setting) ==
                           json_object_get_string_member(m, "setting") &&
                       cli_utf8(r.mismatches[i].sent) == json_object_get_string_member(m, "sent") &&
                       cli_utf8(r.mismatches[i].held) == json_object_get_string_member(m, "held"),
                   "a JSON mismatch is not the texts shown");
    }
    const double s = json_object_get_double_member(o, "seconds");
    FUZZ_CHECK(std::fabs(s - std::round(r.seconds * 1000) / 1000) < 1e-9 * (1 + s), "JSON seconds");
    g_object_unref(p);
    const size_t at = json.find("\"seconds\":");
    FUZZ_CHECK(at != std::string::npos, "JSON seconds missing");
    const size_t num = at + 10;
    const size_t end = json.find_first_not_of("0123456789.", num);
    const std::string n = json.substr(num, end - num);
    const size_t dot = n.find('.');
    FUZZ_CHECK(dot == std::string::npos || n.size() - dot - 1 <= 3, "more than three decimals");
    return 0;
}
