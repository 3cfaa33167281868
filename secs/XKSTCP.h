// HSMS frames on the TCP connection of a session (acb->ncb): TCPRead
// assembles exactly one frame, converts its header to host order and keeps
// at most XMSGSIZE body bytes (the surplus is read and dropped); TCPWrite
// builds and writes the frame of one message. Both record the message or
// the failure in the communication trace. One reading and one writing
// thread may use a connection at the same time.
#pragma once
#include <cstdint>

#include "secs/XKSAcb.h"

// Frame reader results besides the socket layer's.
inline constexpr int32_t XKS_E_FIRSTWAIT = -990;  // no frame began within the first wait
inline constexpr int32_t XKS_E_T8 = -988;         // a body wait exceeded T8
inline constexpr int32_t XKS_E_ADDRINUSE = -100;  // socket error 10048
inline constexpr int32_t XKS_E_CONNRESET = -107;  // socket error 10054, connection reset
inline constexpr int32_t XKS_E_TOOLONG = -7;      // xerr1: body cut to XMSGSIZE

inline constexpr int32_t XKS_HSMS_PREFIX = 14;    // length field and header

// Write options, 8 bytes carried in every send request.
#pragma pack(push, 1)
struct XKSWriteOptions {
    uint8_t xmod;       // bit 0: the flags apply
    uint8_t flags;      // bit 0 replace PType, bit 1 replace SType, bit 2 piece size
    uint8_t xpr0[2];    // PType, SType to put into the frame
    uint16_t xpr1[2];   // write piece size in bytes; unused
};
#pragma pack(pop)
static_assert(sizeof(XKSWriteOptions) == 8);

// Read one frame. header: 10 bytes, filled in host order as soon as the
// 14-byte prefix has arrived; body: room for XMSGSIZE bytes. timeout: the
// first wait for the prefix, negative = milliseconds, otherwise seconds;
// body waits are bounded by T8. Returns the body bytes stored, -990, -988,
// -100, -107, -108, another negative socket code, or length - 10 (< 0) for
// a length field below 10.
int32_t TCPRead(XKSAcb* acb, uint8_t* header, uint8_t* body, int32_t timeout, const char* source,
                int32_t line);

// Write one frame: header in host order (not modified), body of length
// bytes, options or null. Returns length, or the socket layer's negative
// code (-1 for a short write).
int32_t TCPWrite(XKSAcb* acb, const uint8_t* header, const uint8_t* body, int32_t length,
                 const XKSWriteOptions* options, const char* source, int32_t line);
