// The serial layer and the AT exchange against the module emulator on a
// pseudo-terminal: command-mode entry, every query, a set and its read-back.
#include "module_at.h"
#include "pccom.h"
#include "sim_process.h"
#include "temp_dir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace
{

const char *const query_names[] = {"MID",    "WMODE",  "TMODE",  "WEBU",  "VER",   "UART", "UARTF",
                                   "UARTFT", "UARTFL", "NETP",   "MAXSK", "TCPTO", "WAP",  "WAKEY",
                                   "LANN",   "DHCPGW", "WSSSID", "WSKEY", "WANN"};

class ExchangeWithSim : public ::testing::Test
{
  protected:
    // Starts the emulator and opens its pty as COM1 the way the connect
    // button does.
    void open_sim(std::vector<std::string> args)
    {
        state = dir.path() + "/state.txt";
        args.insert(args.end(), {"--state", state});
        ASSERT_TRUE(sim.start_pty(args));
        setenv("MODCFG_COM1", sim.pty_path().c_str(), 1);
        strPCCom.device = 0;
        strPCCom.baudrate = 15;
        strPCCom.data_bits = 3;
        strPCCom.parity = 0;
        strPCCom.stop_bits = 0;
        testing::internal::CaptureStdout();
        init_pccom();
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_GT(strPCCom.fd, 0) << out << serial_last_error();
        EXPECT_NE(out.find("COM1 -> " + sim.pty_path()), std::string::npos) << out;
    }
    void TearDown() override
    {
        CommClose(strPCCom.fd);
        strPCCom.fd = 0;
        unsetenv("MODCFG_COM1");
    }
    std::string query(const std::string &name)
    {
        char ret[AT_VALUE_MAX + 1] = "";
        EXPECT_EQ(at_send_cmd_get(serial_link, ("AT+" + name).c_str(), ret), 1) << name;
        return ret;
    }

    temp_cwd dir;
    sim_process sim;
    std::string state;
};

TEST_F(ExchangeWithSim, TransparentModuleConnectsAndAnswersEveryQuery)
{
    const std::string key(64, 'k');
    open_sim({"--mode", "transparent", "--set", "WSKEY=WPA2PSK,AES," + key});

    testing::internal::CaptureStdout();
    const int connected = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(connected, 1) << out;
    EXPECT_EQ(out, "Connect to Module.........OK!\n") << "expected both probes, then +++";

    const auto expected = sim_read_state(state);
    ASSERT_EQ(expected.size(), 19u);
    for (const char *name : query_names)
        EXPECT_EQ(query(name), expected.at(name)) << name;
    EXPECT_EQ(query("WSKEY"), "WPA2PSK,AES," + key);

    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+WMODE=STA"), 1);
    EXPECT_EQ(query("WMODE"), "STA");
    EXPECT_TRUE(sim_wait_state(state, "WMODE", "STA"));
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+ENTM"), 1);
}

TEST_F(ExchangeWithSim, EchoingModuleIsFoundAndSilenced)
{
    open_sim({"--mode", "command", "--echo"});
    testing::internal::CaptureStdout();
    const int connected = connect_to_module();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(connected, 1) << out;
    EXPECT_EQ(out, "Connect to Module......OK!\n") << "the first probe should have done";

    EXPECT_EQ(at_echo(serial_link), 1);
    EXPECT_EQ(at_send_cmd_set(serial_link, "AT+E"), 1);
    EXPECT_EQ(at_echo(serial_link), 0);
    EXPECT_EQ(query("TMODE"), "Through");
}

} // namespace
