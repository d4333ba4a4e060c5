// Readers against a scripted module: query order, conversions, failed
// queries and overlong values; the reply splitter and the address parser.
#include "fake_module.h"
#include "module.h"
#include "module_binding.h"
#include "module_read.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
fake_module fake;

int fake_get(const char *cmd, char *ret)
{
    return fake.answer(cmd, ret);
}
const module_binding binding(fake_get, nullptr, nullptr);

using ip4 = std::vector<int>;

ip4 ip(const unsigned char *a) { return {a[0], a[1], a[2], a[3]}; }

void set_ip(unsigned char *a, int b0, int b1, int b2, int b3)
{
    a[0] = b0;
    a[1] = b1;
    a[2] = b2;
    a[3] = b3;
}

// Every record starts from non-zero "old" values, so a conversion that
// writes nothing, or writes the wrong default, shows.
class Readers : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.clear();
        std::memset(&strMODMana, 0x7, sizeof strMODMana);
        std::memset(&strMODComm, 0x7, sizeof strMODComm);
        std::memset(&strMODAP, 0x7, sizeof strMODAP);
        std::memset(&strMODSTA, 0x7, sizeof strMODSTA);
        text_set(strMODMana.mid, "old-mid");
        text_set(strMODMana.mver, "old-ver");
        text_set(strMODMana.user, "old-user");
        text_set(strMODMana.pswd, "old-pswd");
        text_set(strMODComm.hostname, "old-host");
        text_set(strMODAP.SSID, "old-ap");
        text_set(strMODAP.password, "old-ap-key");
        text_set(strMODSTA.SSID, "old-sta");
        text_set(strMODSTA.password, "old-sta-key");
        strMODMana_up = {};
        strMODComm_up = {};
        strMODAP_up = {};
        strMODSTA_up = {};
    }

    static void script_defaults()
    {
        fake.reply("AT+MID", "QX-B27");
        fake.reply("AT+WMODE", "STA");
        fake.reply("AT+TMODE", "Agreement");
        fake.reply("AT+WEBU", "admin,secret");
        fake.reply("AT+VER", "1.0.4");
        fake.reply("AT+UART", "9600,7,2,Even,FC");
        fake.reply("AT+UARTF", "enable");
        fake.reply("AT+UARTFT", "500");
        fake.reply("AT+UARTFL", "1024");
        fake.reply("AT+NETP", "UDP,Client,1234,iot.example.com");
        fake.reply("AT+MAXSK", "5");
        fake.reply("AT+TCPTO", "300");
        fake.reply("AT+WAP", "11N,Shop AP,CH6");
        fake.reply("AT+WAKEY", "WPAPSK,TKIP,apkey123");
        fake.reply("AT+LANN", "10.10.100.254,255.255.255.0");
        fake.reply("AT+DHCPGW", "10.10.100.1");
        fake.reply("AT+WSSSID", "HomeNet");
        fake.reply("AT+WSKEY", "WPA2PSK,AES,stakey99");
        fake.reply("AT+WANN", "Static,192.168.1.50,255.255.255.0,192.168.1.1");
    }
};

