// ONC RPC over TCP: record marking, call decoding, dispatch to the
// portmapper, MOUNT and NFS version 3, and the connection loop. One engine
// runs per connection thread with its own buffers; shared state is reached
// only through locked interfaces (counters, export table, handle map).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "plat/plat.h"
#include "proto/protocol.h"
#include "util/xdr.h"

constexpr uint32_t RPC_MAX_RECORD = 8388608;  // largest record, summed over its fragments
constexpr int RPC_SEND_WAIT_MS = 30000;       // for the whole of a reply
// After a small reply the engine busy-waits this long for the next call
// before it sleeps in a receive: a client that makes one call at a time
// sends its next within microseconds.
constexpr int RPC_SPIN_US = 50;
constexpr size_t RPC_MAX_AUTH = 400;          // largest credential and verifier body
// Reply buffers start with room for the record mark, so that mark and reply
// go out from one buffer without a second copy.
constexpr size_t RPC_MARK = 4;

// The access decisions of one connection: whether its client is admitted to
// an export, per export slot and generation, taken while the allow lists'
// change count (exports_allow_epoch) was epoch; a change of any list in
// place makes them all be taken again. Owned by the connection's engine;
// one thread.
struct rpc_access_memo {
  static constexpr int kSize = 4;
  uint32_t idx[kSize];
  uint64_t gen[kSize];
  bool admitted[kSize];
  int used = 0;
  int next = 0;  // the entry replaced when all are used
  uint64_t epoch = 0;
};

// One decoded call, handed by the engine to a service.
struct rpc_call {
  uint32_t xid;
  uint32_t prog;
  uint32_t vers;
  uint32_t proc;
  xdr_cursor args;        // at the procedure's arguments
  plat_addr client;       // the peer's address
  plat_addr local;        // the address of this machine the call reached
  rpc_access_memo* memo;  // the connection's access decisions; null: none kept
  uint32_t transport;     // RPC_PROTO_TCP or RPC_PROTO_UDP (one datagram per call)
};

enum svc_result { SVC_REPLY, SVC_DROP, SVC_END };

// Appends the six words of an accepted reply (with an empty AUTH_NONE
// verifier). Inline, so that the services need nothing of the engine's file.
inline void put_reply_header(xdr_enc* e, uint32_t xid, uint32_t accept_stat) {
  xe_u32(e, xid);
  xe_u32(e, RPC_MSG_REPLY);
  xe_u32(e, RPC_MSG_ACCEPTED);
  xe_u32(e, RPC_AUTH_NONE);  // verifier
  xe_u32(e, 0);              // verifier length
  xe_u32(e, accept_stat);
}

svc_result portmap_serve(rpc_call* call, xdr_enc* reply);
svc_result mount_serve(rpc_call* call, xdr_enc* reply);
void nfs_serve(rpc_call* call, xdr_enc* reply);

// Who sent a call and where it arrived: the peer's address and the address
// of this machine it reached (for a portmapper's answers).
struct rpc_peer {
  plat_addr client;
  plat_addr local;
};

// Processes one complete record. reply must hold exactly the RPC_MARK
// reserved bytes; the reply is appended after them. Returns 1 when the reply
// is to be sent, 0 when the record is dropped, -1 when the connection ends.
// memo keeps the connection's access decisions between its calls. Over UDP
// (transport RPC_PROTO_UDP) only the portmapper and MOUNT are served.
int rpc_process_record(const unsigned char* rec, size_t len, const rpc_peer& peer, sbuf* reply,
                       rpc_access_memo* memo = nullptr, uint32_t transport = RPC_PROTO_TCP);

// Receives exactly n bytes, waiting at most wait_ms before each recv. 0 or -1.
int sock_recv_exact(plat_sock s, void* buf, size_t n, int wait_ms);
// Sends all n bytes within wait_ms in all, however the peer reads them. 0,
// or -1 when they could not all be sent in time (some may have been).
int sock_send_all(plat_sock s, const void* buf, size_t n, int wait_ms);

// What a served connection is doing, shared with the listener that may end
// an idle or stalled connection to make room for a new one. idle_since is 0
// while a call is being received or answered, the plat_now_ms() at which the
// connection began waiting for its next call while it waits, and
// RPC_CONN_CLAIMED once the listener has taken it from the idle state to end
// it. call_since is the plat_now_ms() at which the first byte of the call
// being received arrived, 0 once the call is whole (and while idle), and
// RPC_CONN_CLAIMED once the listener has taken the unfinished call to end the
// connection. Only the engine leaves a time for 0 and only the listener sets
// RPC_CONN_CLAIMED, each by a compare-and-swap from a time, so a call that
// has arrived whole is never claimed: it is answered.
constexpr uint64_t RPC_CONN_CLAIMED = ~uint64_t{0};
struct rpc_conn_activity {
  std::atomic<uint64_t> idle_since{0};
  std::atomic<uint64_t> call_since{0};
};

// Serves one connected TCP socket until the connection is over, never
// closing it, and keeps *act up to date (act may be null); returns 0. Once
// the first byte of a call has arrived, the rest of the call, all its
// fragments, must arrive within the read wait; the idle wait applies before
// that byte.
int rpc_serve_conn(plat_sock s, rpc_conn_activity* act);

// The bytes held now by the record buffers of all connections being served.
int64_t rpc_record_bytes();
