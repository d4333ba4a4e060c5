// Pending commands: entries built from the edited records, update items,
// argument counts that follow the record, and the console listing.
#include "command.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string head = "------------Commands----------------\n";
const std::string tail = "------------------------------------\n";

void set_ip(unsigned char *a, int b0, int b1, int b2, int b3)
{
    a[0] = b0;
    a[1] = b1;
    a[2] = b2;
    a[3] = b3;
}

// generate_cmd's whole console output.
std::string gen(const char *cmd, const char *item)
{
    testing::internal::CaptureStdout();
    generate_cmd(cmd, item);
    return testing::internal::GetCapturedStdout();
}

std::string listing(const std::vector<std::string> &lines)
{
    std::string s = head;
    for (const auto &l : lines)
        s += l + "\n";
    return s + tail;
}

// The listed line of command `name`, or "" when it is not listed.
std::string line_of(const std::string &out, const std::string &name)
{
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l))
        if (l.rfind("AT+" + name + "=", 0) == 0)
            return l;
    return "";
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
        // Left-over entries from earlier tests must not matter.
        std::memset(strcommand_comm, 'x', sizeof strcommand_comm);

        strMODMana_up = {};
        text_set(strMODMana_up.user, "admin");
        text_set(strMODMana_up.pswd, "admin");

        _MOD_COMM_STRUCT &c = strMODComm_up;
        c = {};
        c.baud = BAUDRATE_115200;
        c.data_bits = COMBITS_8;
        c.stop_bits = COMSTOPBITS_1;
        c.parity = COMPARITY_NONE;
        c.fc = COMFC_DIS;
        c.bAF = COMAF_DIS;
        c.AFT = 100;
        c.AFL = 1024;
        c.port = 8899;
        set_ip(c.ipadd, 10, 10, 100, 100);
        c.bip = 1;
        text_set(c.hostname, "old.host");
        c.maxsk = 5;
        c.TCPto = 300;

        _MOD_AP_STRUCT &a = strMODAP_up;
        a = {};
        a.mode = APSTD_11BGN;
        text_set(a.SSID, "AP-1");
        text_set(a.password, "apkey");
        set_ip(a.ipadd, 10, 10, 100, 254);
        set_ip(a.ipmask, 255, 255, 255, 0);
        set_ip(a.dhcpgw, 10, 10, 100, 1);

        _MOD_STA_STRUCT &s = strMODSTA_up;
        s = {};
        text_set(s.SSID, "Home");
        s.enc_auth = WIFIAUTH_WPA2PSK;
        s.enc_encry = ENC_AES;
        text_set(s.password, "stakey");
        s.bDHCP = DHCP_DISABLE;
        set_ip(s.ipadd, 192, 168, 1, 50);
        set_ip(s.ipmask, 255, 255, 255, 0);
        set_ip(s.dhcpgw, 192, 168, 1, 1);
    }
};

TEST_F(Commands, UartCreatedOnceThenOnlyTheNamedArgumentChanges)
{
    EXPECT_EQ(gen("UART", "baud"), listing({"AT+UART=115200,8,1,None,NFC"}));
    // The baud rate changes in the record too, but only parity is named.
    strMODComm_up.parity = COMPARITY_EVEN;
    strMODComm_up.baud = BAUDRATE_9600;
    EXPECT_EQ(gen("UART", "parity"), listing({"AT+UART=115200,8,1,Even,NFC"}));
    EXPECT_EQ(cmd_num_comm, 1);
    EXPECT_EQ(find_cmd("UART", CMDTYPE_COMM), 0);
}

