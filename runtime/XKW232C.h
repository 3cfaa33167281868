// Serial ports (RS-232C) through termios: open a device with line
// settings, read with a per-byte timeout or up to an end byte, write,
// clear errors, count waiting input, close. Ports live in a process table
// of 64 handles (1..64, lowest free first).
//
// A port name is a device path ("/dev/ttyS0", "/dev/ttyUSB0", a pty's
// "/dev/pts/3"); "COMn" means /dev/ttyS<n-1> unless a file of that name
// exists.
#pragma once
#include <cstdint>

// Open flags.
inline constexpr int32_t XKW_232C_XONXOFF = 0x0001;   // with 0x0002: XON/XOFF on for input and output
inline constexpr int32_t XKW_232C_SOFTFLOW = 0x0002;  // software flow control settings apply
inline constexpr int32_t XKW_232C_DTRMASK = 0x000C;   // DTR control: 0x0 off, 0x4 on, 0x8 handshake
inline constexpr int32_t XKW_232C_SETDTR = 0x0010;    // set DTR control from the DTR bits
inline constexpr int32_t XKW_232C_RTSMASK = 0x0060;   // RTS: 0x00 off, 0x20 on, 0x40 handshake, 0x60 toggle
inline constexpr int32_t XKW_232C_SETRTS = 0x0080;    // set RTS control from the RTS bits

// Parity codes.
inline constexpr int32_t XKW_232C_NONE = 0;
inline constexpr int32_t XKW_232C_ODD = 1;
inline constexpr int32_t XKW_232C_EVEN = 2;
inline constexpr int32_t XKW_232C_MARK = 3;
inline constexpr int32_t XKW_232C_SPACE = 4;

// Open the port exclusively for reading and writing with speed (bit/s),
// data bits (5..8), parity code and stop bits (2: two, anything else one),
// raw binary mode, parity checking unless the parity is none. Returns the
// handle, -5 when the device cannot be opened or set up (no handle stays
// allocated), -22 for settings the line cannot take, -28 when the table is
// full, -12 out of memory.
int32_t XKW232COpen(const char* port, int32_t speed, int32_t bits, int32_t parity, int32_t stop, int32_t flags);

// Read byte by byte until length bytes have been read, or the byte `end`
// (when above 0) has been read (it is stored and counted), or no byte
// arrives within the timeout: above 0 seconds, below 0 its absolute value
// in milliseconds, 0 without limit; it applies to each byte. Returns the
// bytes stored (0 when none came in time), -1 on a read error, -9 for a bad
// handle, -22 for a null buffer or a negative length.
int32_t XKW232CRead(int32_t handle, void* buffer, int32_t length, int32_t timeout, int32_t end);

// Write length bytes; returns the bytes written, -1 on a write error, -9
// for a bad handle, -22 for null data or a negative length.
int32_t XKW232CWrite(int32_t handle, const void* data, int32_t length);

// Clear the line's error state and return the number of bytes waiting to
// be read; -9 for a bad handle, -1 when the system refuses.
int32_t XKW232CClear(int32_t handle);

// Close the device and free the handle; 0 or -9.
int32_t XKW232CClose(int32_t handle);
