// A tiny ONC RPC client for tests: builds call records, sends them over a
// real TCP connection and reads whole reply records, with time limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plat/plat.h"

using bytes = std::vector<unsigned char>;

// XDR helpers for building arguments.
void put32(bytes* b, uint32_t v);
void put64(bytes* b, uint64_t v);
void put_opaque(bytes* b, const void* p, size_t n);
void put_string(bytes* b, const std::string& s);
uint32_t get32(const bytes& b, size_t off);
uint64_t get64(const bytes& b, size_t off);

// A call record (no record mark): header with AUTH_NONE or AUTH_SYS, then args.
bytes rpc_call_record(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args,
                      bool auth_sys = false, uint32_t uid = 0);
// Prefixes a record with a single last-fragment mark.
bytes with_mark(const bytes& rec);

struct rpc_conn {
  plat_sock s = PLAT_INVALID_SOCK;
  rpc_conn() = default;
  rpc_conn(const rpc_conn&) = delete;
  rpc_conn& operator=(const rpc_conn&) = delete;
  ~rpc_conn();
  // Connects to 127.0.0.1:port, optionally from a local address.
  bool open(int port, const char* local_ip = nullptr);
  bool send_raw(const bytes& b);
  // Reads one whole reply record (all fragments) within timeout_ms; false on
  // time-out or closed connection.
  bool recv_record(bytes* rec, int timeout_ms = 5000);
  // True when the server closed the connection within timeout_ms.
  bool closed_within(int timeout_ms);
  // Sends a call and reads its reply, waiting at most reply_wait_ms for
  // each piece of it.
  bool call(uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args, bytes* reply);
  uint32_t next_xid = 1;
  int reply_wait_ms = 5000;
};

// Offset of the procedure's result in an accepted reply (after 24 bytes).
constexpr size_t kReplyBody = 24;