TEST_F(Commands, NewEntriesOfAllCommandsListedByTableInCreationOrder)
{
    // Scrambled across pages; each table keeps its own creation order.
    const char *names[] = {"WANN", "WAP",   "UARTFL", "WEBU",  "NETP", "WSSSID",
                           "TMODE", "LANN", "UART",   "WMODE", "WAKEY", "TCPTO",
                           "DHCPGW", "UARTF", "WSKEY", "MAXSK", "UARTFT"};
    std::string out;
    for (const char *n : names)
        out = gen(n, "");
    const std::string expected = listing({
        "AT+WEBU=admin,admin",
        "AT+TMODE=Through",
        "AT+WMODE=AP",
        "AT+UARTFL=1024",
        "AT+NETP=TCP,Server,8899,10.10.100.100",
        "AT+UART=115200,8,1,None,NFC",
        "AT+TCPTO=300",
        "AT+UARTF=disable",
        "AT+MAXSK=5",
        "AT+UARTFT=100",
        "AT+WAP=11BGN,AP-1,Auto",
        "AT+LANN=10.10.100.254,255.255.255.0",
        "AT+WAKEY=OPEN,NONE",
        "AT+DHCPGW=10.10.100.1",
        "AT+WANN=Static,192.168.1.50,255.255.255.0,192.168.1.1",
        "AT+WSSSID=Home",
        "AT+WSKEY=WPA2PSK,AES,stakey",
    });
    EXPECT_EQ(out, expected);

    // Every name again: still one entry each.
    for (const char *n : names)
        out = gen(n, "");
    EXPECT_EQ(out, expected);
    EXPECT_EQ(cmd_num_mod, 3);
    EXPECT_EQ(cmd_num_comm, 7);
    EXPECT_EQ(cmd_num_ap, 4);
    EXPECT_EQ(cmd_num_sta, 3);
}

