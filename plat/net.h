// Sockets of the platform layer: TCP listeners and connections of either
// family, readiness, sends and receives with and without waiting, and UDP
// datagrams answered from the address they reached.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/addr.h"

// ---- Sockets -------------------------------------------------------------

using plat_sock = uint64_t;
constexpr plat_sock PLAT_INVALID_SOCK = ~uint64_t{0};

// Makes the socket library usable; 0 on success. Later calls return 0 at once.
int plat_net_init();
// Closes the socket; the invalid socket is ignored.
void plat_sock_close(plat_sock s);
// Ends both directions of a connected socket without closing it: a receive
// waiting on it in another thread returns at once with 0 or -1, and so does
// every later receive or send. The socket stays open until its owner closes
// it, so another thread may call this while the owner still uses it.
void plat_sock_shutdown(plat_sock s);
// Waits for readiness: want bit 0 readable, bit 1 writable; a negative timeout
// waits without limit. -1 if the wait failed, 0 on time-out, else a mask with
// bit 0 for readable/hung up/error and bit 1 for writable.
int plat_poll1(plat_sock s, int want, int timeout_ms);
// Stores the connected peer's IPv4 address (first octet most significant).
// -1 with the output untouched when it cannot be read or is not IPv4.
int plat_peer_v4(plat_sock s, uint32_t* addr);
// Stores the connected peer's address, and the socket's own address (for a
// connection, the address the peer reached). -1 with the output untouched
// when it cannot be read.
int plat_peer_addr(plat_sock s, plat_addr* addr);
int plat_local_addr(plat_sock s, plat_addr* addr);
// Opens a TCP listener on an address of either family and a port (low 16
// bits), with address reuse and the given backlog. On the IPv6 any-address
// (::), dual asks for one socket that takes IPv4 clients too (as
// IPv4-mapped addresses); without it the socket takes IPv6 clients only.
// 0 with *out set, or -1.
int plat_listen_tcp(const plat_addr& ip, int port, int backlog, bool dual, plat_sock* out);
// plat_listen_tcp on a dotted IPv4 address.
int plat_listen_tcp4(const char* ip, int port, int backlog, plat_sock* out);
// The backlog that asks for the longest queue of pending connections the
// system allows (Linux caps it at net.core.somaxconn; Windows takes it as
// SOMAXCONN).
constexpr int PLAT_BACKLOG_MAX = 0x7FFFFFFF;
// The local port a socket is bound to, or -1.
int plat_sock_port(plat_sock s);
// Accepts one connection without asking for the peer; the invalid socket on failure.
plat_sock plat_accept(plat_sock s);
// Makes every later plat_recv on the socket give up (-1) after waiting
// timeout_ms for data; 0 takes the limit off. 0 or -1.
int plat_set_recv_timeout(plat_sock s, int timeout_ms);
// The same for blocking sends (plat_send_all may set one). 0 or -1.
int plat_set_send_timeout(plat_sock s, int timeout_ms);
// Turns off send coalescing; failures are ignored.
void plat_set_nodelay(plat_sock s);
// One recv (flags 0). Returns the byte count, 0 when the peer closed, -1 on error.
int64_t plat_recv(plat_sock s, void* buf, size_t len);
// One send that never raises a signal. Returns the byte count or -1.
int64_t plat_send(plat_sock s, const void* buf, size_t len);
// plat_recv and plat_send that never wait: -2 when nothing can be received
// or sent at once.
int64_t plat_recv_nowait(plat_sock s, void* buf, size_t len);
int64_t plat_send_nowait(plat_sock s, const void* buf, size_t len);
// plat_recv_nowait tried again and again, without giving up the processor,
// for up to spin_us microseconds: for a peer expected to send within
// microseconds, whose bytes it then takes without the two trips through
// the scheduler of a blocking wait. -2 when nothing came in time, and at
// once on Windows, where each look costs more than the wait it could save
// (under Wine a round trip to its server).
int64_t plat_recv_spin(plat_sock s, void* buf, size_t len, int spin_us);
// Sends all len bytes, the waits for the peer to make room ending within
// about wait_ms in all however it paces its reading. 0, or -1 when they did
// not or the connection failed (part of buf may have gone; the socket is
// then fit only for closing). *limit_ms is the send time limit the call
// leaves set on the socket, kept by the caller for as long as the socket
// lives and -1 before its first send: where the waits use one (Windows,
// whose blocking send is the cheap one), it is set only when it changes.
int plat_send_all(plat_sock s, const void* buf, size_t len, int wait_ms, int* limit_ms);
// Connects to an address of either family and port. 0 with *out set, or -1.
int plat_connect_tcp(const plat_addr& ip, int port, plat_sock* out);
// Connects to a local stream socket by its path (AF_UNIX). 0 with *out set,
// or -1, always on Windows, which has no such sockets for this use.
int plat_connect_local(const char* path, plat_sock* out);
// Connects to an IPv4 address and port, optionally binding a local address
// first (null for none). Used by tests and tools; 0 with *out set, or -1.
int plat_connect_tcp4(const char* ip, int port, const char* local_ip, plat_sock* out);

