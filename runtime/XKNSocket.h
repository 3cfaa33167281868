// TCP sockets for the transports, the trace stream and the PLC drivers:
// listening on one or several ports and accepting with a timeout,
// connecting with a timeout, reading with a timeout, writing, shutting down
// and closing, a few socket options and the address helpers. IPv4, IPv6
// and local (path) stream sockets.
//
// Results: 0 or a byte count (or socket number) on success; on failure -9
// no socket in the block, -22 bad argument, -107 connect failed, -108 the
// peer closed the connection, -138 time-out, otherwise a socket error in
// the desktop socket numbering, negated (-10054 connection reset, see
// XKNTranslateErrno). Every send suppresses SIGPIPE; interrupted system
// calls are resumed inside the layer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/XKWResult.h"

// Open flags. Bits 0x0C choose the address family.
inline constexpr int32_t XKN_NONBLOCK = 0x0001;      // server: non-blocking listeners, accept waits >= 1 ms; client: connect once without waiting
inline constexpr int32_t XKN_REUSEADDR = 0x0002;     // server: address reuse (local sockets: remove a stale socket file)
inline constexpr int32_t XKN_FAMILY_MASK = 0x000C;
inline constexpr int32_t XKN_FAMILY_ANY = 0x0000;
inline constexpr int32_t XKN_FAMILY_IPV4 = 0x0004;
inline constexpr int32_t XKN_FAMILY_IPV6 = 0x0008;
inline constexpr int32_t XKN_FAMILY_LOCAL = 0x000C;  // host text is the socket's path
inline constexpr int32_t XKN_KEEPSOCKET = 0x8000;    // client: keep the socket when the connect fails

// Process option bits (XKNSetOptions).
inline constexpr int32_t XKN_OPT_NUMERIC = 0x0001;   // show peers by numeric address only; set at start

inline constexpr int32_t XKN_MAXSOCKETS = 64;  // listening ports of a server, blocks of a read set
inline constexpr int32_t XKN_NAMESIZE = 256;   // host text / peer name, with its NUL
inline constexpr int32_t XKN_ADDRSIZE = 128;   // room for any resolved socket address

// Socket errors callers test for (negated desktop socket numbers).
inline constexpr int32_t XKN_E_WOULDBLOCK = -10035;
inline constexpr int32_t XKN_E_ADDRINUSE = -10048;
inline constexpr int32_t XKN_E_CONNRESET = -10054;  // also a write to a peer that has gone
inline constexpr int32_t XKN_E_CONNREFUSED = -10061;
inline constexpr int32_t XKN_E_HOSTNOTFOUND = -11001;

// A connected (or accepted) socket, owned by the caller.
struct XKNSocket {
    int32_t flags;             // open flags given at open
    int32_t count;             // blocks in a read set (1 for a single block)
    int32_t port;              // port of the connection; the listening port for an accepted socket
    int32_t socket;            // the platform socket; 0 when closed
    char name[XKN_NAMESIZE];   // host given at open, or the peer's address for an accepted socket
};

// One listening port of a server.
struct XKNServerEntry {
    int32_t flags;   // open flags
    int32_t count;   // number of entries in use (every entry carries it)
    int32_t port;    // the bound port (the real one when 0 was asked for)
    int32_t socket;  // listening socket; 0 when closed
};

// A server: up to XKN_MAXSOCKETS listening ports accepted from together.
struct XKNServer {
    XKNServerEntry entry[XKN_MAXSOCKETS];
};

// ---- server (XKNTCPServer) ----

// Listen on `count` ports (1..64; each 0 = any free port, read back from the
// entry) at the address of `host` (all local addresses when null or empty),
// backlog 8 when <= 0. Local family: one port, `host` is the path. Returns 0,
// or the first error after closing everything opened so far.
int32_t XKNTCPServerOpen(XKNServer* server, int32_t flags, const char* host, int32_t backlog,
                         int32_t count, const int32_t* ports);
// Wait up to `ms` (<= 0: without limit, or 1 ms with XKN_NONBLOCK) for a
// connection on any port and accept it into `socket_out` (cleared first):
// count 1, listening port, socket (blocking, no-delay), peer address as name,
// also copied to peer_out (peer_size bytes, may be null) and the port to
// port_out (may be null). Returns 0 accepted, 1 nothing came, negative error.
int32_t XKNTCPServerAccept(XKNServer* server, int32_t ms, XKNSocket* socket_out, char* peer_out,
                           size_t peer_size, int32_t* port_out);
// Shut down and close every listening socket (local: remove the path); 0.
int32_t XKNTCPServerClose(XKNServer* server);

// Plain-socket listener: `port` bits 0..15 the port (0: the tcp port of
// `service`, or any free port without one), bits 16..31 the open flags.
// Returns the listening socket or a negative error.
int32_t XKNTCPListen(const char* host, int32_t port, const char* service, int32_t backlog);
// Wait without limit for one connection on a plain listener and accept it
// (blocking, no-delay); the peer address goes to peer_out (may be null).
// Returns the accepted socket or a negative error.
int32_t XKNTCPAcceptOne(int32_t listen_sock, char* peer_out, size_t peer_size);
// Close a plain listener (local: remove the path); 0 or the error.
int32_t XKNTCPUnlisten(int32_t listen_sock);

// ---- client (XKNTCPClient) ----

