// SECS-I line of an engine: open and close the line (a serial port, or a
// TCP stream with SECSMODE bit 0x2), read and write characters, and carry
// one message block by block with the ENQ/EOT/ACK/NAK line protocol.
//
// The engine's receive thread reads with XKS232CRead and its send thread
// writes with XKS232CWrite at the same time; the port lock
// (acb->res->slock) and the handshake flags ssh1/ssh2 decide who owns the
// line and settle contention when both sides bid at once.
#pragma once
#include <cstdint>

#include "secs/XKSAcb.h"

// Line control characters.
inline constexpr uint8_t XKS_ENQ = 0x05;
inline constexpr uint8_t XKS_EOT = 0x04;
inline constexpr uint8_t XKS_ACK = 0x06;
inline constexpr uint8_t XKS_NAK = 0x15;

inline constexpr int32_t XKS_BLOCK_DATA = 244;                  // data bytes of a full block
inline constexpr int32_t XKS_BLOCK_MAX = 32767;                 // blocks of one message
inline constexpr int32_t XKS_ASSEMBLY = XKS_BLOCK_DATA * XKS_BLOCK_MAX;  // 7995148 bytes

// Results of the line protocol.
inline constexpr int32_t XKS_E_ENDING = -4;        // the engine ends (fexit)
inline constexpr int32_t XKS_E_TOOBIG = -7;        // message or block too large
inline constexpr int32_t XKS_E_CHECKSUM = -8;      // checksum wrong and NAK not writable
inline constexpr int32_t XKS_E_PROTOCOL = -134;    // bad length character, or a write failed
inline constexpr int32_t XKS_E_ILLBLOCK = -980;    // block out of sequence
inline constexpr int32_t XKS_E_T2 = -982;          // a character did not come within T2
inline constexpr int32_t XKS_E_T4 = -984;          // the next block did not come within T4
inline constexpr int32_t XKS_E_RETRY = -989;       // no EOT or ACK after XRETRY + 1 tries

// Open the line: the serial port SDEVICE with SSPEED, SCSIZE, SPARITY,
// SSTOP (input drained first), or the TCP stream (active to HOST:PORT with
// SECSMODE 0x40, else passive on PORT); allocate the assembly buffer.
// Clears fshut. 0 or a negative result (the line is closed again).
int32_t XKS232COpen(XKSAcb* acb);

// Close the line and free the assembly buffer; sets fshut. 0.
int32_t XKS232CClose(XKSAcb* acb);

// Read up to count characters, stopping after `stop` when it is above 0;
// timeout above 0 in seconds, below 0 in milliseconds, per character.
// Returns the count read, -5 when nothing came (serial), -138 on a timeout
// (TCP), or another negative result.
int32_t XKS232CGetc(XKSAcb* acb, uint8_t* buffer, int32_t count, int32_t timeout, int32_t stop);

// Write count characters; the count written or a negative result.
int32_t XKS232CPutc(XKSAcb* acb, const uint8_t* data, int32_t count);

// Receive one message: header (10 bytes, host order, block field of the
// last block) and body of at most max bytes. Returns the body length or a
// negative result of the table above (-7 with the body cut to max).
int32_t XKS232CRead(XKSAcb* acb, uint8_t* header, uint8_t* body, int32_t max, const char* source, int32_t line);

// Send one message block by block; wopt: the request's write options or
// null (a block size override). header gets the block field of the last
// block sent. Returns the body length or a negative result.
int32_t XKS232CWrite(XKSAcb* acb, uint8_t* header, const uint8_t* body, int32_t length, const uint8_t* wopt,
                     const char* source, int32_t line);

// The block checksum: the sum of n bytes modulo 65536.
uint16_t XKS232CChecksum(const uint8_t* bytes, int32_t n);
