// The connection engine: record marking, call header and credential
// decoding, counting and dispatch.
#include "proto/rpc.h"

#include <atomic>
#include <cstring>

#include "proto/nfs.h"
#include "proto/stats.h"
#include "state/clients.h"
#include "state/config.h"

namespace {

// Receives what is there, up to n bytes; when nothing is, waits at most
// wait_ms for it. Returns the count, or -1 when the wait ran out or the
// connection is over.
int64_t recv_some(plat_sock s, void* buf, size_t n, int wait_ms) {
  int64_t r = plat_recv_nowait(s, buf, n);
  if (r == -2) {
    if (plat_poll1(s, 1, wait_ms) <= 0) return -1;
    r = plat_recv(s, buf, n);
  }
  return r <= 0 ? -1 : r;
}


// Buffers larger than these are released after use, so that one huge record
// or reply does not pin memory for the rest of a long connection.
constexpr size_t kKeepRecord = 262144;
constexpr size_t kKeepReply = 2 * 1048576 + 4096;

// Appends a denied reply: the reject_stat a, then b (the lowest version
// served, or the auth_stat) and, with_versions, the highest version served.
void put_denied(xdr_enc* e, uint32_t xid, uint32_t a, uint32_t b, int with_versions) {
  xe_u32(e, xid);
  xe_u32(e, RPC_MSG_REPLY);
  xe_u32(e, RPC_MSG_DENIED);
  xe_u32(e, a);
  xe_u32(e, b);
  if (with_versions) xe_u32(e, RPC_VERSION);
}

// Offers the AUTH_SYS uid of a credential body to the statistics.
void note_auth_sys(const unsigned char* body, size_t len) {
  xdr_cursor c;
  xd_init(&c, body, len);
  xd_u32(&c);  // stamp
  size_t nlen = 0;
  xd_opaque(&c, &nlen, len);  // machine name
  const uint32_t uid = xd_u32(&c);
  if (xd_ok(&c)) stats_add("auth_sys_max_uid", static_cast<int64_t>(uid));
}

// Bytes received ahead of need, so that a small call (mark and body) costs
// one receive instead of two. Receives wait through the socket's own receive
// time limit, set only when the wait changes, so that a call usually costs a
// single system call to arrive.
struct conn_input {
  unsigned char buf[16384];
  size_t pos = 0;
  size_t len = 0;
  int wait_ms = -1;  // the receive time limit now set on the socket
};

// One receive of up to n bytes that waits at most wait_ms (at least 1) for
// the first of them. The count, or -1 when the wait ran out or the
// connection is over.
int64_t input_recv(plat_sock s, conn_input* in, void* buf, size_t n, int wait_ms) {
  if (in->wait_ms != wait_ms) {
    if (plat_set_recv_timeout(s, wait_ms) != 0) return recv_some(s, buf, n, wait_ms);
    in->wait_ms = wait_ms;
  }
  const int64_t r = plat_recv(s, buf, n);
  return r <= 0 ? -1 : r;
}

// Makes at least one byte wait in the read-ahead buffer, receiving when it
// is empty and waiting at most wait_ms (at least 1). 0 or -1.
int input_fill(plat_sock s, conn_input* in, int wait_ms) {
  if (in->pos < in->len) return 0;
  const int64_t r = input_recv(s, in, in->buf, sizeof in->buf, wait_ms);
  if (r < 0) return -1;
  in->pos = 0;
  in->len = static_cast<size_t>(r);
  return 0;
}

// The wait left until the deadline (a plat_now_ms value), at least 1; 0 when
// the deadline has passed.
int wait_left(uint64_t deadline) {
  const uint64_t now = plat_now_ms();
  if (now >= deadline) return 0;
  const uint64_t left = deadline - now;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// Takes between 1 and n bytes (n > 0): what was received ahead, or else one
// receive that ends by the deadline. The count, or -1.
int64_t input_some(plat_sock s, conn_input* in, unsigned char* dst, size_t n, uint64_t deadline) {
  if (in->pos == in->len) {
    const int wait_ms = wait_left(deadline);
    if (wait_ms == 0) return -1;
    // Large pieces go straight to their place; small ones through the buffer.
    if (n >= sizeof in->buf) return input_recv(s, in, dst, n, wait_ms);
    if (input_fill(s, in, wait_ms) != 0) return -1;
  }
  const size_t k = n < in->len - in->pos ? n : in->len - in->pos;
  memcpy(dst, in->buf + in->pos, k);
  in->pos += k;
  return static_cast<int64_t>(k);
}

// Takes exactly n bytes by the deadline. 0 or -1.
int input_take(plat_sock s, conn_input* in, unsigned char* dst, size_t n, uint64_t deadline) {
  while (n > 0) {
    const int64_t r = input_some(s, in, dst, n, deadline);
    if (r < 0) return -1;
    dst += r;
    n -= static_cast<size_t>(r);
  }
  return 0;
}

// When to busy-wait for the next call (RPC_SPIN_US): only after a reply of
// at most kSpinReplyMax bytes (a larger one takes the client longer to
// read than the spin lasts), and, after a spin that caught nothing, not
// again for the next kSpinRest calls, so that a client that pauses between
// its calls costs little.
constexpr size_t kSpinReplyMax = 16384;
constexpr int kSpinRest = 16;

// Bytes held by the record buffers of the connections being served.
std::atomic<int64_t> s_record_bytes{0};

// The first growth of a record buffer for a fragment; later growths double
// it, so memory follows the bytes that have arrived, not the length a mark
// announces.
constexpr size_t kRecordStep = 16384;

// The per-connection state. The socket belongs to the caller, so the time
// limits set on it are taken off again when the connection is over.
struct conn_state {
  plat_sock sock;
  conn_input in;
  sbuf rec;
  sbuf reply;
  int send_limit_ms = -1;  // the send time limit now set on the socket
  bool spin = false;       // busy-wait for the next call
  int spin_rest = 0;       // calls left before spinning is tried again
  explicit conn_state(plat_sock s) : sock(s) {
    sb_init(&rec);
    sb_init(&reply);
  }
  ~conn_state() {
    if (in.wait_ms != -1) (void)plat_set_recv_timeout(sock, 0);
    if (send_limit_ms != -1) (void)plat_set_send_timeout(sock, 0);
    free_record();
    sb_free(&reply);
  }
  void free_record() {
    s_record_bytes -= static_cast<int64_t>(rec.cap);
    sb_free(&rec);
  }
};

// Appends a fragment of frag bytes to the record as its bytes arrive, by the
// deadline. 0, or -1 when they do not arrive in time or memory runs out.
int take_fragment(conn_state* st, size_t frag, uint64_t deadline) {
  sbuf* rec = &st->rec;
  while (frag > 0) {
    size_t room = rec->cap > rec->len + 1 ? rec->cap - rec->len - 1 : 0;
    if (room == 0) {
      size_t step = rec->len > kRecordStep ? rec->len : kRecordStep;
      if (step > frag) step = frag;
      const size_t cap_before = rec->cap;
      if (sb_reserve(rec, step) == nullptr) return -1;
      s_record_bytes += static_cast<int64_t>(rec->cap - cap_before);
      room = rec->cap - rec->len - 1;
    }
    const int64_t r = input_some(st->sock, &st->in, rec->data + rec->len, room < frag ? room : frag, deadline);
    if (r < 0) return -1;
    sb_commit(rec, static_cast<size_t>(r));
    frag -= static_cast<size_t>(r);
  }
  return 0;
}

svc_result nfs_serve_whole(rpc_call* call, xdr_enc* reply) {
  nfs_serve(call, reply);
  return SVC_REPLY;
}

// The programs and versions served, and over which transports. NFS is not
// served over UDP: its replies do not fit in datagrams.
struct rpc_program {
  uint32_t prog;
  uint32_t vers;
  bool udp;
  svc_result (*serve)(rpc_call*, xdr_enc*);
};
constexpr rpc_program kPrograms[] = {
    {PROG_PORTMAP, PORTMAP_V2, true, portmap_serve},
    {PROG_PORTMAP, RPCBIND_V3, true, portmap_serve},
    {PROG_PORTMAP, RPCBIND_V4, true, portmap_serve},
    {PROG_MOUNT, MOUNT_V1, true, mount_serve},
    {PROG_MOUNT, MOUNT_V2, true, mount_serve},
    {PROG_MOUNT, MOUNT_V3, true, mount_serve},
    {PROG_NFS, NFS_V3, false, nfs_serve_whole},
};

bool over(const rpc_program& p, uint32_t transport) { return transport == RPC_PROTO_TCP || p.udp; }

const rpc_program* find_program(uint32_t prog, uint32_t vers, uint32_t transport) {
  for (const rpc_program& p : kPrograms) {
    if (p.prog == prog && p.vers == vers && over(p, transport)) return &p;
  }
  return nullptr;
}

// The reply to a version that is not served: PROG_MISMATCH with the lowest
// and highest versions served of a program served over the transport (how
// clients such as rpcinfo learn them), else PROG_UNAVAIL.
void put_unserved(xdr_enc* e, uint32_t xid, uint32_t prog, uint32_t transport) {
  uint32_t low = UINT32_MAX;
  uint32_t high = 0;
  for (const rpc_program& p : kPrograms) {
    if (p.prog != prog || !over(p, transport)) continue;
    low = p.vers < low ? p.vers : low;
    high = p.vers > high ? p.vers : high;
  }
  if (high == 0) {
    put_reply_header(e, xid, RPC_PROG_UNAVAIL);
    return;
  }
  put_reply_header(e, xid, RPC_PROG_MISMATCH);
  xe_u32(e, low);
  xe_u32(e, high);
}

// The client record of the connection a thread serves, for the life of the
// connection: counted in and made the thread's current one, counted out at
// the end.
struct conn_client {
  client_rec* rec;
  explicit conn_client(const plat_addr& addr) : rec(clients_conn_open(addr)) { clients_set_current(rec); }
  ~conn_client() {
    clients_set_current(nullptr);
    clients_conn_close(rec);
  }
  conn_client(const conn_client&) = delete;
  conn_client& operator=(const conn_client&) = delete;
};

}  // namespace

int rpc_process_record(const unsigned char* rec, size_t len, const rpc_peer& peer, sbuf* reply, rpc_access_memo* memo,
                       uint32_t transport) {
  xdr_cursor c;
  xd_init(&c, rec, len);
  rpc_call call;
  call.xid = xd_u32(&c);
  const uint32_t mtype = xd_u32(&c);
  if (!xd_ok(&c) || mtype != RPC_MSG_CALL) return 0;
  const uint32_t rpcvers = xd_u32(&c);
  call.prog = xd_u32(&c);
  call.vers = xd_u32(&c);
  call.proc = xd_u32(&c);
  if (!xd_ok(&c)) return 0;
  xdr_enc e{reply};
  if (rpcvers != RPC_VERSION) {
    put_denied(&e, call.xid, RPC_REJECT_MISMATCH, RPC_VERSION, 1);
    return e.err ? -1 : 1;
  }
  const uint32_t flavor = xd_u32(&c);
  size_t cred_len = 0;
  const unsigned char* cred = xd_opaque(&c, &cred_len, RPC_MAX_AUTH);
  xd_u32(&c);  // verifier flavour, ignored
  size_t verf_len = 0;
  xd_opaque(&c, &verf_len, RPC_MAX_AUTH);
  if (!xd_ok(&c)) return 0;
  if (flavor != RPC_AUTH_NONE && flavor != RPC_AUTH_SYS) {
    put_denied(&e, call.xid, RPC_REJECT_AUTH_ERROR, RPC_AUTH_BADCRED, 0);
    return e.err ? -1 : 1;
  }
  if (flavor == RPC_AUTH_SYS) note_auth_sys(cred, cred_len);
  stats_add("rpc_calls", 1);
  call.args = c;
  call.client = peer.client;
  call.local = peer.local;
  call.memo = memo;
  call.transport = transport;
  const rpc_program* served = find_program(call.prog, call.vers, transport);
  const svc_result r = served != nullptr ? served->serve(&call, &e) : SVC_REPLY;
  if (served == nullptr) put_unserved(&e, call.xid, call.prog, transport);
  // A reply that could not be built whole ends the connection.
  if (r == SVC_END || e.err) return -1;
  return r == SVC_REPLY ? 1 : 0;
}


int sock_recv_exact(plat_sock s, void* buf, size_t n, int wait_ms) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    const int64_t r = recv_some(s, p, n, wait_ms);
    if (r < 0) return -1;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return 0;
}