TEST_F(Readers, FullReadSendsTheQueriesInOrderAndFillsBothCopies)
{
    script_defaults();
    strMODMana.dirty = strMODComm.dirty = strMODAP.dirty = strMODSTA.dirty = 1;
    strMODAP.bDHCP = 1;
    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();

    const std::vector<std::string> order = {
        "AT+MID",   "AT+WMODE", "AT+TMODE",  "AT+WEBU",   "AT+VER",   "AT+UART",  "AT+UARTF",
        "AT+UARTFT", "AT+UARTFL", "AT+NETP", "AT+MAXSK",  "AT+TCPTO", "AT+WAP",   "AT+WAKEY",
        "AT+LANN",  "AT+DHCPGW", "AT+WSSSID", "AT+WSKEY", "AT+WANN"};
    EXPECT_EQ(fake.sent(), order);

    for (const _MOD_MANA_STRUCT *m : {&strMODMana, &strMODMana_up}) {
        EXPECT_STREQ(m->mid, "QX-B27");
        EXPECT_EQ(m->wmode, WIFIMODE_STA);
        EXPECT_EQ(m->tmode, WORKMODE_AG);
        EXPECT_STREQ(m->user, "admin");
        EXPECT_STREQ(m->pswd, "secret");
        EXPECT_STREQ(m->mver, "1.0.4");
    }
    for (const _MOD_COMM_STRUCT *c : {&strMODComm, &strMODComm_up}) {
        EXPECT_EQ(c->baud, BAUDRATE_9600);
        EXPECT_EQ(c->bAF, COMAF_EN);
        EXPECT_EQ(c->AFT, 500);
        EXPECT_EQ(c->AFL, 1024);
        EXPECT_EQ(c->protocol, NETPROT_UDP);
        EXPECT_EQ(c->mode, NETMODE_CLIENT);
        EXPECT_EQ(c->port, 1234);
        EXPECT_EQ(c->bip, 0);
        EXPECT_STREQ(c->hostname, "iot.example.com");
        EXPECT_EQ(c->maxsk, 5);
        EXPECT_EQ(c->TCPto, 300);
    }
    for (const _MOD_AP_STRUCT *a : {&strMODAP, &strMODAP_up}) {
        EXPECT_EQ(a->mode, APSTD_11N);
        EXPECT_STREQ(a->SSID, "Shop AP");
        EXPECT_EQ(a->channel, APCH_CH6);
        EXPECT_EQ(a->enc_auth, WIFIAUTH_WPAPSK);
        EXPECT_EQ(a->enc_encry, ENC_TKIP);
        EXPECT_STREQ(a->password, "apkey123");
        EXPECT_EQ(a->bDHCP, DHCP_ENABLE); // not queried: always read as on
        EXPECT_EQ(ip(a->ipadd), (ip4{10, 10, 100, 254}));
        EXPECT_EQ(ip(a->ipmask), (ip4{255, 255, 255, 0}));
        EXPECT_EQ(ip(a->dhcpgw), (ip4{10, 10, 100, 1}));
    }
    for (const _MOD_STA_STRUCT *s : {&strMODSTA, &strMODSTA_up}) {
        EXPECT_STREQ(s->SSID, "HomeNet");
        EXPECT_EQ(s->enc_auth, WIFIAUTH_WPA2PSK);
        EXPECT_EQ(s->enc_encry, ENC_AES);
        EXPECT_STREQ(s->password, "stakey99");
        EXPECT_EQ(s->bDHCP, DHCP_DISABLE);
        EXPECT_EQ(ip(s->ipadd), (ip4{192, 168, 1, 50}));
        EXPECT_EQ(ip(s->ipmask), (ip4{255, 255, 255, 0}));
        EXPECT_EQ(ip(s->dhcpgw), (ip4{192, 168, 1, 1}));
    }
    EXPECT_EQ(strMODMana.inited + strMODComm.inited + strMODAP.inited + strMODSTA.inited, 4);
    EXPECT_EQ(strMODMana.dirty + strMODComm.dirty + strMODAP.dirty + strMODSTA.dirty, 0);
}

TEST_F(Readers, UartItemsAndTheirFallbacks)
{
    struct row {
        const char *value;
        int baud, data, stop, parity, fc;
    };
    const row rows[] = {
        {"115200,8,1,None,NFC", 16, 3, 0, 0, 1},
        {"9600,7,2,Even,FC", 12, 2, 1, 2, 0},
        {"460800,5,2,Space,FC", 19, 0, 1, 4, 0},
        {"50,6,1,Mark,FC", 0, 1, 0, 3, 0},
        // Unknown texts: 14400 is no module rate, 9 no data-bit count,
        // and the comparison is case-sensitive.
        {"14400,9,3,even,fc", 15, 3, 0, 0, 1},
        {"300,5,2,Odd", 6, 0, 1, 1, 1}, // flow control missing
        {"", 15, 3, 0, 0, 1},
    };
    for (const row &r : rows) {
        std::memset(&strMODComm, 0x7, sizeof strMODComm);
        fake.reply("AT+UART", r.value);
        init_module_comm_struct();
        EXPECT_EQ(strMODComm.baud, r.baud) << r.value;
        EXPECT_EQ(strMODComm.data_bits, r.data) << r.value;
        EXPECT_EQ(strMODComm.stop_bits, r.stop) << r.value;
        EXPECT_EQ(strMODComm.parity, r.parity) << r.value;
        EXPECT_EQ(strMODComm.fc, r.fc) << r.value;
    }
}