TEST_F(Commands, UpdateItemsRewriteTheirArgumentFromTheEditedRecord)
{
    for (const char *n : {"UART", "NETP", "WEBU", "WAP", "LANN", "WANN", "UARTF", "UARTFT",
                          "UARTFL", "TCPTO", "MAXSK", "WMODE", "TMODE", "DHCPGW", "WSSSID",
                          "WAKEY", "WSKEY"})
        gen(n, "");

    // Every edited field changes at once; each call may take only the
    // argument its item names (rows run in order, effects add up).
    strMODMana_up.wmode = WIFIMODE_STA;
    strMODMana_up.tmode = WORKMODE_AG;
    text_set(strMODMana_up.user, "root");
    text_set(strMODMana_up.pswd, "pw2");
    _MOD_COMM_STRUCT &c = strMODComm_up;
    c.baud = BAUDRATE_9600;
    c.data_bits = COMBITS_7;
    c.stop_bits = COMSTOPBITS_2;
    c.parity = COMPARITY_EVEN;
    c.fc = COMFC_EN;
    c.bAF = COMAF_EN;
    c.AFT = 200;
    c.AFL = 16;
    c.protocol = NETPROT_UDP;
    c.mode = NETMODE_CLIENT;
    c.port = 1234;
    set_ip(c.ipadd, 1, 2, 3, 4);
    c.maxsk = 32;
    c.TCPto = 0;
    _MOD_AP_STRUCT &a = strMODAP_up;
    a.mode = APSTD_11G;
    text_set(a.SSID, "AP-2");
    a.channel = APCH_CH11;
    a.enc_auth = WIFIAUTH_WPAPSK;
    a.enc_encry = ENC_TKIP;
    text_set(a.password, "k2");
    set_ip(a.ipadd, 192, 168, 0, 1);
    set_ip(a.ipmask, 255, 255, 0, 0);
    set_ip(a.dhcpgw, 192, 168, 0, 254);
    _MOD_STA_STRUCT &s = strMODSTA_up;
    text_set(s.SSID, "Work");
    s.enc_auth = WIFIAUTH_SHARED;
    s.enc_encry = ENC_WEPH;
    text_set(s.password, "wep");
    set_ip(s.ipadd, 10, 0, 0, 2);
    set_ip(s.ipmask, 255, 0, 0, 0);
    set_ip(s.dhcpgw, 10, 0, 0, 1);

    struct row {
        const char *cmd, *item, *line;
    };
    const row rows[] = {
        {"UART", "baud", "AT+UART=9600,8,1,None,NFC"},
        {"UART", "data", "AT+UART=9600,7,1,None,NFC"},
        {"UART", "stop", "AT+UART=9600,7,2,None,NFC"},
        {"UART", "parity", "AT+UART=9600,7,2,Even,NFC"},
        {"UART", "fc", "AT+UART=9600,7,2,Even,FC"},
        {"NETP", "bogus", "AT+NETP=TCP,Server,8899,10.10.100.100"},
        {"NETP", "prot", "AT+NETP=UDP,Server,8899,10.10.100.100"},
        {"NETP", "mode", "AT+NETP=UDP,Client,8899,10.10.100.100"},
        {"NETP", "port", "AT+NETP=UDP,Client,1234,10.10.100.100"},
        {"NETP", "ipadd", "AT+NETP=UDP,Client,1234,1.2.3.4"},
        {"WEBU", "user", "AT+WEBU=root,admin"},
        {"WEBU", "pswd", "AT+WEBU=root,pw2"},
        {"WAP", "bogus", "AT+WAP=11BGN,AP-1,Auto"},
        {"WAP", "mode", "AT+WAP=11G,AP-1,Auto"},
        {"WAP", "ssid", "AT+WAP=11G,AP-2,Auto"},
        {"WAP", "channel", "AT+WAP=11G,AP-2,CH11"},
        {"LANN", "ipadd", "AT+LANN=192.168.0.1,255.255.255.0"},
        {"LANN", "ipmask", "AT+LANN=192.168.0.1,255.255.0.0"},
        {"WANN", "bogus", "AT+WANN=Static,192.168.1.50,255.255.255.0,192.168.1.1"},
        {"WANN", "ipadd", "AT+WANN=Static,10.0.0.2,255.255.255.0,192.168.1.1"},
        {"WANN", "ipmask", "AT+WANN=Static,10.0.0.2,255.0.0.0,192.168.1.1"},
        {"WANN", "gateway", "AT+WANN=Static,10.0.0.2,255.0.0.0,10.0.0.1"},
        {"UARTF", "", "AT+UARTF=enable"},
        {"UARTFT", "aft", "AT+UARTFT=200"},
        {"UARTFL", "afl", "AT+UARTFL=16"},
        {"TCPTO", "tcpto", "AT+TCPTO=0"},
        {"MAXSK", "maxsk", "AT+MAXSK=32"},
        {"WMODE", "sta", "AT+WMODE=STA"},
        {"TMODE", "ag", "AT+TMODE=Agreement"},
        {"DHCPGW", "dhcpgw", "AT+DHCPGW=192.168.0.254"},
        {"WSSSID", "ssid", "AT+WSSSID=Work"},
        // The key follows enc_encry whatever the item; argument 2 waits
        // for its own item.
        {"WAKEY", "auth", "AT+WAKEY=WPAPSK,NONE,k2"},
        {"WAKEY", "encry", "AT+WAKEY=WPAPSK,TKIP,k2"},
        {"WSKEY", "auth", "AT+WSKEY=SHARED,AES,wep"},
        {"WSKEY", "encry", "AT+WSKEY=SHARED,WEP-H,wep"},
    };
    for (const row &r : rows)
        EXPECT_EQ(line_of(gen(r.cmd, r.item), r.cmd), r.line) << r.cmd << " " << r.item;
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 17);
}