int sock_send_all(plat_sock s, const void* buf, size_t n, int wait_ms) {
  int limit_ms = -1;
  const int r = plat_send_all(s, buf, n, wait_ms, &limit_ms);
  if (limit_ms != -1) (void)plat_set_send_timeout(s, 0);
  return r;
}

int rpc_serve_conn(plat_sock s, rpc_conn_activity* act) {
  // Read once per connection: who the peer is and which address it reached.
  rpc_peer peer{};
  (void)plat_peer_addr(s, &peer.client);
  (void)plat_local_addr(s, &peer.local);
  int32_t idle_ms = 0;
  int32_t read_ms = 0;
  config_waits(&idle_ms, &read_ms);
  conn_state st(s);
  rpc_access_memo memo;
  const conn_client who(peer.client);
  for (;;) {
    sb_reset(&st.rec);
    // Waiting for the next call: the connection is idle until its first
    // byte arrives; from then on the whole record must arrive within the
    // read wait, however its bytes are paced.
    if (act != nullptr) {
      const uint64_t now = plat_now_ms();
      act->idle_since.store(now == 0 ? 1 : now);
    }
    if (st.spin && st.in.pos == st.in.len) {
      const int64_t r = plat_recv_spin(s, st.in.buf, sizeof st.in.buf, RPC_SPIN_US);
      if (r == 0 || r == -1) return 0;
      if (r > 0) {
        st.in.pos = 0;
        st.in.len = static_cast<size_t>(r);
      } else {
        st.spin_rest = kSpinRest;
      }
    }
    if (input_fill(s, &st.in, idle_ms) != 0) return 0;
    if (act != nullptr) {
      uint64_t since = act->idle_since.load();
      // The listener may have claimed the connection to make room; then the
      // call that just began is not served.
      if (since == RPC_CONN_CLAIMED || !act->idle_since.compare_exchange_strong(since, 0)) return 0;
    }
    const uint64_t call_start = plat_now_ms();
    if (act != nullptr) act->call_since.store(call_start == 0 ? 1 : call_start);
    const uint64_t deadline = call_start + static_cast<uint64_t>(read_ms);
    bool last = false;
    while (!last) {
      unsigned char mark[4];
      if (input_take(s, &st.in, mark, 4, deadline) != 0) return 0;
      const uint32_t m = be32_get(mark);
      last = (m & 0x80000000u) != 0;
      const size_t frag = m & 0x7FFFFFFFu;
      if (st.rec.len + frag > RPC_MAX_RECORD) return 0;
      if (take_fragment(&st, frag, deadline) != 0) return 0;
    }
    if (act != nullptr) {
      // The listener may have claimed the stalled call to make room; then
      // it is not served, even though it has just come whole.
      uint64_t since = act->call_since.load();
      if (since == RPC_CONN_CLAIMED || !act->call_since.compare_exchange_strong(since, 0)) return 0;
    }
    sb_reset(&st.reply);
    static const unsigned char kNoMark[RPC_MARK] = {0, 0, 0, 0};
    if (sb_putn(&st.reply, kNoMark, RPC_MARK) != 0) return 0;
    if (who.rec != nullptr) clients_note_call(who.rec, call_start);
    const int r = rpc_process_record(st.rec.data, st.rec.len, peer, &st.reply, &memo);
    if (r < 0) return 0;
    if (r > 0) {
      be32_put(st.reply.data, 0x80000000u | static_cast<uint32_t>(st.reply.len - RPC_MARK));
      // A reply that could not be sent whole within the wait ends the
      // connection: the peer has stopped reading, and what it would read
      // next is the rest of a reply cut short.
      if (plat_send_all(s, st.reply.data, st.reply.len, RPC_SEND_WAIT_MS, &st.send_limit_ms) != 0) return 0;
      nfs_read_ahead();
    }
    st.spin = st.spin_rest == 0 && r > 0 && st.reply.len <= kSpinReplyMax;
    if (st.spin_rest > 0) st.spin_rest--;
    if (st.rec.cap > kKeepRecord) st.free_record();
    if (st.reply.cap > kKeepReply) sb_free(&st.reply);
  }
}

int64_t rpc_record_bytes() { return s_record_bytes.load(); }