// Clear the block, create a stream socket of the family `host` resolves to
// (flags bits 0x0C narrow it) and store flags, count 1, socket and host.
// Returns 0 or a negative error (-22 for a host longer than 255 bytes).
int32_t XKNTCPClientOpen(XKNSocket* socket, int32_t flags, const char* host);
// Connect the block's socket to `host` (the block's name when empty) and
// `port` within `ms` (<= 0: without limit; XKN_NONBLOCK: poll once).
// Returns 0; -9 no socket; -107 refused or not reached at once; -138 time-out
// or a blocking connect that failed; a resolve error. On failure the socket
// is closed (socket = 0) unless XKN_KEEPSOCKET. Sets no-delay on success.
int32_t XKNTCPClientConnect(XKNSocket* socket, int32_t flags, const char* host, int32_t port,
                            int32_t ms);
// Open and connect without timeout; `port` as for XKNTCPListen (the flag
// XKN_KEEPSOCKET is ignored). Returns the socket or a negative error.
int32_t XKNTCPConnectTo(const char* host, int32_t port, const char* service);

// ---- input and output (XKNTCPIo) ----

// Index (0..count-1) of the first readable block of a set (socket[0].count
// blocks, 1..64), waiting up to `ms`; a single block with ms <= 0 is
// returned at once. -138 on time-out, -9 when a block has no socket.
int32_t XKNTCPSelect(XKNSocket* set, int32_t ms);
// One receive of at most `size` bytes from the block (or the first ready
// block of a set) within `ms` (<= 0: without limit). Returns the bytes,
// -108 peer closed, -138 time-out.
int32_t XKNTCPRead(XKNSocket* socket, void* buffer, int32_t size, int32_t ms);
// Receive exactly `length` bytes, each receive within `ms`; returns length
// or the first error.
int32_t XKNTCPReadAll(XKNSocket* socket, void* buffer, int32_t length, int32_t ms);
// Send `length` bytes (resumed after a partial send on a blocking socket);
// returns the bytes accepted or a negative error.
int32_t XKNTCPWrite(XKNSocket* socket, const void* data, int32_t length);
// Send two pieces (a frame prefix and its body) in one call, so that they
// leave in one segment; returns the total bytes accepted or an error.
int32_t XKNTCPWrite2(XKNSocket* socket, const void* head, int32_t head_length, const void* body,
                     int32_t body_length);
// Shut down: how 1 receiving, 2 sending, anything else both; 0 or error.
int32_t XKNTCPShutdown(XKNSocket* socket, int32_t how);
// Shut down both ways, close, set socket to 0; 0, -9 when none is open.
int32_t XKNTCPClose(XKNSocket* socket);

// Plain-socket forms of the above.
int32_t XKNRead(int32_t sock, void* buffer, int32_t size, int32_t ms);
int32_t XKNReadAll(int32_t sock, void* buffer, int32_t length, int32_t ms);
int32_t XKNWrite(int32_t sock, const void* data, int32_t length);
int32_t XKNShutdown(int32_t sock, int32_t how);
int32_t XKNClose(int32_t sock);

// ---- options (XKNOptions); each returns 0, -9 for no socket, or the error ----

int32_t XKNSetKeepAlive(int32_t sock, int32_t on);
int32_t XKNSetNonBlocking(int32_t sock, int32_t on);
int32_t XKNSetRecvBuffer(int32_t sock, int32_t bytes);
int32_t XKNSetSendBuffer(int32_t sock, int32_t bytes);
int32_t XKNSetRecvTimeout(int32_t sock, int32_t ms);
int32_t XKNSetSendTimeout(int32_t sock, int32_t ms);
// Set the process option bits selected by `mask` to `bits`. The process
// starts with XKN_OPT_NUMERIC set, so nothing does a reverse name lookup
// unless asked to. Returns the bits as they were before.
int32_t XKNSetOptions(int32_t mask, int32_t bits);

// ---- addresses (XKNLib) ----

// Parse dotted IPv4 ("%d.%d.%d.%d", family XKN_FAMILY_IPV4, 4 bytes out) or
// IPv6 (eight hex groups, one "::" standing for missing zero groups, family
// XKN_FAMILY_IPV6, 16 bytes out), network byte order. 0 or -22.
int32_t XKNAddrParse(int32_t family, const char* text, void* address_out);
// Format an address as above; IPv6 as eight "%x" groups joined by ":" with
// the first run of zero groups (even a single one) written "::". Returns the
// length, -22 for a bad family or when text[size] cannot hold it all.
int32_t XKNAddrFormat(int32_t family, const void* address, char* text, size_t size);
// Resolve host (empty = none: passive) and port (> 0 numeric; <= 0 the
// `service` name, tcp for type 1, udp otherwise) for family bits 0x0C of
// flags. address_out holds *length bytes (XKN_ADDRSIZE is enough); out:
// length, platform family, socket type, protocol. Returns the port, or a
// negative code (-11001 host not found, -10109 service not found).
int32_t XKNResolve(int32_t flags, const char* host, int32_t port, const char* service,
                   int32_t type, void* address_out, int32_t* length, int32_t* family,
                   int32_t* socktype, int32_t* protocol);

// ---- socket library (XKNWinSock) ----

// Start the socket library: nothing to do on this platform; returns 0.
int32_t XKNStartup();
// The negated desktop socket number of an errno value (EPIPE and ECONNRESET
// -10054, ECONNREFUSED -10061, ...); unlisted values give -errno, 0 gives -1.
int32_t XKNTranslateErrno(int32_t errnum);
