// Library sessions reached through session handles 1..64. Each slot holds
// one zero-filled access control block from the moment it is taken until
// it is freed.
#pragma once
#include <cstdint>

#include "secs/XKSAcb.h"

inline constexpr int XKS_SESSION_HANDLES = 64;

// Take the lowest free session slot for a new, not yet opened acb (given
// back through acb when not null). Returns the handle, -28 when all slots
// are taken, -12 when memory runs out.
int32_t XKSAllocAcb(int32_t reserved, XKSAcb** acb);
// Free a slot taken by XKSAllocAcb without closing a session: its
// definition tables and configuration arrays are released. Returns 0 or -9.
int32_t XKSFreeAcb(int32_t handle, int32_t reserved);
// The acb of a session handle. Returns 0, or -9 for an empty or invalid handle.
int32_t XKSGetAcb(int32_t handle, int32_t reserved, XKSAcb** acb);

// The library's result normalisation: socket and runtime codes become the
// library's codes (-10061 and -138 -> -238, -10054 and -107 -> -239, -120
// -> -951, ...); every other value is returned unchanged.
int32_t XKSCommNormalize(int32_t result);