TEST_F(Readers, TwoValuedFieldsCompareOneExactText)
{
    struct row {
        const char *wmode, *tmode, *uartf, *netp;
        int want_wmode, want_tmode, want_af, want_prot, want_mode;
    };
    const row rows[] = {
        {"STA", "Agreement", "disable", "TCP,Server", 1, 1, 0, 0, 0},
        {"AP", "Through", "enable", "UDP,Client", 0, 0, 1, 1, 1},
        {"sta", "agreement", "Disable", "tcp,server", 0, 0, 1, 1, 1},
        {"", "", "", "", 0, 0, 1, 1, 1},
    };
    for (const row &r : rows) {
        fake.reply("AT+WMODE", r.wmode);
        fake.reply("AT+TMODE", r.tmode);
        fake.reply("AT+UARTF", r.uartf);
        fake.reply("AT+NETP", r.netp);
        init_module_mana_struct();
        init_module_comm_struct();
        EXPECT_EQ(strMODMana.wmode, r.want_wmode) << r.wmode;
        EXPECT_EQ(strMODMana.tmode, r.want_tmode) << r.tmode;
        EXPECT_EQ(strMODComm.bAF, r.want_af) << r.uartf;
        EXPECT_EQ(strMODComm.protocol, r.want_prot) << r.netp;
        EXPECT_EQ(strMODComm.mode, r.want_mode) << r.netp;
    }
}

TEST_F(Readers, NetpServerIsAnAddressOrAHostName)
{
    const std::string long_host(60, 'h');
    struct row {
        std::string value;
        int prot, mode, port, bip;
        ip4 ipadd;
        std::string host;
    };
    const row rows[] = {
        {"TCP,Server,8899,10.10.100.100", 0, 0, 8899, 1, {10, 10, 100, 100}, "old-host"},
        {"UDP,Client,1234,iot.example.com", 1, 1, 1234, 0, {1, 2, 3, 4}, "iot.example.com"},
        // Longer than the old 19-character item buffer: kept whole.
        {"TCP,Client,80," + long_host, 0, 1, 80, 0, {1, 2, 3, 4}, long_host},
        {"TCP,Client,70000,10.0.0.1", 0, 1, 4464, 1, {10, 0, 0, 1}, "old-host"},
        {"TCP,Client,-1,10.0.0.1", 0, 1, 65535, 1, {10, 0, 0, 1}, "old-host"},
        {"TCP,Server,8899,10.0.0.1 ", 0, 0, 8899, 0, {1, 2, 3, 4}, "10.0.0.1 "},
        {"TCP,Server", 0, 0, 0, 0, {1, 2, 3, 4}, ""},
    };
    for (const row &r : rows) {
        set_ip(strMODComm.ipadd, 1, 2, 3, 4);
        strMODComm.bip = 7;
        text_set(strMODComm.hostname, "old-host");
        fake.reply("AT+NETP", r.value);
        init_module_comm_struct();
        EXPECT_EQ(strMODComm.protocol, r.prot) << r.value;
        EXPECT_EQ(strMODComm.mode, r.mode) << r.value;
        EXPECT_EQ(strMODComm.port, r.port) << r.value;
        EXPECT_EQ(strMODComm.bip, r.bip) << r.value;
        EXPECT_EQ(ip(strMODComm.ipadd), r.ipadd) << r.value;
        EXPECT_EQ(strMODComm.hostname, r.host) << r.value;
        // The edited copy takes the host name only when it is in use.
        if (r.bip == 0) {
            EXPECT_EQ(strMODComm_up.hostname, r.host) << r.value;
        }
    }
}

TEST(ValueToInt, LeadingDigitsWithSaturation)
{
    struct row {
        const char *text;
        int want;
    };
    const row rows[] = {
        {"500", 500},          {"  42", 42},           {"-17", -17},
        {"+8", 8},             {"12ms", 12},           {"ms12", 0},
        {"", 0},               {"- 5", 0},             {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN}, {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},
    };
    for (const row &r : rows)
        EXPECT_EQ(value_to_int(r.text), r.want) << '"' << r.text << '"';
}

