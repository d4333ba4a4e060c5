// Template expansion and values files.
#include "cli_template.h"

#include "cli_secret.h"
#include "cmd_file.h"
#include "store_csv.h"

#include <glib.h>
#include <set>

bool template_name_valid(const std::string &name)
{
    if (name.empty() || g_ascii_isdigit(name[0]))
        return false;
    for (char c : name)
        if (!g_ascii_isalnum(c) && c != '_')
            return false;
    return true;
}

bool template_expand(const std::string &line,
                     const std::function<bool(const std::string &, std::string *)> &lookup,
                     std::string *out, std::string *error)
{
    out->clear();
    size_t i = 0;
    for (;;) {
        const size_t open = line.find("${", i);
        if (open == std::string::npos) {
            out->append(line, i, std::string::npos);
            return true;
        }
        out->append(line, i, open - i);
        const size_t close = line.find('}', open + 2);
        if (close == std::string::npos) {
            *error = "\"${\" is never closed";
            return false;
        }
        const std::string name = line.substr(open + 2, close - open - 2);
        std::string value;
        if (!template_name_valid(name)) {
            *error = "\"${" + name + "}\" is no name (letters, digits and _)";
            return false;
        }
        if (!lookup(name, &value)) {
            *error = "${" + name + "} names no column of the values";
            return false;
        }
        *out += value;
        i = close + 1;
    }
}

bool template_expand_row(const std::vector<std::string> &lines,
                         const std::vector<std::string> &columns, const store_row &row,
                         const std::string &mid, std::vector<std::string> *out, std::string *error)
{
    auto lookup = [&](const std::string &name, std::string *value) {
        if (name == "MID") {
            *value = mid;
            return true;
        }
        if (name == "SEQ") {
            *value = std::to_string(row.seq);
            return true;
        }
        for (size_t c = 0; c < columns.size(); c++)
            if (columns[c] == name) {
                *value = c < row.values.size() ? row.values[c] : "";
                return true;
            }
        return false;
    };
    out->clear();
    for (size_t n = 0; n < lines.size(); n++) {
        std::string line;
        if (!template_expand(lines[n], lookup, &line, error)) {
            *error = "line " + std::to_string(n + 1) + ": " + *error;
            return false;
        }
        out->push_back(line);
    }
    return true;
}

bool template_check(const std::vector<std::string> &lines, const std::vector<std::string> &columns,
                    const std::vector<store_row> &rows, std::string *error)
{
    // Faults of the lines themselves show with any row.
    store_row blank;
    std::vector<std::string> out;
    if (!template_expand_row(lines, columns, blank, "", &out, error))
        return false;
    const std::string longest_mid(TEMPLATE_MID_MAX, 'M');
    for (const auto &row : rows) {
        const std::string mid = row.held_by.empty() ? longest_mid : row.held_by;
        if (!template_expand_row(lines, columns, row, mid, &out, error))
            return false;
        for (size_t n = 0; n < out.size(); n++) {
            const std::string where =
                "row " + std::to_string(row.seq) + ", line " + std::to_string(n + 1) + ": ";
            if (out[n].size() > TEMPLATE_LINE_MAX) {
                *error = where + std::to_string(out[n].size()) + " bytes once filled in, more " +
                         "than the " + std::to_string(TEMPLATE_LINE_MAX) + " a module takes";
                return false;
            }
            if (!cmd_file_line_is_text(out[n])) {
                *error = where + "control bytes once filled in";
                return false;
            }
        }
    }
    return true;
}

