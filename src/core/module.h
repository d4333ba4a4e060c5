// Module parameter records, their value codes, the copy operations, the AT
// exchange with the module and the readers that fill the records from it.
#ifndef MODCFG_MODULE_H
#define MODCFG_MODULE_H

#include <cstddef>
#include <cstring>
#include <functional>

// ---------------------------------------------------------------------------
// Value codes. Code fields are `signed char` everywhere: plain char is
// unsigned on some targets and the records must behave the same on all.

enum ENBAUDRATE {
    BAUDRATE_50, BAUDRATE_75, BAUDRATE_110, BAUDRATE_134, BAUDRATE_150,
    BAUDRATE_200, BAUDRATE_300, BAUDRATE_600, BAUDRATE_1200, BAUDRATE_1800,
    BAUDRATE_2400, BAUDRATE_4800, BAUDRATE_9600, BAUDRATE_19200,
    BAUDRATE_38400, BAUDRATE_57600, BAUDRATE_115200, BAUDRATE_230400,
    BAUDRATE_345600, BAUDRATE_460800
};
enum ENCOMBITS { COMBITS_5, COMBITS_6, COMBITS_7, COMBITS_8 };
enum ENCOMPARITY {
    COMPARITY_NONE, COMPARITY_ODD, COMPARITY_EVEN, COMPARITY_MARK,
    COMPARITY_SPACE
};
enum ENCOMSTOPBITS { COMSTOPBITS_1, COMSTOPBITS_2 };
enum ENCOMFLOWCTRL { COMFC_EN, COMFC_DIS };
enum ENCOMAF { COMAF_DIS, COMAF_EN };
enum ENNETMODE { NETMODE_SERVER, NETMODE_CLIENT };
enum ENNETPROT { NETPROT_TCP, NETPROT_UDP };
enum ENWIFIMODE { WIFIMODE_AP, WIFIMODE_STA };
enum ENWORKMODE { WORKMODE_TH, WORKMODE_AG };
enum ENAPSTD { APSTD_11B, APSTD_11G, APSTD_11BG, APSTD_11N, APSTD_11BGN };
enum ENAPCH {
    APCH_AUTO, APCH_CH1, APCH_CH2, APCH_CH3, APCH_CH4, APCH_CH5, APCH_CH6,
    APCH_CH7, APCH_CH8, APCH_CH9, APCH_CH10, APCH_CH11, APCH_CH12,
    APCH_CH13, APCH_CH14
};
enum ENENCAUTH {
    WIFIAUTH_OPEN, WIFIAUTH_SHARED, WIFIAUTH_WPAPSK, WIFIAUTH_WPA2PSK
};
enum ENENCENC_WPAPSK {
    ENC_NONE, ENC_WEPH, ENC_WEPA, ENC_TKIP, ENC_AES, ENC_TKIPAES
};
enum ENDHCP { DHCP_ENABLE, DHCP_DISABLE };
enum ENCMDTYPE { CMDTYPE_MOD, CMDTYPE_COMM, CMDTYPE_AP, CMDTYPE_STA };

// The one table of module texts of a code set: texts[code] is the text by
// which the module names that code in replies and set commands.
struct code_set {
    const char *const *texts;
    int count;
};

extern const code_set codes_baudrate;    // ENBAUDRATE
extern const code_set codes_combits;     // ENCOMBITS
extern const code_set codes_comparity;   // ENCOMPARITY
extern const code_set codes_comstopbits; // ENCOMSTOPBITS
extern const code_set codes_comfc;       // ENCOMFLOWCTRL
extern const code_set codes_comaf;       // ENCOMAF
extern const code_set codes_netmode;     // ENNETMODE
extern const code_set codes_netprot;     // ENNETPROT
extern const code_set codes_wifimode;    // ENWIFIMODE
extern const code_set codes_workmode;    // ENWORKMODE
extern const code_set codes_apstd;       // ENAPSTD
extern const code_set codes_apch;        // ENAPCH
extern const code_set codes_encauth;     // ENENCAUTH
extern const code_set codes_encenc;      // ENENCENC_WPAPSK
extern const code_set codes_dhcp;        // ENDHCP

// Text of `code`, or "?" for a code outside the set (the records never hold
// one; "?" is refused by the module rather than silently meaning a value).
const char *code_text(const code_set &set, int code);
// Code whose text equals `text` exactly (case-sensitive), else `fallback`.
int code_from_text(const code_set &set, const char *text, int fallback);
// Code whose text equals `text`, or -1 when none does.
int code_find(const code_set &set, const char *text);

// ---------------------------------------------------------------------------
// Bounded text copy, the one rule for every fixed-capacity text field:
// copies at most cap - 1 bytes, never splits a UTF-8 sequence, always
// terminates. Returns true when `src` fit whole, false when it was cut, so
// callers that must not store a changed value can refuse it instead.
bool text_copy(char *dst, size_t cap, const char *src);
template <size_t N> inline bool text_set(char (&dst)[N], const char *src)
{
    return text_copy(dst, N, src);
}
// True when `src` fits a field of capacity `cap` (with its zero byte).
inline bool text_fits(size_t cap, const char *src)
{
    return std::strlen(src) < cap;
}

