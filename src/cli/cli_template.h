// Command files as templates: "${NAME}" in a line takes the module's value
// for NAME from a values file (one row per module), and the values file
// itself.
#ifndef MODCFG_CLI_TEMPLATE_H
#define MODCFG_CLI_TEMPLATE_H

#include "store.h"

#include <functional>
#include <string>
#include <vector>

// Longest command line a module takes, bytes without the line end.
constexpr size_t TEMPLATE_LINE_MAX = 98;
// Longest MID a module answers: a line is checked with ${MID} this long.
constexpr size_t TEMPLATE_MID_MAX = 20;

// Letters, digits and "_", not starting with a digit.
bool template_name_valid(const std::string &name);

// `line` with every "${NAME}" replaced by lookup(NAME). False with `error`
// on an unclosed "${", a name that is not valid or one lookup does not know
// (lookup returns false).
bool template_expand(const std::string &line,
                     const std::function<bool(const std::string &, std::string *)> &lookup,
                     std::string *out, std::string *error);

// The lines for the module `mid` holding row `row` of a pool with
// `columns`: names are the columns, MID and SEQ.
bool template_expand_row(const std::vector<std::string> &lines,
                         const std::vector<std::string> &columns, const store_row &row,
                         const std::string &mid, std::vector<std::string> *out, std::string *error);

// Checks the template whole, before any module is touched: every line with
// every row, ${MID} at its longest. The first fault as
// "line N: ..." or "row R, line N: ..." (R the row's SEQ).
bool template_check(const std::vector<std::string> &lines, const std::vector<std::string> &columns,
                    const std::vector<store_row> &rows, std::string *error);

// Reads a values file (RFC 4180 CSV, UTF-8, a header row of names). A MID
// column binds its row to that module (held_by); the other columns, in
// file order, are `columns`. Blank lines and rows of empty cells are
// skipped (the latter counted in `empty_rows`). False with `error` naming
// the line or row.
bool values_file_load(const std::string &path, std::vector<std::string> *columns,
                      std::vector<store_row> *rows, std::string *error,
                      size_t *empty_rows = nullptr);

// True when a line of the template names ${`name`}.
bool template_uses(const std::vector<std::string> &lines, const std::string &name);

// The columns whose values are secrets: those the template puts into a key
// or password, and those named so (KEY, PSK, PASS or SECRET in any case).
std::vector<std::string> template_secret_columns(const std::vector<std::string> &lines,
                                                 const std::vector<std::string> &columns);

// Why the module `mid` cannot take a row of a pool for this template
// (control bytes, longer than ${MID} allows), or "" when it can: checked
// before its row is claimed, so that a MID that could never be filled in
// holds no row.
std::string template_mid_fault(const std::vector<std::string> &lines, const std::string &mid);

#endif
