// The emulated module's settings, held as the texts the module speaks in its
// query replies, and the checks a set command passes before it changes one.
#ifndef QXB27_SIM_STORE_H
#define QXB27_SIM_STORE_H

#include <array>
#include <string>

namespace sim
{

constexpr int setting_count = 19;

// Query names (without "AT+") in the order the configuration tool reads
// them; the state file lists the settings in this order too.
extern const std::array<const char *, setting_count> setting_names;

// Longest value a query reply may carry: the tool reads a reply in one read
// of 100 bytes, of which "+ok=" and the final "\r\n\r\n" take eight.
constexpr size_t value_max = 92;

// Numbers of the module's "+ERR=<n>" reply.
enum error_code {
    err_format = -1,    // not an AT command frame, or the line was too long
    err_command = -2,   // unknown command, or a query-only name given "="
    err_arg_count = -3, // wrong number of arguments
    err_arg_value = -4, // an argument the module does not accept
};

class store
{
  public:
    store() { reset(); }

    // Back to the factory defaults.
    void reset();
    // Index of the query NAME, or -1 when the module has no such query.
    static int find(const std::string &name);
    const std::string &value(int index) const { return values_[index]; }
    // Replaces a value without any check (initial overrides for tests, which
    // may want replies the module would never accept in a set command).
    // False when NAME is no query.
    bool set_raw(const std::string &name, const std::string &value);
    // Runs the set command NAME with ARGS (the text after "="): 0 when the
    // command was valid and its value is stored, else an error_code and the
    // store unchanged.
    int apply(const std::string &name, const std::string &args);
    // One "NAME=value\n" line per setting, in query order.
    std::string state_text() const;

  private:
    std::array<std::string, setting_count> values_;
};

} // namespace sim

#endif