bool values_file_load(const std::string &path, std::vector<std::string> *columns,
                      std::vector<store_row> *rows, std::string *error, size_t *empty_rows)
{
    gchar *bytes = nullptr;
    gsize size = 0;
    GError *gerr = nullptr;
    if (!g_file_get_contents(path.c_str(), &bytes, &size, &gerr)) {
        *error = gerr->message;
        g_clear_error(&gerr);
        return false;
    }
    const std::string text(bytes, size);
    g_free(bytes);
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        *error = "not UTF-8 text";
        return false;
    }
    std::vector<std::vector<std::string>> recs;
    if (!csv_parse(text, recs, error))
        return false;
    // A blank line is no row, nor is a spreadsheet's row of empty cells.
    if (empty_rows)
        *empty_rows = csv_drop_empty(recs);
    else
        csv_drop_empty(recs);
    const auto &kept = recs;
    if (kept.empty()) {
        *error = "no header row";
        return false;
    }
    const auto &header = kept[0];
    int mid_col = -1;
    std::set<std::string> seen;
    columns->clear();
    for (size_t c = 0; c < header.size(); c++) {
        const std::string &name = header[c];
        if (!template_name_valid(name)) {
            *error =
                "header: \"" + name + "\" is no name (letters, digits and _, not first a digit)";
            return false;
        }
        if (!seen.insert(name).second) {
            *error = "header: " + name + " twice";
            return false;
        }
        if (name == "SEQ") {
            *error = "header: SEQ is the row's number, not a column";
            return false;
        }
        if (name == "MID")
            mid_col = static_cast<int>(c);
        else
            columns->push_back(name);
    }
    rows->clear();
    std::set<std::string> mids;
    for (size_t i = 1; i < kept.size(); i++) {
        const auto &r = kept[i];
        const std::string name = "row " + std::to_string(i);
        if (r.size() != header.size()) {
            *error = name + ": " + std::to_string(r.size()) + " fields, the header has " +
                     std::to_string(header.size());
            return false;
        }
        store_row row;
        row.seq = static_cast<long>(i);
        for (size_t c = 0; c < r.size(); c++) {
            if (static_cast<int>(c) == mid_col)
                row.held_by = r[c];
            else
                row.values.push_back(r[c]);
        }
        if (!row.held_by.empty() && !mids.insert(row.held_by).second) {
            *error = name + ": MID " + row.held_by + " has a row already";
            return false;
        }
        rows->push_back(row);
    }
    return true;
}

bool template_uses(const std::vector<std::string> &lines, const std::string &name)
{
    const std::string ref = "${" + name + "}";
    for (const auto &l : lines)
        if (l.find(ref) != std::string::npos)
            return true;
    return false;
}

std::vector<std::string> template_secret_columns(const std::vector<std::string> &lines,
                                                 const std::vector<std::string> &columns)
{
    std::vector<std::string> out;
    for (const auto &c : columns) {
        gchar *up = g_ascii_strup(c.c_str(), -1);
        const std::string name = up;
        g_free(up);
        bool secret = false;
        for (const char *word : {"KEY", "PSK", "PASS", "SECRET"})
            secret = secret || name.find(word) != std::string::npos;
        // A column the template puts into a key or password: the masking
        // of every output hides it.
        const std::string probe = "probe4secret";
        auto lookup = [&](const std::string &n, std::string *v) {
            *v = n == c ? probe : "x";
            return true;
        };
        for (const auto &l : lines) {
            std::string filled, error;
            if (!secret && l.find("${" + c + "}") != std::string::npos &&
                template_expand(l, lookup, &filled, &error))
                secret = cli_line_masked(filled).find(probe) == std::string::npos;
        }
        if (secret)
            out.push_back(c);
    }
    return out;
}

std::string template_mid_fault(const std::vector<std::string> &lines, const std::string &mid)
{
    if (!cmd_file_line_is_text(mid))
        return "the MID holds control bytes";
    if (mid.size() > STORE_CELL_MAX ||
        (template_uses(lines, "MID") && mid.size() > TEMPLATE_MID_MAX))
        return "the MID is " + std::to_string(mid.size()) + " bytes, more than the " +
               std::to_string(TEMPLATE_MID_MAX) + " the template allows for ${MID}";
    return "";
}