TEST_F(Commands, KeyArgumentFollowsEncryption)
{
    struct step {
        int auth, encry;
        const char *key, *item, *line;
    };
    const step steps[] = {
        {0, 0, "abcdefgh", "", "AT+%s=OPEN,NONE"},
        {3, 0, "abcdefgh", "auth", "AT+%s=WPA2PSK,NONE"},
        {3, 4, "abcdefgh", "encry", "AT+%s=WPA2PSK,AES,abcdefgh"},
        {3, 4, "newkey12", "key", "AT+%s=WPA2PSK,AES,newkey12"},
        {3, 4, "other123", "bogus", "AT+%s=WPA2PSK,AES,other123"},
        {3, 0, "other123", "encry", "AT+%s=WPA2PSK,NONE"},
    };
    for (const char *name : {"WAKEY", "WSKEY"}) {
        const bool ap = std::strcmp(name, "WAKEY") == 0;
        for (const step &st : steps) {
            signed char &auth = ap ? strMODAP_up.enc_auth : strMODSTA_up.enc_auth;
            signed char &encry = ap ? strMODAP_up.enc_encry : strMODSTA_up.enc_encry;
            auth = st.auth;
            encry = st.encry;
            text_set(ap ? strMODAP_up.password : strMODSTA_up.password, st.key);
            char want[64];
            std::snprintf(want, sizeof want, st.line, name);
            EXPECT_EQ(line_of(gen(name, st.item), name), want) << name << " " << st.item;
        }
        const int type = ap ? CMDTYPE_AP : CMDTYPE_STA;
        EXPECT_EQ(*cmd_count(type), 1);
        EXPECT_EQ(cmd_table(type)[0].value_num, 2);
    }
}

TEST_F(Commands, WannArgumentCountFollowsDhcp)
{
    EXPECT_EQ(gen("WANN", "dhcp"),
              listing({"AT+WANN=Static,192.168.1.50,255.255.255.0,192.168.1.1"}));
    strMODSTA_up.bDHCP = DHCP_ENABLE;
    EXPECT_EQ(gen("WANN", "dhcp"), listing({"AT+WANN=DHCP"}));
    EXPECT_EQ(strcommand_sta[0].value_num, 1);
    // The addresses as they are at the switch back, not at creation.
    set_ip(strMODSTA_up.ipadd, 172, 16, 0, 9);
    strMODSTA_up.bDHCP = DHCP_DISABLE;
    EXPECT_EQ(gen("WANN", "dhcp"),
              listing({"AT+WANN=Static,172.16.0.9,255.255.255.0,192.168.1.1"}));

    // Created while DHCP is on: one argument.
    cmd_num_sta = 0;
    strMODSTA_up.bDHCP = DHCP_ENABLE;
    EXPECT_EQ(gen("WANN", "ipadd"), listing({"AT+WANN=DHCP"}));
}

TEST_F(Commands, NetpServerFollowsBipAndLongHostNamesStayWhole)
{
    strMODComm_up.bip = 0;
    EXPECT_EQ(line_of(gen("NETP", "ipadd"), "NETP"), "AT+NETP=TCP,Server,8899,old.host");
    strMODComm_up.bip = 1;
    EXPECT_EQ(line_of(gen("NETP", "ipadd"), "NETP"), "AT+NETP=TCP,Server,8899,10.10.100.100");

    const std::string host(99, 'h');
    text_set(strMODComm_up.hostname, host.c_str());
    strMODComm_up.bip = 0;
    strMODComm_up.protocol = NETPROT_UDP;
    strMODComm_up.mode = NETMODE_CLIENT;
    strMODComm_up.port = 65535;
    cmd_num_comm = 0;
    const std::string line = "AT+NETP=UDP,Client,65535," + host;
    ASSERT_EQ(line.size(), 124u);
    EXPECT_EQ(gen("NETP", ""), listing({line}));
}

TEST_F(Commands, TablesStayApart)
{
    gen("WAP", "ssid");
    gen("WMODE", "ap");
    EXPECT_EQ(find_cmd("WAP", CMDTYPE_AP), 0);
    EXPECT_EQ(find_cmd("WAP", CMDTYPE_COMM), -1);
    EXPECT_EQ(find_cmd("WAP", CMDTYPE_MOD), -1);
    EXPECT_EQ(find_cmd("WMODE", CMDTYPE_MOD), 0);
    EXPECT_EQ(find_cmd("WMODE", CMDTYPE_AP), -1);
    EXPECT_EQ(find_cmd("WMODE", 7), -1);
    EXPECT_EQ(cmd_num_comm + cmd_num_sta, 0);
    EXPECT_EQ(cmd_table(4), nullptr);
    EXPECT_EQ(cmd_count(-1), nullptr);

    // Exact names: "UARTF" is not "UART", nor the other way round.
    gen("UARTF", "");
    EXPECT_EQ(find_cmd("UART", CMDTYPE_COMM), -1);
    EXPECT_EQ(find_cmd("UARTF", CMDTYPE_COMM), 0);
}