TEST_F(Readers, WannDhcpZeroesTheAddressesStaticTakesThem)
{
    struct row {
        const char *value;
        int dhcp;
        ip4 ipadd, ipmask, gw;
    };
    const ip4 zero{0, 0, 0, 0}, old{9, 9, 9, 9};
    const row rows[] = {
        {"DHCP", 0, zero, zero, zero},
        {"DHCP,1.2.3.4,255.0.0.0,1.2.3.254", 0, {1, 2, 3, 4}, {255, 0, 0, 0}, {1, 2, 3, 254}},
        {"Static,192.168.1.50,255.255.255.0,192.168.1.1",
         1,
         {192, 168, 1, 50},
         {255, 255, 255, 0},
         {192, 168, 1, 1}},
        {"Static,bad,255.255.255.0,192.168.1.1", 1, zero, zero, zero},
        // Only the first address decides; later rejects keep old values.
        {"Static,192.168.1.50,bad,192.168.1.1", 1, {192, 168, 1, 50}, old, {192, 168, 1, 1}},
        {"dhcp", 1, zero, zero, zero},
    };
    for (const row &r : rows) {
        set_ip(strMODSTA.ipadd, 9, 9, 9, 9);
        set_ip(strMODSTA.ipmask, 9, 9, 9, 9);
        set_ip(strMODSTA.dhcpgw, 9, 9, 9, 9);
        fake.reply("AT+WANN", r.value);
        init_module_sta_struct();
        EXPECT_EQ(strMODSTA.bDHCP, r.dhcp) << r.value;
        EXPECT_EQ(ip(strMODSTA.ipadd), r.ipadd) << r.value;
        EXPECT_EQ(ip(strMODSTA.ipmask), r.ipmask) << r.value;
        EXPECT_EQ(ip(strMODSTA.dhcpgw), r.gw) << r.value;
    }
}

// The AP and STA key queries share one format and one rule.
TEST_F(Readers, KeyQueriesOnBothPages)
{
    struct row {
        const char *value;
        int auth, encry; // encry -1: left as it was
        const char *key;
    };
    const row rows[] = {
        {"WPA2PSK,AES,12345678", 3, 4, "12345678"},
        {"WPA,WEP,abc", 0, -1, "abc"},
        {"SHARED,WEP-A,k,ey", 1, 2, "k"}, // a comma in the key cuts it
        {"OPEN,NONE", 0, 0, ""},
        {"WPAPSK,TKIPAES,,x", 2, 5, ""},
    };
    for (const row &r : rows) {
        strMODAP.enc_encry = strMODSTA.enc_encry = ENC_TKIP;
        fake.reply("AT+WAKEY", r.value);
        fake.reply("AT+WSKEY", r.value);
        init_module_ap_struct();
        init_module_sta_struct();
        const int encry = r.encry < 0 ? ENC_TKIP : r.encry;
        EXPECT_EQ(strMODAP.enc_auth, r.auth) << r.value;
        EXPECT_EQ(strMODAP.enc_encry, encry) << r.value;
        EXPECT_STREQ(strMODAP.password, r.key) << r.value;
        EXPECT_EQ(strMODSTA.enc_auth, r.auth) << r.value;
        EXPECT_EQ(strMODSTA.enc_encry, encry) << r.value;
        EXPECT_STREQ(strMODSTA.password, r.key) << r.value;
    }
}

TEST_F(Readers, ApValuesAndTheCommaInAnSsid)
{
    fake.reply("AT+WAP", "11BG,my,net,CH6");
    fake.reply("AT+WSSSID", "my,net");
    fake.reply("AT+LANN", "10.0.0.1");
    fake.reply("AT+DHCPGW", "10.0.0.254 ");
    set_ip(strMODAP.ipmask, 9, 9, 9, 9);
    set_ip(strMODAP.dhcpgw, 9, 9, 9, 9);
    init_module_ap_struct();
    init_module_sta_struct();
    EXPECT_EQ(strMODAP.mode, APSTD_11BG);
    EXPECT_STREQ(strMODAP.SSID, "my");
    EXPECT_EQ(strMODAP.channel, APCH_AUTO); // "net" took the channel's place
    EXPECT_STREQ(strMODSTA.SSID, "my,net");
    EXPECT_EQ(ip(strMODAP.ipadd), (ip4{10, 0, 0, 1}));
    EXPECT_EQ(ip(strMODAP.ipmask), (ip4{9, 9, 9, 9})); // missing item rejected
    EXPECT_EQ(ip(strMODAP.dhcpgw), (ip4{9, 9, 9, 9}));

    fake.reply("AT+WAP", "11AC,Shop,CH14");
    init_module_ap_struct();
    EXPECT_EQ(strMODAP.mode, APSTD_11BGN);
    EXPECT_EQ(strMODAP.channel, APCH_CH14);
}

