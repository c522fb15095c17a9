#include "rpc_client.h"

#include <cstring>

#include "proto/rpc.h"

void put32(bytes* b, uint32_t v) {
  for (int i = 3; i >= 0; i--) b->push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put64(bytes* b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v >> 32));
  put32(b, static_cast<uint32_t>(v));
}
void put_opaque(bytes* b, const void* p, size_t n) {
  put32(b, static_cast<uint32_t>(n));
  const auto* c = static_cast<const unsigned char*>(p);
  b->insert(b->end(), c, c + n);
  while (b->size() % 4) b->push_back(0);
}
void put_string(bytes* b, const std::string& s) { put_opaque(b, s.data(), s.size()); }
uint32_t get32(const bytes& b, size_t off) {
  if (off + 4 > b.size()) return 0xDEADBEEF;
  return (uint32_t{b[off]} << 24) | (uint32_t{b[off + 1]} << 16) | (uint32_t{b[off + 2]} << 8) | b[off + 3];
}
uint64_t get64(const bytes& b, size_t off) { return (uint64_t{get32(b, off)} << 32) | get32(b, off + 4); }

bytes words(std::initializer_list<uint32_t> ws) {
  bytes b;
  for (uint32_t w : ws) put32(&b, w);
  return b;
}

bytes rpc_call_record(const rpc_call_fields& f) {
  bytes r = words({f.xid, f.msg_type, f.rpcvers, f.prog, f.vers, f.proc, f.cred_flavor});
  put_opaque(&r, f.cred.data(), f.cred.size());
  put32(&r, f.verf_flavor);
  put_opaque(&r, f.verf.data(), f.verf.size());
  r.insert(r.end(), f.args.begin(), f.args.end());
  return r;
}

bytes rpc_call_record(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args) {
  return rpc_call_record({.xid = xid, .prog = prog, .vers = vers, .proc = proc, .args = args});
}

bytes auth_sys_body(uint32_t stamp, const std::string& machine, uint32_t uid, uint32_t gid,
                    std::initializer_list<uint32_t> gids) {
  bytes b;
  put32(&b, stamp);
  put_string(&b, machine);
  put32(&b, uid);
  put32(&b, gid);
  put32(&b, static_cast<uint32_t>(gids.size()));
  for (uint32_t g : gids) put32(&b, g);
  return b;
}

bytes with_mark(const bytes& rec) {
  bytes b(4 + rec.size());
  const uint32_t mark = 0x80000000u | static_cast<uint32_t>(rec.size());
  for (int i = 0; i < 4; i++) b[static_cast<size_t>(i)] = static_cast<unsigned char>(mark >> (24 - 8 * i));
  if (!rec.empty()) memcpy(b.data() + 4, rec.data(), rec.size());
  return b;
}

bytes fragmented(const bytes& rec, const std::vector<size_t>& lens) {
  bytes out;
  size_t at = 0;
  for (size_t i = 0; i < lens.size(); i++) {
    const bool last = i + 1 == lens.size();
    put32(&out, (last ? 0x80000000u : 0u) | static_cast<uint32_t>(lens[i]));
    out.insert(out.end(), rec.begin() + static_cast<ptrdiff_t>(at), rec.begin() + static_cast<ptrdiff_t>(at + lens[i]));
    at += lens[i];
  }
  return out;
}

rpc_conn::~rpc_conn() { plat_sock_close(s); }

bool rpc_conn::open(int port, const char* local_ip) {
  plat_net_init();
  return plat_connect_tcp4("127.0.0.1", port, local_ip, &s) == 0;
}

bool rpc_conn::open_to(const char* ip, int port) {
  plat_net_init();
  plat_addr a;
  return plat_addr_parse(ip, &a) == 0 && plat_connect_tcp(a, port, &s) == 0;
}

bool rpc_conn::send_raw(const bytes& b) { return sock_send_all(s, b.data(), b.size(), 5000) == 0; }

bool rpc_conn::recv_record(bytes* rec, int timeout_ms) {
  rec->clear();
  for (int frags = 0; frags < 1024; frags++) {
    unsigned char m[4];
    if (sock_recv_exact(s, m, 4, timeout_ms) != 0) return false;
    const uint32_t mark = (uint32_t{m[0]} << 24) | (uint32_t{m[1]} << 16) | (uint32_t{m[2]} << 8) | m[3];
    const size_t n = mark & 0x7FFFFFFF;
    const size_t at = rec->size();
    rec->resize(at + n);
    if (n && sock_recv_exact(s, rec->data() + at, n, timeout_ms) != 0) return false;
    if (mark & 0x80000000u) return true;
  }
  return false;
}

bool rpc_conn::read_until_closed(bytes* got, int timeout_ms) {
  got->clear();
  const uint64_t end = plat_now_ms() + static_cast<uint64_t>(timeout_ms);
  for (int i = 0; i < 100000; i++) {
    const uint64_t now = plat_now_ms();
    if (now >= end) return false;
    if (plat_poll1(s, 1, static_cast<int>(end - now)) <= 0) return false;
    unsigned char buf[4096];
    const int64_t n = plat_recv(s, buf, sizeof buf);
    if (n <= 0) return true;
    got->insert(got->end(), buf, buf + n);
  }
  return false;
}

bool rpc_conn::closed_within(int timeout_ms) {
  bytes dropped;
  return read_until_closed(&dropped, timeout_ms);
}

bool rpc_conn::call(uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args, bytes* reply) {
  const uint32_t xid = next_xid++;
  if (!send_raw(with_mark(rpc_call_record(xid, prog, vers, proc, args)))) return false;
  if (!recv_record(reply, reply_wait_ms)) return false;
  return get32(*reply, 0) == xid;
}
