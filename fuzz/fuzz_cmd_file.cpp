// Fuzz target: the command-file readers on any bytes. Apply reads the input
// as "data/cmds.txt" and must send exactly its lines (line end LF or CR LF
// removed) up to the first empty line, the first line beginning with "E" or
// the end, except lines holding a zero byte or a control byte other than
// tab; other bytes, UTF-8 or not, are sent as they are. Save reads the
// input cut at form feeds into the four temporary files and must write
// exactly their lines up to each one's "E" line, with CR LF, then "E", and
// leave no new-file debris behind.
// It works in a scratch working directory: give libFuzzer absolute paths.
#include "cmd_file.h"
#include "fuzz_support.h"
#include "module_binding.h"

#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::vector<std::string> sent;

// The lines of `bytes` as a reader sees them: LF or CR LF removed; a last
// line without LF keeps every byte.
std::vector<std::string> lines_of(const std::string &bytes)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back(bytes.substr(pos));
            break;
        }
        std::string line = bytes.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = nl + 1;
    }
    return lines;
}

bool text_line(const std::string &line)
{
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

void check_apply(const uint8_t *data, size_t size)
{
    fuzz_write_file("data/cmds.txt", data, size);
    sent.clear();
    FUZZ_CHECK(apply_command_file("cmds.txt") == 1, "apply of a readable file failed");

    std::vector<std::string> want;
    for (const std::string &line :
         lines_of(std::string(reinterpret_cast<const char *>(data), size))) {
        if (line.empty() || line[0] == 'E')
            break;
        if (line.find('\0') == std::string::npos && text_line(line)) // a cut command is never sent
            want.push_back(line);
    }
    FUZZ_CHECK(sent == want, "apply did not send the file's lines exactly");
}

void check_save(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::string want;
    size_t start = 0;
    for (int type = CMDTYPE_MOD; type <= CMDTYPE_STA; type++) {
        const char *tmp = cmd_tmp_file(type);
        if (start > input.size()) {
            unlink(tmp); // fewer pieces than pages: the rest never confirmed
            continue;
        }
        size_t end = input.find(fuzz_module::READ_BREAK, start);
        if (end == std::string::npos || type == CMDTYPE_STA)
            end = input.size();
        std::string piece = input.substr(start, end - start);
        start = end + 1;
        fuzz_write_file(tmp, reinterpret_cast<const uint8_t *>(piece.data()), piece.size());
        for (const std::string &line : lines_of(piece)) {
            if (!line.empty() && line[0] == 'E')
                break;
            want += line + "\r\n";
        }
    }
    want += "E\r\n";

    FUZZ_CHECK(save_command_file("saved.txt") == 1, "save into a writable data/ failed");
    std::string got;
    FUZZ_CHECK(fuzz_read_file("data/saved.txt", got), "saved file missing");
    FUZZ_CHECK(got == want, "saved file is not the temporary files' lines");
    FUZZ_CHECK(access("data/saved.txt.new", F_OK) != 0, "new-file debris left after a save");
}

// Apply's module: every command is recorded and acknowledged.
int recorded_set(const char *cmd)
{
    sent.emplace_back(cmd);
    return 1;
}
int no_get(const char *, char *)
{
    FUZZ_CHECK(false, "command files never query");
    return 0;
}
int no_echo()
{
    FUZZ_CHECK(false, "command files never test the echo");
    return 0;
}
const module_binding binding(no_get, recorded_set, no_echo);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_enter_scratch_dir();
    check_apply(data, size);
    check_save(data, size);
    return 0;
}
