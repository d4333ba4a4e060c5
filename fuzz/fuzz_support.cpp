// Shared pieces of the fuzz targets.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

void fuzz_check(bool cond, const char *what, const char *file, int line)
{
    if (cond)
        return;
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// ---------------------------------------------------------------------------

namespace fuzz_module
{
namespace
{

std::vector<std::string> pieces;
size_t piece = 0;  // index of the piece the next read takes from
size_t offset = 0; // bytes of it already read
std::vector<std::string> delivered;
std::vector<std::string> frames;

int link_write(void *, const char *buf, int len)
{
    frames.emplace_back(buf, static_cast<size_t>(len));
    return len;
}

int link_read(void *, char *buf, int len)
{
    delivered.emplace_back();
    if (piece >= pieces.size())
        return 0;
    const std::string &p = pieces[piece];
    size_t n = p.size() - offset;
    if (n > static_cast<size_t>(len))
        n = static_cast<size_t>(len);
    std::memcpy(buf, p.data() + offset, n);
    offset += n;
    if (offset == p.size()) {
        piece++;
        offset = 0;
    }
    delivered.back().assign(buf, n);
    return static_cast<int>(n);
}

} // namespace

const at_link link = {link_write, link_read, nullptr};

void load(const uint8_t *data, size_t size)
{
    pieces.clear();
    pieces.emplace_back();
    for (size_t i = 0; i < size; i++) {
        if (data[i] == static_cast<uint8_t>(READ_BREAK))
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    piece = 0;
    offset = 0;
    frames.clear();
    delivered.clear();
}

const std::vector<std::string> &reads_since_reset()
{
    return delivered;
}
int reads()
{
    return static_cast<int>(delivered.size());
}
const std::vector<std::string> &written()
{
    return frames;
}
void reset_counts()
{
    delivered.clear();
}

} // namespace fuzz_module

// ---------------------------------------------------------------------------

namespace
{
thread_local bool skip_pauses = false;
long long skipped_ms = 0;
} // namespace

// std::this_thread::sleep_for calls nanosleep; this definition takes the
// place of the C library's in the fuzz programs.
extern "C" int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (skip_pauses) {
        skipped_ms += static_cast<long long>(req->tv_sec) * 1000 + req->tv_nsec / 1000000;
        return 0;
    }
    return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

namespace fuzz_pause
{
scope::scope()
{
    skip_pauses = true;
}
scope::~scope()
{
    skip_pauses = false;
}
long long total_ms()
{
    return skipped_ms;
}
void reset()
{
    skipped_ms = 0;
}
} // namespace fuzz_pause

// ---------------------------------------------------------------------------

namespace
{

std::string scratch;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return std::remove(path);
}

void remove_scratch()
{
    if (!scratch.empty()) {
        if (chdir("/") != 0)
            return;
        nftw(scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

} // namespace

void fuzz_enter_scratch_dir()
{
    if (!scratch.empty())
        return;
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/modcfg-fuzz-XXXXXX";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    FUZZ_CHECK(mkdtemp(path.data()) != nullptr, "cannot make a scratch directory");
    scratch = path.data();
    FUZZ_CHECK(chdir(scratch.c_str()) == 0, "cannot enter the scratch directory");
    FUZZ_CHECK(mkdir("data", 0755) == 0, "cannot make data/");
    std::atexit(remove_scratch);
}

void fuzz_write_file(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path, "wb");
    FUZZ_CHECK(f != nullptr, "cannot write an input file");
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size, "short write of an input file");
    FUZZ_CHECK(std::fclose(f) == 0, "cannot close an input file");
}

bool fuzz_read_file(const char *path, std::string &bytes)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    bytes.clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    std::fclose(f);
    return true;
}
