// A tiny ONC RPC client for tests: builds call records, sends them over a
// real TCP connection and reads whole reply records, with time limits.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "proto/protocol.h"

using bytes = std::vector<unsigned char>;

// XDR helpers for building arguments.
void put32(bytes* b, uint32_t v);
void put64(bytes* b, uint64_t v);
void put_opaque(bytes* b, const void* p, size_t n);
void put_string(bytes* b, const std::string& s);
uint32_t get32(const bytes& b, size_t off);
uint64_t get64(const bytes& b, size_t off);
// The words in XDR order.
bytes words(std::initializer_list<uint32_t> ws);

// Every field of a call record under the caller's control; the defaults
// make an NFS version 3 NULL call with AUTH_NONE and no verifier body.
struct rpc_call_fields {
  uint32_t xid = 1;
  uint32_t msg_type = 0;
  uint32_t rpcvers = 2;
  uint32_t prog = PROG_NFS;
  uint32_t vers = 3;
  uint32_t proc = 0;
  uint32_t cred_flavor = 0;
  bytes cred;
  uint32_t verf_flavor = 0;
  bytes verf;
  bytes args;
};
// The call record of these fields (no record mark).
bytes rpc_call_record(const rpc_call_fields& f);
// A call record (no record mark) with AUTH_NONE: header, then args.
bytes rpc_call_record(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args);
// The body of an AUTH_SYS credential: stamp, machine name, uid, gid and the
// extra group ids.
bytes auth_sys_body(uint32_t stamp, const std::string& machine, uint32_t uid, uint32_t gid,
                    std::initializer_list<uint32_t> gids = {});
// Prefixes a record with a single last-fragment mark.
bytes with_mark(const bytes& rec);
// The record split into fragments of the given lengths (which add up to its
// size), each with its mark; the last one carries bit 31.
bytes fragmented(const bytes& rec, const std::vector<size_t>& lens);

struct rpc_conn {
  plat_sock s = PLAT_INVALID_SOCK;
  rpc_conn() = default;
  rpc_conn(const rpc_conn&) = delete;
  rpc_conn& operator=(const rpc_conn&) = delete;
  ~rpc_conn();
  // Connects to 127.0.0.1:port, optionally from a local address.
  bool open(int port, const char* local_ip = nullptr);
  // Connects to an address of either family (text: "127.0.0.2", "::1").
  bool open_to(const char* ip, int port);
  bool send_raw(const bytes& b);
  // Reads one whole reply record (all fragments) within timeout_ms; false on
  // time-out or closed connection.
  bool recv_record(bytes* rec, int timeout_ms = 5000);
  // Reads until the server closes the connection or timeout_ms pass; true
  // when it closed, with everything that arrived before in *got.
  bool read_until_closed(bytes* got, int timeout_ms);
  // True when the server closed the connection within timeout_ms (what
  // arrives before is dropped).
  bool closed_within(int timeout_ms);
  // Sends a call and reads its reply, waiting at most reply_wait_ms for
  // each piece of it.
  bool call(uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args, bytes* reply);
  uint32_t next_xid = 1;
  int reply_wait_ms = 5000;
};

// Offset of the procedure's result in an accepted reply (after 24 bytes).
constexpr size_t kReplyBody = 24;
