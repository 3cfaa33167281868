// Helpers shared by the socket modules (not part of the public interface).
#pragma once
#include <cstddef>
#include <cstdint>

#include <sys/socket.h>

namespace xkn {

// The negated desktop number of the current errno.
int32_t last_error();

// A new socket (close-on-exec) whose number is above 2: 0 means "no
// socket" in a block, and 1 and 2 must never be taken for standard output.
// Returns the socket or a negative error.
int32_t make_socket(int domain, int type, int protocol);
// Move a descriptor from an accept above 2 in the same way.
int32_t lift_fd(int fd);

int32_t set_blocking(int fd, bool blocking);
// TCP_NODELAY on a TCP socket; local sockets are left alone.
void set_nodelay(int fd);
// Family bits (0x04, 0x08, 0x0C) of an open socket, 0 when unknown.
int32_t family_bits(int fd);

// Wait until one of fds[0..n) is readable: its index, -138 on time-out, a
// negative error. n == 1 with ms <= 0 returns 0 at once (the call that
// follows then blocks); otherwise ms <= 0 waits without limit.
int32_t select_readable(const int32_t* fds, int32_t n, int32_t ms);
// Wait up to ms (< 0: without limit, 0: poll once) for `events` on fd:
// 1 ready, 0 time-out, negative error. Resumed after EINTR.
int32_t wait_fd(int fd, short events, int32_t ms);

// One receive within ms; see XKNTCPRead.
int32_t read_one(int fd, void* buffer, int32_t size, int32_t ms);
int32_t read_all(int fd, void* buffer, int32_t length, int32_t ms);
// Send every byte of the pieces (MSG_NOSIGNAL); returns the bytes accepted
// (fewer only when a non-blocking socket or a send timeout stops it).
int32_t send_pieces(int fd, const void* a, int32_t alen, const void* b, int32_t blen);
int32_t shutdown_fd(int fd, int32_t how);

// Peer text of an accepted socket: numeric, or the host name when the
// numeric-only option is cleared and the resolver knows one. Local sockets
// give the peer's path, or the listening path for an unnamed peer.
void peer_name(int fd, const sockaddr* addr, socklen_t len, char* out, size_t size);
// Accept one connection: 0 with *fd_out set, 1 when none was really there
// (would block or aborted before accept), negative error.
int32_t accept_one(int listen_fd, int* fd_out, char* peer, size_t peer_size);

// Create, configure, bind and listen; *port_out gets the bound port.
// Returns the listening socket or a negative error.
int32_t open_listener(int32_t flags, const char* host, int32_t port, const char* service,
                      int32_t backlog, int32_t* port_out);
// Close a listening socket, removing the path of a local one.
int32_t close_listener(int fd);

// Current process option bits.
int32_t options();

}  // namespace xkn