TEST_F(Readers, FailedQueriesLeaveTheirDestination)
{
    // Management: the reply buffer still holds "STA" when TMODE and WEBU
    // fail, and those steps convert it again.
    strMODMana.tmode = WORKMODE_AG;
    fake.reply("AT+WMODE", "STA");
    init_module_mana_struct();
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_STA);
    EXPECT_EQ(strMODMana.tmode, WORKMODE_TH);
    EXPECT_STREQ(strMODMana.user, "STA");
    EXPECT_STREQ(strMODMana.pswd, "");
    EXPECT_STREQ(strMODMana.mid, "old-mid");
    EXPECT_STREQ(strMODMana.mver, "old-ver");
    EXPECT_EQ(strMODMana.inited, 1);
    EXPECT_EQ(strMODMana.dirty, 0);

    // The reply buffer starts empty at each call: nothing of the last
    // read's "STA" is left for a WMODE that fails now.
    fake.fail("AT+WMODE");
    init_module_mana_struct();
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_AP);

    // Communication: whole-value numbers keep their old values.
    strMODComm.AFT = 250;
    strMODComm.bAF = COMAF_DIS;
    fake.reply("AT+UART", "9600,7,2,Even,FC");
    init_module_comm_struct();
    EXPECT_EQ(strMODComm.AFT, 250);
    EXPECT_EQ(strMODComm.bAF, COMAF_DIS);
    // A failed NETP converts the UART value left in the buffer.
    EXPECT_EQ(strMODComm.protocol, NETPROT_UDP);
    EXPECT_EQ(strMODComm.port, 2);
    EXPECT_EQ(strMODComm.bip, 0);
    EXPECT_STREQ(strMODComm.hostname, "Even");
    EXPECT_EQ(strMODComm.inited, 1);

    // STA: the SSID stays; the buffer is empty, so WANN reads as static
    // without an address.
    init_module_sta_struct();
    EXPECT_STREQ(strMODSTA.SSID, "old-sta");
    EXPECT_EQ(strMODSTA.bDHCP, DHCP_DISABLE);
    EXPECT_EQ(ip(strMODSTA.ipadd), (ip4{0, 0, 0, 0}));
    EXPECT_STREQ(strMODSTA_up.SSID, "old-sta");
}

TEST_F(Readers, LongestValuesStayWithinEveryBuffer)
{
    const std::string v92(AT_VALUE_MAX, '1');
    for (const char *q : {"AT+MID", "AT+WMODE", "AT+TMODE", "AT+VER", "AT+UART", "AT+UARTF",
                          "AT+UARTFT", "AT+UARTFL", "AT+MAXSK", "AT+TCPTO", "AT+LANN",
                          "AT+DHCPGW", "AT+WANN"})
        fake.reply(q, v92);
    fake.reply("AT+WEBU", std::string(50, 'u') + "," + std::string(41, 'p'));
    const std::string host(AT_VALUE_MAX - 16, 'h');
    fake.reply("AT+NETP", "TCP,Server,8899," + host);
    fake.reply("AT+WAP", "11BGN," + std::string(80, 'S') + ",CH6");
    fake.reply("AT+WAKEY", "WPA2PSK,AES," + std::string(80, 'k'));
    std::string utf8 = "a";
    while (utf8.size() + 2 <= static_cast<size_t>(AT_VALUE_MAX))
        utf8 += "\xc3\xa9"; // "é", two bytes
    fake.reply("AT+WSSSID", utf8);
    const std::string key64(64, 'K');
    fake.reply("AT+WSKEY", "WPA2PSK,AES," + key64);

    init_module_mana_struct();
    init_module_comm_struct();
    init_module_ap_struct();
    init_module_sta_struct();

    EXPECT_EQ(strMODMana.mid, std::string(15, '1'));
    EXPECT_EQ(strMODMana.mver, std::string(9, '1'));
    EXPECT_EQ(strMODMana.user, std::string(19, 'u'));
    EXPECT_EQ(strMODMana.pswd, std::string(19, 'p'));
    EXPECT_EQ(strMODComm.AFT, INT_MAX);
    EXPECT_EQ(strMODComm.hostname, host); // 76 characters, whole
    EXPECT_EQ(strMODComm_up.hostname, host);
    EXPECT_EQ(strMODAP.SSID, std::string(34, 'S'));
    EXPECT_EQ(strMODAP.channel, APCH_CH6);
    EXPECT_EQ(strMODAP.password, std::string(64, 'k'));
    EXPECT_EQ(strMODSTA.SSID, utf8.substr(0, 33)); // no half character
    EXPECT_EQ(strMODSTA.password, key64);          // a 64-character key, whole
    EXPECT_EQ(strMODSTA.bDHCP, DHCP_DISABLE);
}

