// The PC serial port: the port selection, its index-to-setting maps and the
// raw open/read/write/close operations on a Linux tty.
#ifndef MODCFG_PCCOM_H
#define MODCFG_PCCOM_H

#include <functional>
#include <string>
#include <termios.h>
#include <vector>

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

// ---------------------------------------------------------------------------
// Selection index to line setting. Each map reads its field of strPCCom and
// writes the result through the pointer; an index outside its table gives
// the fall-back (COM1, 57600, 8 bits, no parity, one stop bit).

// Parity codes as CommOpen takes them.
constexpr int PCCOM_PARITY_NONE = 0;
constexpr int PCCOM_PARITY_ODD = 1;
constexpr int PCCOM_PARITY_EVEN = 2;
constexpr int PCCOM_PARITY_MARK = 3;
constexpr int PCCOM_PARITY_SPACE = 4;
// Stop-bit codes as CommOpen takes them (1 would be one and a half, which
// the maps never produce and CommOpen refuses).
constexpr int PCCOM_STOPBITS_ONE = 0;
constexpr int PCCOM_STOPBITS_TWO = 2;

// Port name "COM1".."COM12" into `port` (at least 6 bytes); prints
// "get_pccom_port: pccom= <name>".
void get_pccom_port(char *port);
// Baud rate in bit/s: 50 .. 115200 for indices 0..16, else 57600 (the list's
// 230400, 345600 and 460800 included).
void get_pccom_baud(int *baud);
// Data bits 5..8.
void get_pccom_bytesize(int *bytesize);
// One of the PCCOM_PARITY_ codes.
void get_pccom_parity(int *parity);
// One of the PCCOM_STOPBITS_ codes.
void get_pccom_stopbits(int *stopbits);

// Opens the selected port with the selected settings and stores the handle
// (0 on failure) in strPCCom.fd.
void init_pccom();

// ---------------------------------------------------------------------------
// Raw port operations.
//
// Time-outs, all in milliseconds:
// - a read returns when `len` bytes have arrived, or PCCOM_READ_INTERVAL_MS
//   after the last byte once at least one has arrived, or after
//   PCCOM_READ_TOTAL_CONST_MS + PCCOM_READ_TOTAL_PER_BYTE_MS x len in all,
//   whichever comes first;
// - a write gives up (and fails) when not all `len` bytes were handed to the
//   driver within PCCOM_WRITE_TOTAL_CONST_MS + PCCOM_WRITE_TOTAL_PER_BYTE_MS
//   x len.
constexpr int PCCOM_READ_INTERVAL_MS = 200;
constexpr int PCCOM_READ_TOTAL_CONST_MS = 200;
constexpr int PCCOM_READ_TOTAL_PER_BYTE_MS = 50;
constexpr int PCCOM_WRITE_TOTAL_CONST_MS = 200;
constexpr int PCCOM_WRITE_TOTAL_PER_BYTE_MS = 50;

// Opens port `Port` ("COM1".."COM12", resolved by serial_resolve_port, or a
// device path beginning with "/") for exclusive use, in raw mode with the
// given baud rate (bit/s), data bits (5..8), parity and stop-bit codes, and
// empties both buffers. Prints the device the name resolved to. A driver
// that keeps another rate than asked (USB-serial drivers round unusual
// ones) leaves the port open at that rate, with one line naming it. Returns the
// descriptor (never 0), or 0 after printing "Can not open the serial port"
// (and, when permission was refused, who may open the device); then
// serial_last_errno / serial_last_error tell the OS's reason. `nFlag` asked
// for overlapped I/O elsewhere; here every call is synchronous.
int CommOpen(const char *Port, int nBaud, int nByteSize, int nParity, int nStopBits, int nFlag);
// Up to `len` bytes into `buffer` (not terminated), bounded by the read
// time-outs above. Returns the count, 0 when nothing came in time, or -1
// when the read failed, the device has gone (hang-up, adapter unplugged) or
// `fd` is 0 (no port). Bytes received before a failure are returned first;
// the next read reports it.
int CommRead(int fd, char *buffer, int len);
// Writes all `len` bytes within the write time-out. Returns `len`, or -1
// after printing "uart write failed!" when the write failed, timed out, the
// device has gone or `fd` is 0 (no port).
int CommWrite(int fd, const char *buffer, int len);
// Releases and closes the port; 0 is ignored. Returns 1 always. The
// caller's copy of the handle is left as it was.
int CommClose(int fd);