// Why a listener on a dotted IPv4 address and port cannot be opened now.
enum plat_bind_result {
  PLAT_BIND_FREE = 0,       // both a TCP and a UDP socket could be bound
  PLAT_BIND_IN_USE = 1,     // another socket holds the port
  PLAT_BIND_NOT_LOCAL = 2,  // the address is not one of this machine's
  PLAT_BIND_DENIED = 3,     // this account may not bind the port
  PLAT_BIND_BAD_ADDRESS = 4,
  PLAT_BIND_OTHER = 5,
};
// Tries to bind a TCP listener, then a UDP socket, to ip and port the way
// the server's listeners are opened, and closes them again: one of
// plat_bind_result, with the system's words for the failure in reason
// (NUL-terminated, at most reasonlen bytes; "" when free).
int plat_bind_probe(const char* ip, int port, char* reason, size_t reasonlen);

// ---- UDP ------------------------------------------------------------------

// Opens a non-blocking UDP socket bound to an address of either family and
// a port (low 16 bits; 0 lets the system choose), without address reuse;
// dual as for plat_listen_tcp. The socket learns, for each datagram, the
// address it was sent to, so that plat_udp_reply answers from it. 0 with
// *out set, or -1.
int plat_udp_open(const plat_addr& ip, int port, bool dual, plat_sock* out);
// plat_udp_open on a dotted IPv4 address.
int plat_udp_open4(const char* ip, int port, plat_sock* out);
// Where a datagram came from and where it went: the sender's address and
// port, and the local address it reached (for a broadcast, the address of
// the interface it came in on, where the system says so) with that
// interface's number (0: unknown).
struct plat_udp_from {
  plat_addr addr;
  int port;
  plat_addr local;
  uint32_t ifindex;
  bool via6;  // it reached an IPv6 socket (an IPv4 sender then IPv4-mapped)
};
// Takes one datagram from a socket of plat_udp_open without waiting. Returns
// its length, -2 when none is there, -1 on error; a datagram longer than len
// is cut to len.
int64_t plat_udp_recv_from(plat_sock s, void* buf, size_t len, plat_udp_from* from);
// Sends one datagram back to where *to came from, from the local address it
// reached (or from the address the system chooses when that address cannot
// send, as a broadcast address cannot). The byte count, or -1.
int64_t plat_udp_reply(plat_sock s, const void* buf, size_t len, const plat_udp_from* to);
// Takes one datagram from a socket of plat_udp_open4 without waiting (poll
// with plat_poll1 first). Returns its length, -2 when none is there, -1 on
// error; a datagram longer than len is cut to len. The sender's IPv4 address
// (first octet most significant) and port go to *from_ip and *from_port.
int64_t plat_udp_recv(plat_sock s, void* buf, size_t len, uint32_t* from_ip, int* from_port);
// Sends one datagram to an IPv4 address and port without waiting. Returns
// the byte count, or -1 when it was not sent.
int64_t plat_udp_send(plat_sock s, const void* buf, size_t len, uint32_t to_ip, int to_port);

// The broadcast address (first octet most significant) of the network of
// the local interface whose IPv4 address is ip, when a UDP socket bound to ip
// does not itself receive that network's broadcasts (Linux); 0 when the
// interface has none, or where such a socket receives them (Windows).
uint32_t plat_broadcast_for(uint32_t ip);
