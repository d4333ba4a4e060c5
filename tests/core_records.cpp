// Code tables, the bounded text rule and the copies between the records.
#include "module.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct set_case {
    const char *name;
    const code_set *set;
    std::vector<const char *> texts;
};

TEST(CodeTables, EveryCodeMapsToItsTextAndBack)
{
    const std::vector<set_case> sets = {
        {"baud", &codes_baudrate,
         {"50", "75", "110", "134", "150", "200", "300", "600", "1200", "1800", "2400",
          "4800", "9600", "19200", "38400", "57600", "115200", "230400", "345600",
          "460800"}},
        {"bits", &codes_combits, {"5", "6", "7", "8"}},
        {"parity", &codes_comparity, {"None", "Odd", "Even", "Mark", "Space"}},
        {"stop", &codes_comstopbits, {"1", "2"}},
        {"fc", &codes_comfc, {"FC", "NFC"}},
        {"af", &codes_comaf, {"disable", "enable"}},
        {"netmode", &codes_netmode, {"Server", "Client"}},
        {"netprot", &codes_netprot, {"TCP", "UDP"}},
        {"wifimode", &codes_wifimode, {"AP", "STA"}},
        {"workmode", &codes_workmode, {"Through", "Agreement"}},
        {"apstd", &codes_apstd, {"11B", "11G", "11BG", "11N", "11BGN"}},
        {"apch", &codes_apch,
         {"Auto", "CH1", "CH2", "CH3", "CH4", "CH5", "CH6", "CH7", "CH8", "CH9", "CH10",
          "CH11", "CH12", "CH13", "CH14"}},
        {"auth", &codes_encauth, {"OPEN", "SHARED", "WPAPSK", "WPA2PSK"}},
        {"encry", &codes_encenc, {"NONE", "WEP-H", "WEP-A", "TKIP", "AES", "TKIPAES"}},
        {"dhcp", &codes_dhcp, {"DHCP", "Static"}},
    };
    for (const auto &s : sets) {
        ASSERT_EQ(s.set->count, static_cast<int>(s.texts.size())) << s.name;
        for (int code = 0; code < s.set->count; code++) {
            EXPECT_STREQ(code_text(*s.set, code), s.texts[code]) << s.name << " " << code;
            EXPECT_EQ(code_from_text(*s.set, s.texts[code], -9), code) << s.name;
        }
        EXPECT_STREQ(code_text(*s.set, -1), "?") << s.name;
        EXPECT_STREQ(code_text(*s.set, s.set->count), "?") << s.name;
    }
    // Exact, case-sensitive comparison with the fall-back otherwise.
    EXPECT_EQ(code_from_text(codes_comparity, "none", 0), 0);
    EXPECT_EQ(code_from_text(codes_comparity, "Even ", 3), 3);
    EXPECT_EQ(code_find(codes_encauth, "wpa2psk"), -1);
    EXPECT_EQ(code_find(codes_baudrate, ""), -1);
}

TEST(TextCopy, CutsAtCapacityAndReportsIt)
{
    char f[6];
    EXPECT_TRUE(text_set(f, "abcde"));
    EXPECT_STREQ(f, "abcde");
    EXPECT_FALSE(text_set(f, "abcdef"));
    EXPECT_STREQ(f, "abcde");
    // "é" is two bytes: five bytes would split it.
    EXPECT_FALSE(text_set(f, "abcdé"));
    EXPECT_STREQ(f, "abcd");
    EXPECT_TRUE(text_set(f, ""));
    EXPECT_STREQ(f, "");
    EXPECT_TRUE(text_fits(6, "abcde"));
    EXPECT_FALSE(text_fits(6, "abcdef"));
}

TEST(CopyOperations, CommHostnameFollowsTargetBip)
{
    strMODComm = {};
    strMODComm_up = {};
    text_set(strMODComm.hostname, "old.example");
    strMODComm_up.bip = 1;
    strMODComm_up.port = 8899;
    unsigned char ip[4] = {10, 0, 0, 9};
    memcpy(strMODComm_up.ipadd, ip, 4);
    text_set(strMODComm_up.hostname, "new.example");
    copy_module_comm_struct();
    EXPECT_STREQ(strMODComm.hostname, "old.example"); // bip 1: name kept
    EXPECT_EQ(strMODComm.port, 8899);
    EXPECT_EQ(memcmp(strMODComm.ipadd, ip, 4), 0);

    strMODComm_up.bip = 0;
    copy_module_comm_struct();
    EXPECT_STREQ(strMODComm.hostname, "new.example");

    // The other direction follows the same rule.
    text_set(strMODComm.hostname, "back.example");
    strMODComm.bip = 1;
    copy_module_comm_struct_up();
    EXPECT_STREQ(strMODComm_up.hostname, "new.example");
    EXPECT_EQ(strMODComm_up.bip, 1);
}

TEST(CopyOperations, FlagsAndDefaultKeyNeverCopied)
{
    strMODMana = {};
    strMODMana_up = {};
    strMODMana.inited = 1;
    strMODMana.dirty = 1;
    strMODMana_up.wmode = WIFIMODE_STA;
    text_set(strMODMana_up.user, "admin");
    text_set(strMODMana_up.mver, "V1.0.4");
    copy_module_mana_struct();
    EXPECT_EQ(strMODMana.inited, 1);
    EXPECT_EQ(strMODMana.dirty, 1);
    EXPECT_EQ(strMODMana.wmode, WIFIMODE_STA);
    EXPECT_STREQ(strMODMana.user, "admin");
    EXPECT_STREQ(strMODMana.mver, "V1.0.4");

    strMODAP = {};
    strMODAP_up = {};
    strMODAP.pwd_defaultkey = 3;
    strMODAP.inited = 1;
    strMODAP_up.enc_encry = ENC_AES;
    strMODAP_up.bDHCP = DHCP_DISABLE;
    text_set(strMODAP_up.password, std::string(64, 'k').c_str());
    unsigned char gw[4] = {192, 168, 1, 254};
    memcpy(strMODAP_up.dhcpgw, gw, 4);
    copy_module_ap_struct();
    EXPECT_EQ(strMODAP.pwd_defaultkey, 3);
    EXPECT_EQ(strMODAP.inited, 1);
    EXPECT_EQ(strMODAP.enc_encry, ENC_AES);
    EXPECT_EQ(strMODAP.bDHCP, DHCP_DISABLE);
    EXPECT_EQ(std::string(strMODAP.password), std::string(64, 'k'));
    EXPECT_EQ(memcmp(strMODAP.dhcpgw, gw, 4), 0);

    strMODSTA = {};
    strMODSTA_up = {};
    strMODSTA_up.dirty = 1;
    text_set(strMODSTA.SSID, "home");
    strMODSTA.bDHCP = DHCP_DISABLE;
    copy_module_sta_struct_up();
    EXPECT_STREQ(strMODSTA_up.SSID, "home");
    EXPECT_EQ(strMODSTA_up.bDHCP, DHCP_DISABLE);
    EXPECT_EQ(strMODSTA_up.dirty, 1);
}

} // namespace
