// The four readers through the real serial layer against the emulator on a
// pty: every record ends up holding the emulator's settings.
#include "module.h"
#include "module_at.h"
#include "module_binding.h"
#include "module_read.h"
#include "pccom.h"
#include "sim_process.h"
#include "temp_dir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// This program links the core only: the module operations go straight to
// the serial exchange, as the serial build binds them.
static const module_binding binding(serial_link);

namespace {

using ip4 = std::vector<int>;
ip4 ip(const unsigned char *a) { return {a[0], a[1], a[2], a[3]}; }

const std::string key64 = std::string(32, 'k') + std::string(32, 'K');
const std::string host = "gateway-" + std::string(40, 'h') + ".example.com";

TEST(ReadFromEmulator, AllFourPagesThroughTheSerialPort)
{
    temp_cwd dir;
    const std::string state = dir.path() + "/state.txt";
    // Every setting away from the emulator's defaults, long texts included.
    const std::vector<std::pair<std::string, std::string>> settings = {
        {"MID", "QX-B27-E2E"},
        {"WMODE", "STA"},
        {"TMODE", "Agreement"},
        {"WEBU", "operator,pa55word"},
        {"VER", "V2.3.1"},
        {"UART", "115200,7,2,Even,FC"},
        {"UARTF", "enable"},
        {"UARTFT", "1500"},
        {"UARTFL", "2048"},
        {"NETP", "UDP,Client,40001," + host},
        {"MAXSK", "7"},
        {"TCPTO", "120"},
        {"WAP", "11N,Shop AP,CH11"},
        {"WAKEY", "WPA2PSK,AES," + key64},
        {"LANN", "192.168.8.1,255.255.252.0"},
        {"DHCPGW", "192.168.8.254"},
        {"WSSSID", "Home,Net 5G"},
        {"WSKEY", "WPAPSK,TKIP," + key64},
        {"WANN", "Static,172.16.3.20,255.255.0.0,172.16.0.1"},
    };
    std::vector<std::string> args = {"--mode", "command", "--state", state};
    for (const auto &s : settings) {
        args.push_back("--set");
        args.push_back(s.first + "=" + s.second);
    }
    sim_process sim;
    ASSERT_TRUE(sim.start_pty(args));
    // The emulator took every override (its state file lists what it serves).
    const auto served = sim_read_state(state);
    for (const auto &s : settings)
        ASSERT_EQ(served.count(s.first) ? served.at(s.first) : "<missing>", s.second) << s.first;

    ASSERT_EQ(setenv("MODCFG_COM1", sim.pty_path().c_str(), 1), 0);
    strPCCom = {};
    strPCCom.device = 0;    // COM1
    strPCCom.baudrate = 15; // 57600; a pty ignores it
    strPCCom.data_bits = 3;
    init_pccom();
    ASSERT_NE(strPCCom.fd, 0) << serial_last_error();
    ASSERT_EQ(connect_to_module(), 1);

    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();
    CommClose(strPCCom.fd);
    strPCCom.fd = 0;

    for (const _MOD_MANA_STRUCT *m : {&strMODMana, &strMODMana_up}) {
        EXPECT_STREQ(m->mid, "QX-B27-E2E");
        EXPECT_EQ(m->wmode, WIFIMODE_STA);
        EXPECT_EQ(m->tmode, WORKMODE_AG);
        EXPECT_STREQ(m->user, "operator");
        EXPECT_STREQ(m->pswd, "pa55word");
        EXPECT_STREQ(m->mver, "V2.3.1");
    }
    for (const _MOD_COMM_STRUCT *c : {&strMODComm, &strMODComm_up}) {
        EXPECT_EQ(c->baud, BAUDRATE_115200);
        EXPECT_EQ(c->data_bits, COMBITS_7);
        EXPECT_EQ(c->stop_bits, COMSTOPBITS_2);
        EXPECT_EQ(c->parity, COMPARITY_EVEN);
        EXPECT_EQ(c->fc, COMFC_EN);
        EXPECT_EQ(c->bAF, COMAF_EN);
        EXPECT_EQ(c->AFT, 1500);
        EXPECT_EQ(c->AFL, 2048);
        EXPECT_EQ(c->protocol, NETPROT_UDP);
        EXPECT_EQ(c->mode, NETMODE_CLIENT);
        EXPECT_EQ(c->port, 40001);
        EXPECT_EQ(c->bip, 0);
        EXPECT_EQ(c->hostname, host);
        EXPECT_EQ(c->maxsk, 7);
        EXPECT_EQ(c->TCPto, 120);
    }
    for (const _MOD_AP_STRUCT *a : {&strMODAP, &strMODAP_up}) {
        EXPECT_EQ(a->mode, APSTD_11N);
        EXPECT_STREQ(a->SSID, "Shop AP");
        EXPECT_EQ(a->channel, APCH_CH11);
        EXPECT_EQ(a->enc_auth, WIFIAUTH_WPA2PSK);
        EXPECT_EQ(a->enc_encry, ENC_AES);
        EXPECT_EQ(a->password, key64);
        EXPECT_EQ(ip(a->ipadd), (ip4{192, 168, 8, 1}));
        EXPECT_EQ(ip(a->ipmask), (ip4{255, 255, 252, 0}));
        EXPECT_EQ(ip(a->dhcpgw), (ip4{192, 168, 8, 254}));
    }
    for (const _MOD_STA_STRUCT *s : {&strMODSTA, &strMODSTA_up}) {
        EXPECT_STREQ(s->SSID, "Home,Net 5G");
        EXPECT_EQ(s->enc_auth, WIFIAUTH_WPAPSK);
        EXPECT_EQ(s->enc_encry, ENC_TKIP);
        EXPECT_EQ(s->password, key64);
        EXPECT_EQ(s->bDHCP, DHCP_DISABLE);
        EXPECT_EQ(ip(s->ipadd), (ip4{172, 16, 3, 20}));
        EXPECT_EQ(ip(s->ipmask), (ip4{255, 255, 0, 0}));
        EXPECT_EQ(ip(s->dhcpgw), (ip4{172, 16, 0, 1}));
    }
    EXPECT_EQ(strMODMana.inited + strMODComm.inited + strMODAP.inited + strMODSTA.inited, 4);
}

} // namespace
