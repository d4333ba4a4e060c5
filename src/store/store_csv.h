// CSV as RFC 4180 writes it: a values file's rows, and one row kept as a
// single text in the database.
#ifndef MODCFG_STORE_CSV_H
#define MODCFG_STORE_CSV_H

#include <string>
#include <vector>

// Splits `text` into records of fields. Quoted fields may hold commas,
// doubled quotes and line ends; records end with CRLF or LF, and a last
// record without its line end counts. A UTF-8 byte order mark at the start
// is dropped. False with `error` ("line N: ...") on a quote that is never
// closed or text after a closing quote.
bool csv_parse(const std::string &text, std::vector<std::vector<std::string>> &records,
               std::string *error);

// Drops the records whose every field is empty: blank lines and rows of
// commas only (a spreadsheet's empty rows). Returns how many of the latter
// it dropped, to be told ("2 empty rows skipped"); blank lines go unsaid.
size_t csv_drop_empty(std::vector<std::vector<std::string>> &records);

// One record as a CSV line without its line end; a field is quoted when it
// holds a comma, a quote, CR or LF, or is empty (so that a record of one
// empty field is not an empty line).
std::string csv_line(const std::vector<std::string> &fields);

#endif