TEST(StringToIp, AcceptsAndRejects)
{
    struct row {
        const char *text;
        int ok;
        ip4 want; // when accepted
    };
    const row rows[] = {
        {"192.168.1.1", 1, {192, 168, 1, 1}},
        {"0.0.0.0", 1, {0, 0, 0, 0}},
        {"255.255.255.255", 1, {255, 255, 255, 255}},
        {"1.2.3.4.5", 1, {1, 2, 3, 4}},
        {"1.2.3.4.", 1, {1, 2, 3, 4}},
        {"01.002.3.0255", 1, {1, 2, 3, 255}},
        {"1.2.3.0004", 1, {1, 2, 3, 4}},
        {"1.2.3.0004xyz", 1, {1, 2, 3, 4}},
        {"1.2.3.0004 ", 1, {1, 2, 3, 4}},
        {"192.168.1", 0, {}},
        {"256.1.1.1", 0, {}},
        {"1.256.1.1", 0, {}},
        {"1.2.3.256", 0, {}},
        {"1.2.3.2555", 0, {}},
        {"1..2.3", 0, {}},
        {".1.2.3", 0, {}},
        {"1.2.3.", 0, {}},
        {"1234.1.1.1", 0, {}},
        {"1.2.0003.4", 0, {}},
        {"192.168.1.1 ", 0, {}},
        {" 192.168.1.1", 0, {}},
        {"1.2.3.4x", 0, {}},
        {"1.2.3.-4", 0, {}},
        {"a.b.c.d", 0, {}},
        {"", 0, {}},
    };
    for (const row &r : rows) {
        unsigned char add[4] = {7, 7, 7, 7};
        EXPECT_EQ(string_to_ip(r.text, add), r.ok) << '"' << r.text << '"';
        const ip4 want = r.ok ? r.want : ip4{7, 7, 7, 7};
        EXPECT_EQ(ip(add), want) << '"' << r.text << '"';
    }
}

TEST(GetListItem, EmptyItemsAndCallsPastTheEnd)
{
    const char *v = "a,,b";
    int p = 0;
    char item[8];
    const std::vector<std::pair<std::string, int>> steps = {
        {"a", 2}, {"", 3}, {"b", 5}, {"", 6}, {"", 7}};
    for (const auto &s : steps) {
        std::memset(item, 'x', sizeof item);
        get_list_item(v, 4, &p, item);
        EXPECT_EQ(item, s.first);
        EXPECT_EQ(p, s.second);
    }

    p = 0;
    get_list_item("single", 6, &p, item);
    EXPECT_STREQ(item, "single");
    get_list_item("single", 6, &p, item);
    EXPECT_STREQ(item, "");
}

TEST(GetListItem, BoundsOfItemAndValue)
{
    // A cut item leaves the next one where it was.
    int p = 0;
    char small[4];
    get_list_item("abcdef,g", 8, &p, small);
    EXPECT_STREQ(small, "abc");
    get_list_item("abcdef,g", 8, &p, small);
    EXPECT_STREQ(small, "g");

    p = 0;
    get_list_item("\xc3\xa9\xc3\xa9,x", 6, &p, small);
    EXPECT_STREQ(small, "\xc3\xa9"); // no half character

    // Nothing past len, nor past a zero byte within len, is read.
    char item[16];
    p = 0;
    get_list_item("abc,def", 3, &p, item);
    EXPECT_STREQ(item, "abc");
    get_list_item("abc,def", 3, &p, item);
    EXPECT_STREQ(item, "");
    const char buf[6] = {'a', 'b', '\0', ',', 'z', 'z'};
    p = 0;
    get_list_item(buf, 6, &p, item);
    EXPECT_STREQ(item, "ab");
    get_list_item(buf, 6, &p, item);
    EXPECT_STREQ(item, "");
}

} // namespace
