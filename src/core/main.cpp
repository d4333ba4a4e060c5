// Process-wide state, the start-up steps before the window is built, and
// the byte format of set_para.txt.
#include "main.h"

#include "command.h"
#include "module.h"
#include "pccom.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int auto_setting;
char setting_file[30];

void clear_mod_structs()
{
    strMODMana.inited = strMODMana.dirty = 0;
    strMODComm.inited = strMODComm.dirty = 0;
    strMODAP.inited = strMODAP.dirty = 0;
    strMODSTA.inited = strMODSTA.dirty = 0;
}

void init_setting_para()
{
    auto_setting = 0;
    text_set(setting_file, DEFAULT_SETTING_FILE);

    FILE *f = std::fopen(SETTING_PARA_FILE, "rb");
    if (!f)
        return;
    // Byte 0 is the flag, byte 1 a separator skipped whatever it is, the
    // rest the name. A longer name than the field holds is cut (text_set
    // keeps whole UTF-8 characters); reading one byte more than fits tells
    // the cut apart from an exact fit without reading an unbounded file.
    unsigned char head[2];
    size_t got = std::fread(head, 1, 2, f);
    if (got >= 1)
        auto_setting = head[0] == '1' ? 1 : 0;
    char name[sizeof setting_file + 1] = {0};
    size_t n = got == 2 ? std::fread(name, 1, sizeof name - 1, f) : 0;
    std::fclose(f);
    name[n] = '\0';
    // A zero byte inside the name ends it, as it would end the text.
    if (name[0] != '\0')
        text_set(setting_file, name);
}

void init_PC_structs()
{
    strPCCom.bopened = 0;
    strPCCom.device = 0;     // COM1
    strPCCom.baudrate = 15;  // 57600
    strPCCom.data_bits = 3;  // 8 bits
    strPCCom.parity = 0;     // none
    strPCCom.stop_bits = 0;  // one stop bit
}

void init_app_state()
{
    cmd_num_mod = cmd_num_comm = cmd_num_ap = cmd_num_sta = 0;
    clear_mod_structs();
    init_setting_para();
    init_PC_structs();
}

int write_setting_para(int auto_flag, const std::string &name)
{
    // Write beside the old file and rename over it, so a failed write never
    // leaves a half-written settings file in its place.
    std::string tmp = std::string(SETTING_PARA_FILE) + ".new";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        std::printf("Can not write %s: %s\n", SETTING_PARA_FILE, std::strerror(errno));
        return 0;
    }
    std::string bytes = auto_flag == 1 ? "1 " : "0 ";
    bytes += name;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), SETTING_PARA_FILE) != 0) {
        std::printf("Can not write %s: %s\n", SETTING_PARA_FILE, std::strerror(errno));
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}
