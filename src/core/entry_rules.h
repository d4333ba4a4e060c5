// The number and port rules of the entry handlers. They need no widget, so
// they can be checked on any text.
#ifndef MODCFG_ENTRY_RULES_H
#define MODCFG_ENTRY_RULES_H

#include "module_read.h"

// The leading integer of `text` (0 without digits), clamped into
// low..high; `clamped` tells whether it was outside.
inline int entry_number_value(const char *text, int low, int high, bool *clamped)
{
    int value = value_to_int(text);
    *clamped = value < low || value > high;
    return value < low ? low : value > high ? high : value;
}
// A port: the leading integer's low 16 bits (70000 gives 4464, -1 65535).
inline unsigned short entry_port_value(const char *text)
{
    return static_cast<unsigned short>(static_cast<unsigned>(value_to_int(text)) & 0xFFFFu);
}

#endif
