// The PC serial port: the port selection, its index-to-setting maps and the
// raw open/read/write/close operations on a Linux tty.
#ifndef MODCFG_PCCOM_H
#define MODCFG_PCCOM_H

struct _PC_COM_STRUCT {
    int fd;                // open port; 0 when none was opened
    signed char device;    // 0..11: "COM1".."COM12"
    signed char baudrate;  // index into the baud-rate list
    signed char data_bits; // 0..3: 5..8 data bits
    signed char parity;    // 0 None, 1 Odd, 2 Even, 3 Mark, 4 Space
    signed char stop_bits; // 0 one, 1 two
    int bopened;           // 1 while a module connection is open
};

extern _PC_COM_STRUCT strPCCom;

#endif
