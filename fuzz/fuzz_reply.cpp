// Fuzz target: the module's whole byte stream for a full read of the four
// pages (the 19 queries in order), served through an at_link in reads cut
// as the input says. Every query goes through the real reply extraction,
// every value through the readers' list splitting and converters. After the
// read every code field must be inside its set and every text field
// terminated inside its capacity; a failed query must leave the caller's
// buffer untouched; no query may read or pause more than the exchange allows.
#include "fuzz_support.h"
#include "module_at.h"
#include "module_binding.h"
#include "module_read.h"

#include <cstring>
#include <string>
#include <vector>

static int checked_get(const char *cmd, char *ret)
{
    char before[AT_VALUE_MAX + 1];
    std::memcpy(before, ret, sizeof before);
    fuzz_module::reset_counts();
    fuzz_pause::reset();

    int ok = at_send_cmd_get(fuzz_module::link, cmd, ret);

    FUZZ_CHECK(ok == 0 || ok == 1, "query result is not 0 or 1");
    FUZZ_CHECK(fuzz_module::written().back() == std::string(cmd) + "\n", "query frame");
    // Reply reads (some with one more read for a reply an echo pushed past
    // a full read), then at most as many reads taking the rest of an
    // overlong reply off the line; only the reply reads pause.
    FUZZ_CHECK(fuzz_module::reads() <= 3 * AT_REPLY_TRIES, "query read more than its tries");
    FUZZ_CHECK(fuzz_pause::total_ms() <= AT_REPLY_TRIES * AT_REPLY_PAUSE_MS,
               "query paused longer than its tries allow");
    if (!ok) {
        FUZZ_CHECK(std::memcmp(before, ret, sizeof before) == 0,
                   "failed query touched the caller's buffer");
        return 0;
    }
    const std::vector<std::string> &reads = fuzz_module::reads_since_reset();
    std::string stream;
    for (const std::string &r : reads)
        stream += r;
    const size_t len = std::strlen(ret);
    FUZZ_CHECK(len <= static_cast<size_t>(AT_VALUE_MAX), "value longer than a value may be");
    // After the module's echo of the command the reply may be spread over
    // reads: the value must at least follow a "+ok" and one byte (the "=")
    // the module sent.
    const std::string echo = cmd;
    if (stream.compare(0, echo.size(), echo) == 0 && stream.size() > echo.size() &&
        (stream[echo.size()] == '\r' || stream[echo.size()] == '\n')) {
        bool found = len == 0;
        for (size_t at = stream.find("+ok"); !found && at != std::string::npos;
             at = stream.find("+ok", at + 1))
            found = stream.compare(at + 4 < stream.size() ? at + 4 : stream.size(), len, ret,
                                   len) == 0;
        FUZZ_CHECK(found, "value after an echo is not what followed +ok and one byte");
        return 1;
    }
    // Otherwise the value comes from the first read beginning "+ok": what
    // follows "+ok=" less the line-end bytes (CR or LF, at most four) that
    // end the read, cut to what a value holds.
    const std::string *reply = nullptr;
    for (const std::string &r : reads) {
        if (r.compare(0, 3, "+ok") == 0) {
            reply = &r;
            break;
        }
    }
    FUZZ_CHECK(reply != nullptr, "value without a read beginning +ok");
    const std::string &r = *reply;
    size_t end = r.size();
    for (int k = 0; k < 4 && end > 0 && (r[end - 1] == '\r' || r[end - 1] == '\n'); k++)
        end--;
    size_t want = end > 4 ? end - 4 : 0;
    if (want > static_cast<size_t>(AT_VALUE_MAX))
        want = AT_VALUE_MAX;
    // Compared as bytes: a value may hold a zero byte the module sent.
    FUZZ_CHECK(r.compare(4 < r.size() ? 4 : r.size(), want, ret, want) == 0 && ret[want] == '\0',
               "value is not the reply after +ok= less its line ends");
    return 1;
}

static int checked_set(const char *cmd)
{
    fuzz_module::reset_counts();
    fuzz_pause::reset();
    int ok = at_send_cmd_set(fuzz_module::link, cmd);
    // Reply reads, then the rest of an echoed reply read off.
    FUZZ_CHECK(fuzz_module::reads() <= 2 * AT_REPLY_TRIES, "set command read more than its tries");
    FUZZ_CHECK(fuzz_pause::total_ms() <= AT_REPLY_TRIES * AT_REPLY_PAUSE_MS,
               "set command paused longer than its tries allow");
    return ok;
}

