// Fuzz target: init_setting_para on any set_para.txt. The flag is on only
// for a first byte "1"; the name is the bytes after the second, cut to
// whole characters within the 29 bytes setting_file holds (a cut drops at
// most the three leading bytes of a split character), and never empty:
// no name means "set_file.txt". What was read must come back the same
// through write_setting_para.
// It works in a scratch working directory: give libFuzzer absolute paths.
#include "fuzz_support.h"
#include "main.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_enter_scratch_dir();
    fuzz_write_file(SETTING_PARA_FILE, data, size);
    std::memset(setting_file, 'x', sizeof setting_file); // no zero byte left over
    auto_setting = 7;

    init_setting_para();

    const size_t cap = sizeof setting_file;
    const void *end = std::memchr(setting_file, '\0', cap);
    FUZZ_CHECK(end != nullptr, "setting_file not terminated");
    const std::string got(setting_file);
    FUZZ_CHECK(got.size() <= cap - 1, "setting_file longer than 29 bytes");
    FUZZ_CHECK(auto_setting == (size >= 1 && data[0] == '1' ? 1 : 0), "auto flag misread");

    std::string name;
    if (size > 2)
        name.assign(reinterpret_cast<const char *>(data) + 2, size - 2);
    name = name.c_str(); // a zero byte ends the name
    if (name.empty()) {
        FUZZ_CHECK(got == DEFAULT_SETTING_FILE, "no name must give the default");
    } else if (name.size() <= cap - 1) {
        FUZZ_CHECK(got == name, "a name that fits must be kept whole");
    } else {
        FUZZ_CHECK(name.compare(0, got.size(), got) == 0, "cut name is not a prefix");
        FUZZ_CHECK(got.size() + 3 >= cap - 1, "cut name lost more than a split character");
    }

    const int flag = auto_setting;
    FUZZ_CHECK(write_setting_para(flag, got) == 1, "set_para.txt not writable");
    init_setting_para();
    FUZZ_CHECK(auto_setting == flag && got == setting_file, "settings do not read back");
    return 0;
}