TEST_F(Commands, UnknownNameAddsNothingButStillLists)
{
    gen("WMODE", "");
    gen("UART", "baud");
    const std::string before = listing({"AT+WMODE=AP", "AT+UART=115200,8,1,None,NFC"});
    for (const char *n : {"BOGUS", "uart", "UARTX", "AT+UART", ""})
        EXPECT_EQ(gen(n, "baud"), before) << '"' << n << '"';
    EXPECT_EQ(cmd_num_mod + cmd_num_comm + cmd_num_ap + cmd_num_sta, 2);

    cmd_num_mod = cmd_num_comm = 0;
    EXPECT_EQ(gen("BOGUS", ""), head + tail);
}

TEST(CommandEncoders, TextsThroughTheCodeTables)
{
    const unsigned char ip[4] = {0, 255, 7, 10};
    struct row {
        std::function<void(cmd_arg &)> encode;
        const char *want;
    };
    const row rows[] = {
        {[](cmd_arg &r) { cmd_com_baud_set(r, BAUDRATE_115200); }, "115200"},
        {[](cmd_arg &r) { cmd_com_baud_set(r, BAUDRATE_460800); }, "460800"},
        {[](cmd_arg &r) { cmd_com_data_set(r, COMBITS_5); }, "5"},
        {[](cmd_arg &r) { cmd_com_stop_set(r, COMSTOPBITS_2); }, "2"},
        {[](cmd_arg &r) { cmd_com_parity_set(r, COMPARITY_SPACE); }, "Space"},
        {[](cmd_arg &r) { cmd_com_fc_set(r, COMFC_EN); }, "FC"},
        {[](cmd_arg &r) { cmd_com_uartf_set(r, COMAF_EN); }, "enable"},
        {[](cmd_arg &r) { cmd_net_mode_set(r, NETMODE_CLIENT); }, "Client"},
        {[](cmd_arg &r) { cmd_net_prot_set(r, NETPROT_UDP); }, "UDP"},
        {[](cmd_arg &r) { cmd_net_port_set(r, 65535); }, "65535"},
        {[&ip](cmd_arg &r) { cmd_net_ip_set(r, ip); }, "0.255.7.10"},
        {[](cmd_arg &r) { cmd_ap_mode_set(r, APSTD_11BGN); }, "11BGN"},
        {[](cmd_arg &r) { cmd_ap_ch_set(r, APCH_CH14); }, "CH14"},
        {[](cmd_arg &r) { cmd_auth_set(r, WIFIAUTH_SHARED); }, "SHARED"},
        {[](cmd_arg &r) { cmd_encry_set(r, ENC_WEPH); }, "WEP-H"},
        {[](cmd_arg &r) { cmd_encry_set(r, ENC_TKIPAES); }, "TKIPAES"},
        // Texts unchanged, commas and all.
        {[](cmd_arg &r) { cmd_ap_ssid_set(r, "my,net \"x\""); }, "my,net \"x\""},
        {[](cmd_arg &r) { cmd_key_set(r, "k,e y"); }, "k,e y"},
        // Codes outside their set.
        {[](cmd_arg &r) { cmd_com_baud_set(r, 20); }, "?"},
        {[](cmd_arg &r) { cmd_ap_ch_set(r, 15); }, "?"},
        {[](cmd_arg &r) { cmd_encry_set(r, -1); }, "?"},
    };
    for (const row &r : rows) {
        cmd_arg out;
        std::memset(out, 'x', sizeof out);
        r.encode(out);
        EXPECT_STREQ(out, r.want);
    }
}

} // namespace
