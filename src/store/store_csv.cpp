// RFC 4180 reading and writing, kept to what values files and stored rows
// need.
#include "store_csv.h"

bool csv_parse(const std::string &text, std::vector<std::vector<std::string>> &records,
               std::string *error)
{
    records.clear();
    size_t i = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        i = 3;
    long line = 1;
    std::vector<std::string> rec;
    std::string field;
    bool quoted = false, after_quote = false, any = false;
    auto end_field = [&]() {
        rec.push_back(field);
        field.clear();
        after_quote = false;
    };
    for (; i < text.size(); i++) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    i++;
                } else {
                    quoted = false;
                    after_quote = true;
                }
            } else {
                if (c == '\n')
                    line++;
                field += c;
            }
            continue;
        }
        if (c == ',') {
            end_field();
            any = true;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r')
                i++;
            end_field();
            records.push_back(rec);
            rec.clear();
            any = false;
            line++;
        } else if (after_quote) {
            if (error)
                *error = "line " + std::to_string(line) + ": text after a closing quote";
            return false;
        } else if (c == '"' && field.empty()) {
            quoted = true;
            any = true;
        } else {
            field += c;
            any = true;
        }
    }
    if (quoted) {
        if (error)
            *error = "line " + std::to_string(line) + ": a quote is never closed";
        return false;
    }
    if (any || !field.empty() || !rec.empty()) {
        end_field();
        records.push_back(rec);
    }
    return true;
}

std::string csv_line(const std::vector<std::string> &fields)
{
    std::string out;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i > 0)
            out += ',';
        const std::string &f = fields[i];
        if (f.empty() || f.find_first_of(",\"\r\n") != std::string::npos) {
            out += '"';
            for (char c : f) {
                if (c == '"')
                    out += '"';
                out += c;
            }
            out += '"';
        } else {
            out += f;
        }
    }
    return out;
}

size_t csv_drop_empty(std::vector<std::vector<std::string>> &records)
{
    size_t rows = 0;
    std::vector<std::vector<std::string>> kept;
    for (auto &r : records) {
        bool empty = true;
        for (const auto &f : r)
            empty = empty && f.empty();
        if (!empty)
            kept.push_back(std::move(r));
        else if (r.size() > 1)
            rows++;
    }
    records.swap(kept);
    return rows;
}
