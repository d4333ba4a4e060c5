// Fuzz target: the number and port rules of the entry handlers on any text,
// against the C library's reading of a leading decimal integer. A number
// always lands inside its range and the entry is rewritten exactly when the
// typed value was outside; the port keeps the low 16 bits.
#include "entry_rules.h"
#include "fuzz_support.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

struct range {
    int low, high;
};
// Framing time, framing length, TCP time-out, maximum connections.
constexpr range ranges[] = {{100, 10000}, {16, 4096}, {0, 600}, {1, 32}};

// Leading blanks, a sign, digits; beyond int it saturates.
int leading_int(const char *text)
{
    long long v = std::strtoll(text, nullptr, 10);
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0)
        std::memcpy(text.get(), data, size);
    text[size] = '\0';

    const int typed = leading_int(text.get());
    FUZZ_CHECK(value_to_int(text.get()) == typed, "leading integer misread");
    for (const range &r : ranges) {
        bool clamped = false;
        int v = entry_number_value(text.get(), r.low, r.high, &clamped);
        FUZZ_CHECK(v >= r.low && v <= r.high, "number outside its range");
        FUZZ_CHECK(clamped == (typed < r.low || typed > r.high), "entry rewritten wrongly");
        FUZZ_CHECK(clamped || v == typed, "value inside the range changed");
    }
    FUZZ_CHECK(entry_port_value(text.get()) == (static_cast<unsigned>(typed) & 0xFFFFu),
               "port is not the low 16 bits");
    return 0;
}
