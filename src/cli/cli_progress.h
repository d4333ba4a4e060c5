// The progress of a run on standard error: one line per port updated in
// place on a terminal, plain lines prefixed with the port otherwise.
#ifndef MODCFG_CLI_PROGRESS_H
#define MODCFG_CLI_PROGRESS_H

#include <chrono>
#include <string>
#include <vector>

// Least time between two redraws of the live lines.
constexpr auto CLI_REDRAW_EVERY = std::chrono::milliseconds(100);

class cli_progress_view
{
  public:
    enum class mode { none, plain, live };

    explicit cli_progress_view(mode m) : mode_(m) {}
    ~cli_progress_view() { finish(); }

    // Line `slot` now reads `text`; a working line is shown before idle
    // ones when the terminal has fewer rows than lines.
    void set(size_t slot, const std::string &text, bool working = false);
    // A plain progress line, piped mode only.
    void plain(const std::string &label, const std::string &text);
    // A "modcfg: ..." line on standard error in every mode, --quiet too.
    void alert(const std::string &text);
    // A message on standard error in every mode but none.
    void message(const std::string &text);
    // A result line on standard output, above the live lines.
    void result(const std::string &text);
    // Draws the live lines again when they changed, at most every
    // CLI_REDRAW_EVERY (`force`: now, changed or not).
    void redraw(bool force = false);
    // The result lines above say it all: the live lines go.
    void finish() { erase(); }

  private:
    void erase();
    // The lines that fit the terminal, a row left for the cursor: working
    // ones first, then idle ones, in their order, and a count of the rest.
    // Lines that scrolled off could never be moved back over.
    std::vector<std::string> visible() const;
    static size_t columns();
    // At most `width` characters, cut between UTF-8 sequences: a wrapped
    // line would break the count of lines to move back over.
    static std::string cut(const std::string &s, size_t width);

    mode mode_;
    std::vector<std::string> lines_;
    std::vector<bool> working_;
    size_t shown_ = 0;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point last_draw_;
};

#endif