static int checked_echo()
{
    fuzz_module::reset_counts();
    int ok = at_echo(fuzz_module::link);
    FUZZ_CHECK(fuzz_module::reads() <= 1, "echo test read more than once");
    return ok;
}

static const module_binding binding(checked_get, checked_set, checked_echo);

namespace
{

bool in_set(signed char code, const code_set &set)
{
    return code >= 0 && code < set.count;
}

template <size_t N> bool terminated(const char (&field)[N])
{
    return std::memchr(field, '\0', N) != nullptr;
}

void check(const _MOD_MANA_STRUCT &r)
{
    FUZZ_CHECK(in_set(r.wmode, codes_wifimode), "wmode");
    FUZZ_CHECK(in_set(r.tmode, codes_workmode), "tmode");
    FUZZ_CHECK(terminated(r.user) && terminated(r.pswd) && terminated(r.mid) && terminated(r.mver),
               "management text field not terminated");
}

void check(const _MOD_COMM_STRUCT &r)
{
    FUZZ_CHECK(in_set(r.baud, codes_baudrate), "baud");
    FUZZ_CHECK(in_set(r.data_bits, codes_combits), "data_bits");
    FUZZ_CHECK(in_set(r.parity, codes_comparity), "parity");
    FUZZ_CHECK(in_set(r.stop_bits, codes_comstopbits), "stop_bits");
    FUZZ_CHECK(in_set(r.fc, codes_comfc), "fc");
    FUZZ_CHECK(in_set(r.bAF, codes_comaf), "bAF");
    FUZZ_CHECK(in_set(r.mode, codes_netmode), "comm mode");
    FUZZ_CHECK(in_set(r.protocol, codes_netprot), "protocol");
    FUZZ_CHECK(r.bip == 0 || r.bip == 1, "bip");
    FUZZ_CHECK(terminated(r.hostname), "hostname not terminated");
}

void check(const _MOD_AP_STRUCT &r)
{
    FUZZ_CHECK(in_set(r.mode, codes_apstd), "AP mode");
    FUZZ_CHECK(in_set(r.channel, codes_apch), "channel");
    FUZZ_CHECK(in_set(r.enc_auth, codes_encauth), "AP enc_auth");
    FUZZ_CHECK(in_set(r.enc_encry, codes_encenc), "AP enc_encry");
    FUZZ_CHECK(in_set(r.bDHCP, codes_dhcp), "AP bDHCP");
    FUZZ_CHECK(terminated(r.SSID) && terminated(r.password), "AP text field not terminated");
}

void check(const _MOD_STA_STRUCT &r)
{
    FUZZ_CHECK(in_set(r.enc_auth, codes_encauth), "STA enc_auth");
    FUZZ_CHECK(in_set(r.enc_encry, codes_encenc), "STA enc_encry");
    FUZZ_CHECK(in_set(r.bDHCP, codes_dhcp), "STA bDHCP");
    FUZZ_CHECK(terminated(r.SSID) && terminated(r.password), "STA text field not terminated");
}

template <typename R> void check_read(const R &module, const R &edited)
{
    FUZZ_CHECK(module.inited == 1 && module.dirty == 0, "page not marked read");
    check(module);
    check(edited);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_pause::scope no_pauses;
    fuzz_module::load(data, size);
    // Start from the state after start-up: zero is a valid code everywhere.
    strMODMana = strMODMana_up = _MOD_MANA_STRUCT{};
    strMODComm = strMODComm_up = _MOD_COMM_STRUCT{};
    strMODAP = strMODAP_up = _MOD_AP_STRUCT{};
    strMODSTA = strMODSTA_up = _MOD_STA_STRUCT{};

    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();

    FUZZ_CHECK(fuzz_module::written().size() == 19, "a full read sends 19 queries");
    check_read(strMODMana, strMODMana_up);
    check_read(strMODComm, strMODComm_up);
    check_read(strMODAP, strMODAP_up);
    check_read(strMODSTA, strMODSTA_up);
    FUZZ_CHECK(std::strcmp(strMODComm.hostname, strMODComm_up.hostname) == 0 &&
                   std::strcmp(strMODAP.password, strMODAP_up.password) == 0 &&
                   std::strcmp(strMODSTA.SSID, strMODSTA_up.SSID) == 0,
               "edited record differs from the module record after a read");

    // Whatever the module still sends meets a set command and an echo test.
    module_send_cmd_set("AT+E");
    module_echo();
    return 0;
}