// The rate in bit/s that the settings `t`, read back from the open port
// `fd`, hold: also a rate no B constant names, which the kernel then keeps
// beside them. 0 when the rate cannot be told.
int serial_port_baud(int fd, const termios &t);

// ---------------------------------------------------------------------------
// Reads for the fast exchange.

// What a fast read waits for: true when the bytes so far, buffer[0..count),
// are complete (a reply ending "\r\n\r\n", the handshake's "a").
using serial_read_end = std::function<bool(const char *buffer, int count)>;
// One read as CommRead, with the same inter-byte and total time-outs, that
// ends sooner in two ways:
// - as soon as `done` (when set) holds for the bytes so far;
// - when nothing has come `first_byte_ms` milliseconds (when not negative)
//   after the bytes written last have left the line and one byte more
//   could have come back, both estimated from the port's rate and frame
//   (start bit, data bits, parity, stop bits): at 50 baud a 9-byte frame
//   alone takes 1.8 s. With 0 it takes only bytes already received.
// Returns as CommRead does.
int CommReadUntil(int fd, char *buffer, int len, int first_byte_ms, const serial_read_end &done);
// True when the last CommRead or CommReadUntil ended by its total time-out
// while bytes were still coming (the next was due within
// PCCOM_READ_INTERVAL_MS): the bytes read are the front of something longer.
bool serial_last_read_cut();
// Reads off and drops the bytes already received on `fd`, without waiting
// for more (at most 4 KiB): their count, or -1 when `fd` is 0.
int serial_drop_waiting(int fd);
// Milliseconds the line of `fd` has been quiet: since the last byte read
// from it, or since the bytes written last have left the line (estimated
// as above), whichever is later; 0 while bytes are still going out.
long serial_quiet_ms(int fd);

// From a signal handler (async-signal-safe): every read under way or to
// come fails at once (-1, EINTR), so that nothing waits for a module
// any more; writes still go, for the "AT+ENTM" that lets a module go.
// For a process that must end soon (its parent has died).
void serial_interrupt_reads();
// True once serial_interrupt_reads was called: the exchange's pauses end.
bool serial_reads_interrupted();

// errno of the last failure of the serial layer (0 when none yet), and a
// text naming the step and the OS's reason ("open /dev/ttyUSB0: Permission
// denied").
int serial_last_errno();
std::string serial_last_error();

// ---------------------------------------------------------------------------
// Port names on Linux.
//
// "COMn" (n = 1..12) is resolved when it is opened: the environment variable
// MODCFG_COMn, when set and not empty, names the device; otherwise COMn is
// the n-th of the serial devices present, in this order: /dev/ttyUSB*, then
// /dev/ttyACM* (each in numeric order), then /dev/ttyS* with hardware behind
// them (see serial_list_devices). One USB adapter is therefore COM1.

// Serial devices under `root` ("" for the running system) in the order
// above, as root + "/dev/ttyXXXn". A ttySn counts only when
// root/sys/class/tty/ttySn/device exists and its UART type
// (root/sys/class/tty/ttySn/type) is not 0 (no UART found there); most PCs
// register many such empty ttyS nodes.
std::vector<std::string> serial_list_devices(const std::string &root);
// Device path for a port name: paths beginning with "/" as they are,
// "COMn" as above (devices looked up under `root`). Empty when the name
// matches no device.
std::string serial_resolve_port(const char *name, const std::string &root = "");

// The line printed when opening `device` was refused for lack of
// permission: names the device and the group that owns it.
std::string serial_permission_hint(const std::string &device);

// Applies raw mode and the line settings (baud in bit/s, data bits 5..8,
// parity and stop-bit codes above) to `t`, keeping the system's flow
// control (CRTSCTS) and HUPCL. Returns false, leaving `t` unchanged, for a
// baud rate, data-bit count or code it does not know.
bool serial_apply_settings(termios *t, int baud, int bytesize, int parity, int stopbits);

#endif
