// A scripted module for tests of code that queries through
// module_send_cmd_get: answers each query from a table and records what was
// sent. A test program forwards its own module_send_cmd_get to answer().
#ifndef MODCFG_TEST_FAKE_MODULE_H
#define MODCFG_TEST_FAKE_MODULE_H

#include <map>
#include <string>
#include <vector>

class fake_module {
public:
    // Query `cmd` answers "+ok=" followed by `value`.
    void reply(const std::string &cmd, const std::string &value);
    // Query `cmd` gets no usable answer (the query fails).
    void fail(const std::string &cmd);
    // Drops the answers and the record of sent queries.
    void clear();

    // One query in module_send_cmd_get's terms: 1 with the value in ret
    // (AT_VALUE_MAX + 1 bytes are written, the value then zero bytes, so a
    // caller with a smaller buffer shows up under the sanitizer), or 0 with
    // ret untouched. A query the script does not name fails too.
    int answer(const char *cmd, char *ret);

    // Queries in the order they were sent.
    const std::vector<std::string> &sent() const { return sent_; }

private:
    std::map<std::string, std::string> values_; // failing queries absent
    std::vector<std::string> sent_;
};

#endif
