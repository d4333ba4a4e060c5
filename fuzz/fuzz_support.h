// Shared pieces of the fuzz targets: a module byte stream served through an
// at_link, pauses that cost no time, a private working directory, and a
// check that aborts (so libFuzzer keeps the input) with a readable reason.
#ifndef MODCFG_FUZZ_SUPPORT_H
#define MODCFG_FUZZ_SUPPORT_H

#include "module.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Aborts with `what` when `cond` is false; on in every build type.
#define FUZZ_CHECK(cond, what) fuzz_check((cond), (what), __FILE__, __LINE__)
void fuzz_check(bool cond, const char *what, const char *file, int line);

// What the module sends, cut into reads: the input is split at form feeds
// (0x0C); each piece is what one read finds waiting. A read shorter than its
// piece leaves the rest for the next read, as bytes left on a real line do;
// an empty piece is a read that timed out with nothing, and so is every read
// after the input is used up.
namespace fuzz_module
{
constexpr char READ_BREAK = '\f';
void load(const uint8_t *data, size_t size);
extern const at_link link;
// What each read since reset_counts delivered, in order (empty for a read
// that found nothing), and how many reads there were.
const std::vector<std::string> &reads_since_reset();
int reads();
// Frames written to the link, in order.
const std::vector<std::string> &written();
void reset_counts();
} // namespace fuzz_module

// The exchange pauses between reply reads with sleep_for; on the fuzzing
// thread these pauses return at once and are only added up here, so an
// input that makes every query retry costs no wall time and the total can
// be checked against the exchange's own bound. Other threads (libFuzzer's
// own) sleep for real.
namespace fuzz_pause
{
// Pauses are skipped while one of these lives, on the thread that made it.
class scope
{
  public:
    scope();
    ~scope();
    scope(const scope &) = delete;
    scope &operator=(const scope &) = delete;
};
// Milliseconds of pauses skipped since the last reset.
long long total_ms();
void reset();
} // namespace fuzz_pause

// Makes a new empty directory under TMPDIR (default /tmp) the working
// directory, once per process, with an empty data/ inside.
void fuzz_enter_scratch_dir();
// Replaces `path` with exactly `bytes`.
void fuzz_write_file(const char *path, const uint8_t *data, size_t size);
// The whole file, or false when it cannot be read.
bool fuzz_read_file(const char *path, std::string &bytes);

#endif
