// What both faces share: the read-back rule, the readers' query list, the
// export of the edited records as set commands, and the apply's observer.
#include "cmd_file.h"
#include "console.h"
#include "fake_module.h"
#include "module_binding.h"
#include "module_read.h"
#include "module_session.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

static fake_module module;
static std::vector<std::string> sets;
static int acks_left = 1000;
static int fake_get(const char *cmd, char *ret)
{
    return module.answer(cmd, ret);
}
static int counted_set(const char *cmd)
{
    sets.push_back(cmd);
    return acks_left-- > 0 ? 1 : 0;
}
static const module_binding binding(fake_get, counted_set, nullptr);

namespace
{

TEST(VerifyRule, WhichLinesAreReadBackAndWhatCountsAsHeld)
{
    struct row {
        const char *line;
        bool verifiable;
        const char *name, *args;
    } rows[] = {
        {"AT+WMODE=STA", true, "WMODE", "STA"},
        {"AT+WSSSID=Home,Net=5", true, "WSSSID", "Home,Net=5"}, // first "=" splits
        {"AT+WANN=DHCP", true, "WANN", "DHCP"},
        {"AT+MID=X", true, "MID", "X"}, // a query name, so read back
        {"AT+Z", false, "", ""},
        {"AT+E", false, "", ""},
        {"AT+ENTM", false, "", ""},
        {"AT+RELD", false, "", ""},
        {"AT+WMODE", false, "", ""},     // a query, not a set
        {"AT+FOO=1", false, "", ""},     // no query of that name
        {"at+WMODE=STA", false, "", ""}, // case matters, as on the wire
        {"hello=world", false, "", ""},
    };
    for (const auto &r : rows) {
        std::string name = "-", args = "-";
        EXPECT_EQ(verify_line_target(r.line, &name, &args), r.verifiable) << r.line;
        if (r.verifiable) {
            EXPECT_EQ(name, r.name) << r.line;
            EXPECT_EQ(args, r.args) << r.line;
        }
    }
    struct held {
        const char *name, *args, *value;
        bool holds;
    } values[] = {
        {"WMODE", "STA", "STA", true},
        {"WANN", "DHCP", "DHCP,192.168.1.7,255.255.255.0,192.168.1.1", true}, // got by DHCP
        {"WANN", "DHCP", "DHCPX", false},                                     // not followed by ","
        {"WAP", "11BGN,Shop,CH6", "11BGN,Shop,Auto", false},                  // channel refused
        {"WSSSID", "Long SSID name", "Long SSID", false},                     // cut short
        {"TCPTO", "120", "0120", false},
        {"WSSSID", "", "", true},
        {"WSSSID", "", ",x", false},
        {"WMODE", "STA", "", false},
        {"WSSSID", "lab", "lab,5G", false}, // the whole value, elsewhere
        {"WEBU", "admin", "admin,secret", false},
        {"WANN", "Static,10.0.0.3,255.255.255.0,10.0.0.1",
         "Static,10.0.0.3,255.255.255.0,10.0.0.1,x", false},
    };
    for (const auto &v : values)
        EXPECT_EQ(verify_value_holds(v.name, v.args, v.value), v.holds)
            << v.name << " " << v.args << " / " << v.value;
}

// The query list the command line reads back by is the readers' own: the
// four readers send exactly these, in this order.
TEST(ModuleSession, ReadersSendTheNineteenQueriesInOrder)
{
    module.clear();
    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();
    std::vector<std::string> expected;
    for (const char *name : module_query_names)
        expected.push_back(std::string("AT+") + name);
    EXPECT_EQ(module.sent(), expected);
}

// Export: what the readers took from a module, as set commands, gives back
// every writable value the module reported (the query-only MID and VER
// excepted), in the window's page order.
TEST(ModuleSession, SettingCommandsReproduceWhatWasRead)
{
    const std::vector<std::pair<std::string, std::string>> settings = {
        {"WMODE", "STA"},
        {"TMODE", "Agreement"},
        {"WEBU", "operator,pa55"},
        {"UART", "115200,7,2,Even,FC"},
        {"UARTF", "enable"},
        {"UARTFT", "1500"},
        {"UARTFL", "2048"},
        {"NETP", "UDP,Client,40001,gateway.example.com"},
        {"MAXSK", "7"},
        {"TCPTO", "120"},
        {"WAP", "11N,Shop AP,CH11"},
        {"WAKEY", "WPA2PSK,AES,secret123"},
        {"LANN", "192.168.8.1,255.255.252.0"},
        {"DHCPGW", "192.168.8.254"},
        {"WSSSID", "Home,Net 5G"},
        {"WSKEY", "OPEN,NONE"},
        {"WANN", "Static,172.16.3.20,255.255.0.0,172.16.0.1"},
    };
    module.clear();
    module.reply("AT+MID", "M1");
    module.reply("AT+VER", "V1");
    for (const auto &s : settings)
        module.reply("AT+" + s.first, s.second);
    stdout_capture quiet; // the builders list the pending tables
    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();
    const auto lines = module_setting_commands();
    quiet.take();
    std::vector<std::string> expected;
    for (const auto &s : settings)
        expected.push_back("AT+" + s.first + "=" + s.second);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 0);

    // A module on DHCP that reports its addresses too exports plain DHCP.
    module.reply("AT+WANN", "DHCP,10.0.0.9,255.0.0.0,10.0.0.1");
    init_module_sta_struct();
    stdout_capture quiet_again;
    EXPECT_EQ(module_setting_commands().back(), "AT+WANN=DHCP");
}

struct stop_after : cmd_apply_observer {
    int stop_at;
    std::vector<std::pair<int, int>> seen; // number, acked
    explicit stop_after(int n) : stop_at(n) {}
    bool sent(int number, const std::string &, int acked) override
    {
        seen.emplace_back(number, acked);
        return number < stop_at;
    }
};

// The apply a face drives is the window's apply: same stop rules, same
// console lines, and the observer sees each line with its acknowledgement
// and can end the apply (a lost link).
TEST(ModuleSession, ApplyTellsTheObserverAndStopsWhenItSays)
{
    temp_cwd dir;
    write_file("set.txt", "AT+WMODE=STA\r\nAT+TCPTO=9\r\nAT+MAXSK=3\r\n\r\nAT+WANN=DHCP\r\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(cmd_file_read_lines("set.txt", lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"AT+WMODE=STA", "AT+TCPTO=9", "AT+MAXSK=3"}));
    EXPECT_FALSE(cmd_file_read_lines("missing.txt", lines));

    sets.clear();
    acks_left = 1;
    stop_after watch(2);
    stdout_capture out;
    EXPECT_EQ(cmd_file_apply("set.txt", &watch), 1);
    EXPECT_EQ(out.take(), "\n------------Start to send Command------------\n"
                          "Send Command: AT+WMODE=STA\n"
                          "Send Command: AT+TCPTO=9\n"
                          "Not acknowledged by the module: AT+TCPTO=9\n"
                          "-----------------Finished-----------------\n\n");
    EXPECT_EQ(sets, (std::vector<std::string>{"AT+WMODE=STA", "AT+TCPTO=9"}));
    EXPECT_EQ(watch.seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 0}}));
    acks_left = 1000;
}

} // namespace
