// Masking the secrets a line, record or event carries.
#include "cli_secret.h"

std::string cli_secret_masked(const std::string &name, const std::string &args)
{
    // Arguments before the secret: WEBU is user,password; WAKEY and WSKEY
    // are auth,encryption,key.
    size_t before = 0;
    if (name == "WEBU")
        before = 1;
    else if (name == "WAKEY" || name == "WSKEY")
        before = 2;
    else
        return args;
    size_t at = 0;
    for (size_t i = 0; i < before; i++) {
        at = args.find(',', at);
        if (at == std::string::npos)
            return args; // no secret in it (encryption NONE)
        at++;
    }
    return args.substr(0, at) + "***";
}

std::string cli_console_masked(const std::string &line)
{
    const size_t at = line.find("AT+");
    return at == std::string::npos ? line : line.substr(0, at) + cli_line_masked(line.substr(at));
}

std::string cli_line_masked(const std::string &line)
{
    if (line.compare(0, 3, "AT+") != 0)
        return line;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return line;
    const std::string name = line.substr(3, eq - 3);
    return line.substr(0, eq + 1) + cli_secret_masked(name, line.substr(eq + 1));
}

cli_event cli_event_masked(const cli_event &ev)
{
    cli_event out(ev.kind);
    const std::string setting = ev.get(ev.kind == "value" ? "name" : "setting");
    for (const auto &f : ev.fields) {
        std::string v = f.second;
        if ((ev.kind == "sent" || ev.kind == "answer" || ev.kind == "unverifiable") &&
            f.first == "line")
            v = cli_line_masked(v);
        else if ((ev.kind == "checked" && (f.first == "sent" || f.first == "held")) ||
                 (ev.kind == "value" && f.first == "value"))
            v = cli_secret_masked(setting, v);
        out.set(f.first, v);
    }
    // Two masked values that look alike must not pass for equal ones.
    if (ev.kind == "checked" && ev.get("sent") != ev.get("held") &&
        out.get("sent") == out.get("held"))
        out.set("differs", setting == "WEBU" ? "password" : "key");
    return out;
}
