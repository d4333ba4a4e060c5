// Fuzz target: string_to_ip on any text. It must agree with an independent
// reading of the address rule, leave its output untouched when it rejects,
// and whatever it accepts must come back the same from its dotted form.
#include "fuzz_support.h"
#include "module_read.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace
{

// The rule read group by group: groups 1 to 3 are 1 to 3 digits and a ".";
// group 4 is 1 to 4 digits ending at the end, at a "." or after its fourth
// digit; no group above 255.
bool reference(const char *t, unsigned char out[4])
{
    for (int g = 0; g < 4; g++) {
        size_t n = std::strspn(t, "0123456789");
        size_t most = g < 3 ? 3 : 4;
        if (n == 0 || (g < 3 && n > most))
            return false;
        if (n > most)
            n = most;
        int v = 0;
        for (size_t i = 0; i < n; i++)
            v = v * 10 + (t[i] - '0');
        if (v > 255)
            return false;
        out[g] = static_cast<unsigned char>(v);
        if (g < 3) {
            if (t[n] != '.')
                return false;
            t += n + 1;
        } else if (n < most && t[n] != '\0' && t[n] != '.') {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the input and its zero byte, so a read past it is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0)
        std::memcpy(text.get(), data, size);
    text[size] = '\0';

    const unsigned char canary[4] = {0xA5, 0x5A, 0xC3, 0x3C};
    std::unique_ptr<unsigned char[]> add(new unsigned char[4]);
    std::memcpy(add.get(), canary, 4);

    int ret = string_to_ip(text.get(), add.get());
    unsigned char want[4];
    bool ok = reference(text.get(), want);

    FUZZ_CHECK(ret == 0 || ret == 1, "result is not 0 or 1");
    FUZZ_CHECK((ret == 1) == ok, "accepts or rejects against the address rule");
    if (ret == 0) {
        FUZZ_CHECK(std::memcmp(add.get(), canary, 4) == 0, "rejected text changed the output");
        return 0;
    }
    FUZZ_CHECK(std::memcmp(add.get(), want, 4) == 0, "wrong bytes for an accepted address");

    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", add[0], add[1], add[2], add[3]);
    unsigned char again[4] = {0, 0, 0, 0};
    FUZZ_CHECK(string_to_ip(dotted, again) == 1, "dotted form of an accepted address rejected");
    FUZZ_CHECK(std::memcmp(again, add.get(), 4) == 0, "dotted form reads back different");
    return 0;
}
