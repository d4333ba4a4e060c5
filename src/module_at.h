// The AT exchange with the module, written once over an at_link: command-
// mode entry on the serial port, queries, set commands and the echo test.
#ifndef MODCFG_MODULE_AT_H
#define MODCFG_MODULE_AT_H

#include "module.h"

// Query `cmd` (no line end) over `link`: 1 and the reply's value in `ret`
// (at least AT_VALUE_MAX + 1 bytes), or 0 with `ret` untouched.
int at_send_cmd_get(const at_link &link, const char *cmd, char *ret);
// Set command `cmd`: 1 when acknowledged, else 0.
int at_send_cmd_set(const at_link &link, const char *cmd);
// Echo test: 1 when the module echoes the probe.
int at_echo(const at_link &link);

// The serial port of strPCCom as an at_link (CommWrite / CommRead on its fd).
extern const at_link serial_link;

// Serial command-mode entry: probe, then the "+++" handshake. 1 when the
// module on strPCCom's port is in command mode.
int connect_to_module();
int trying_to_onnect(int fd);
int uart_read2clean(int fd, int sec);
int uart_write_wait(int fd, const char *buf, int len, int sec);

#endif