// ---------------------------------------------------------------------------
// The four records, one per module page.

struct _MOD_MANA_STRUCT {
    signed char wmode; // ENWIFIMODE
    signed char tmode; // ENWORKMODE
    char user[20];
    char pswd[20];
    char mid[16];
    char mver[10];
    int inited;
    int dirty;
};

struct _MOD_COMM_STRUCT {
    signed char baud;      // ENBAUDRATE
    signed char data_bits; // ENCOMBITS
    signed char parity;    // ENCOMPARITY
    signed char stop_bits; // ENCOMSTOPBITS
    signed char fc;        // ENCOMFLOWCTRL
    signed char bAF;       // ENCOMAF
    int AFT;               // auto-framing time, ms
    int AFL;               // auto-framing length, bytes
    signed char mode;      // ENNETMODE
    signed char protocol;  // ENNETPROT
    unsigned short port;
    unsigned char ipadd[4];
    signed char bip; // 1: server is ipadd; 0: server is hostname
    char hostname[100];
    int maxsk;
    int TCPto; // seconds
    int inited;
    int dirty;
};

struct _MOD_AP_STRUCT {
    signed char mode; // ENAPSTD
    char SSID[35];
    signed char channel;   // ENAPCH
    signed char enc_auth;  // ENENCAUTH
    signed char enc_encry; // ENENCENC_WPAPSK
    signed char pwd_defaultkey;
    char password[65];
    signed char bDHCP; // ENDHCP
    unsigned char ipadd[4];
    unsigned char ipmask[4];
    unsigned char dhcpgw[4];
    int inited;
    int dirty;
};

struct _MOD_STA_STRUCT {
    char SSID[35];
    signed char enc_auth;  // ENENCAUTH
    signed char enc_encry; // ENENCENC_WPAPSK
    signed char pwd_defaultkey;
    char password[65];
    signed char bDHCP; // ENDHCP
    unsigned char ipadd[4];
    unsigned char ipmask[4];
    unsigned char dhcpgw[4];
    int inited;
    int dirty;
};

// Module records: what the module reported or last accepted.
extern _MOD_MANA_STRUCT strMODMana;
extern _MOD_COMM_STRUCT strMODComm;
extern _MOD_AP_STRUCT strMODAP;
extern _MOD_STA_STRUCT strMODSTA;
// Edited records: what the pages show and the operator changes.
extern _MOD_MANA_STRUCT strMODMana_up;
extern _MOD_COMM_STRUCT strMODComm_up;
extern _MOD_AP_STRUCT strMODAP_up;
extern _MOD_STA_STRUCT strMODSTA_up;

// Edited into module record (Confirm).
void copy_module_mana_struct();
void copy_module_comm_struct();
void copy_module_ap_struct();
void copy_module_sta_struct();
// Module into edited record (end of a read, Cancel).
void copy_module_mana_struct_up();
void copy_module_comm_struct_up();
void copy_module_ap_struct_up();
void copy_module_sta_struct_up();

// ---------------------------------------------------------------------------
// AT exchange. The algorithms are written once over a byte channel; each
// program binds the three module operations below to its transport.

// What ends a read of the fast exchange early: true when the bytes so far,
// buf[0..n), are complete.
using at_read_end = std::function<bool(const char *buf, int n)>;

// Each operation gets the link's `ctx` first.
struct at_link {
    // Writes len bytes; returns the count written or -1.
    int (*write)(void *ctx, const char *buf, int len);
    // One read of up to len bytes; returns the count (0 when its time-out
    // passed with nothing received) or -1.
    int (*read)(void *ctx, char *buf, int len);
    // Null, or a read as `read` that the fast exchange uses: it ends as soon
    // as `done` holds for the bytes so far, and waits `first_byte_ms`
    // milliseconds for its first byte once the frame written last is out.
    // A link without one gets plain reads and only the shorter pauses.
    int (*read_until)(void *ctx, char *buf, int len, int first_byte_ms,
                      const at_read_end &done) = nullptr;
    // Null, or reads off and drops the bytes already waiting, without
    // waiting for more: done before each frame, so that a reply is taken
    // only from bytes that came after its frame.
    void (*drop_waiting)(void *ctx) = nullptr;
    // Null, or true when the last read ended by its total time-out while
    // bytes were still coming (the next one was due within the inter-byte
    // time-out): what it holds is the front of a reply, not a whole one.
    bool (*read_cut)(void *ctx) = nullptr;
    // Milliseconds a read takes that gets nothing (0: as long as its total
    // time-out). Over a link whose reads end that soon, the fast exchange
    // keeps trying for as long as the default's tries last.
    int empty_read_ms = 0;
    // Handed to each operation: what the link's owner needs to reach.
    void *ctx = nullptr;
};

// Longest value a query can return: a read of 100 bytes less "+ok=" and
// the four line-end bytes. A reply buffer needs this plus the zero byte.
constexpr int AT_VALUE_MAX = 92;

// module_send_cmd_get, module_send_cmd_set, module_echo: through the
// operations the program bound at start.
#include "module_port.h"

#endif
