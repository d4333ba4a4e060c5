// The provisioning report: one record per module, appended as it finishes,
// as CSV (with a header written once) or JSON Lines, chosen by the file's
// extension.
#ifndef MODCFG_CLI_REPORT_H
#define MODCFG_CLI_REPORT_H

#include <string>
#include <vector>

struct cli_mismatch {
    std::string setting; // query name, e.g. "WAP"
    std::string sent;    // the arguments that were set
    std::string held;    // what the module reported
    // "key" or "password" when sent and held are masked and differ there
    std::string differs = {};
};

struct cli_record {
    std::string time;    // ISO 8601 in UTC, as the history writes it
    std::string port;    // port as given, or the peer's address
    std::string mid;     // module identification
    std::string version; // firmware version
    std::string result;  // verified, mismatch, not-acknowledged, no-module, link-lost
    double seconds = 0;  // from the worker's start to its result
    std::vector<cli_mismatch> mismatches;
    std::string note; // lines not acknowledged or not verifiable, errors
};

// The current time as the history writes it: "2024-05-01T12:03:07.123456Z".
std::string cli_iso_time();

// CSV header line, and one record as a CSV line (with its line end). Fields
// are quoted as RFC 4180 says; a text field that a spreadsheet would take
// for a formula (leading "=", "+", "-", "@") gets a leading "'".
extern const char CLI_CSV_HEADER[];
std::string cli_record_csv(const cli_record &r);
// `json` with its member "seconds":null replaced by `seconds` written with
// three decimals at most (a generator prints 0.41 as 0.40999999999999998).
std::string cli_json_seconds(const std::string &json, double seconds);
// One record as a JSON object on one line (with its line end).
std::string cli_record_json(const cli_record &r);

class cli_report
{
  public:
    cli_report() = default;
    ~cli_report();
    cli_report(const cli_report &) = delete;
    cli_report &operator=(const cli_report &) = delete;

    // Checks `path` as the report: an existing regular file is opened for
    // appending; a missing one is created (mode 0600: records can name
    // networks) only with the first record, so a run that ends before any
    // module leaves none behind. JSON Lines for the extensions .jsonl,
    // .ndjson and .json (in any case), CSV for any other. False with
    // `error` set for "-", a FIFO, a device or a directory, a file that
    // cannot be opened or created, or one that holds something else than
    // this tool's records (CSV: its first line is not CLI_CSV_HEADER; JSON
    // Lines: a line is not a record).
    bool open(const std::string &path, std::string *error);
    bool is_open() const { return checked_; }
    // Queues one record and writes what is queued if the file's lock can be
    // had now (see flush). False with `error` set when a write failed.
    bool append(const cli_record &r, std::string *error);
    // Writes the queued records, each in a single write flushed to the
    // disk, so a crash loses at most the record being written; one cut
    // short (a full disk) is truncated back, so the file ends on a whole
    // record. The CSV header goes first when the file is empty; a record
    // never follows a torn line. The file is locked while written: another
    // program appending to it must not come between. With `wait` false a
    // lock held elsewhere leaves the records queued for a later call (the
    // caller's event loop goes on); with `wait` true it is waited for.
    // False with `error` set when a write failed; the records stay queued.
    bool flush(bool wait, std::string *error);
    // Records queued, not yet written.
    bool pending() const { return !queue_.empty(); }
    // True once a write failed or records are left unwritten: the report
    // lacks a record.
    bool incomplete() const { return incomplete_ || !queue_.empty(); }
    const std::string &path() const { return path_; }
    // In a forked worker: the report is the parent's alone.
    void forget_in_child();

  private:
    bool create(std::string *error);

    int fd_ = -1;
    bool checked_ = false;
    bool json_ = false;
    bool incomplete_ = false;
    std::string path_;
    std::vector<std::string> queue_; // formatted records
};

#endif
