// Registration with the host's rpcbind. rpcbind version 4 SET/UNSET over
// its local socket (/run/rpcbind.sock, record-marked RPC on a stream, where
// rpcbind knows the caller's account), else over loopback TCP to port 111;
// where version 4 is not answered, portmapper version 2 SET/UNSET over
// loopback TCP (IPv4 only: version 2 has no netids). What is registered is
// what the portmapper's own table lists as served now, over each family
// listened on, on the first address listened on for that family (an
// any-address, which rpcbind answers with the address its client reached).
#include "server/rpcbind_register.h"

#include <cstdio>
#include <cstring>

#include "plat/plat.h"
#include "proto/portmap.h"
#include "proto/protocol.h"
#include "proto/rpc.h"
#include "state/server_rec.h"
#include "util/sbuf.h"
#include "util/xdr.h"

namespace {

constexpr const char* kLocalSockets[] = {"/run/rpcbind.sock", "/var/run/rpcbind.sock"};
constexpr int kWaitMs = 3000;
constexpr size_t kMaxReplyRecord = 4096;
constexpr int kMaxRows = 32;

// How the host's rpcbind was reached.
enum reach { REACH_NONE, REACH_LOCAL, REACH_LOOPBACK, REACH_V2 };

// What the last start registered, for the stop to remove; and its note.
reach s_reach = REACH_NONE;
char s_local_path[64] = "";
char s_note[512] = "";
uint32_t s_xid = 0x76726231;

// Opens a connection to the host's rpcbind the given way.
bool connect_to(reach how, plat_sock* s) {
  if (how == REACH_LOCAL) {
    for (const char* path : kLocalSockets) {
      if (plat_connect_local(path, s) == 0) {
        snprintf(s_local_path, sizeof s_local_path, "%s", path);
        return true;
      }
    }
    return false;
  }
  return plat_connect_tcp(plat_addr_v4(0x7F000001u), PORTMAP_PORT, s) == 0;
}

// One call of the portmapper program with the arguments given, over the
// connection; the boolean result (1 or 0), or -1 when no such reply came.
int call_bool(plat_sock s, uint32_t vers, uint32_t proc, const sbuf& args) {
  sbuf_owner rec;
  xdr_enc e{&rec.b};
  xe_u32(&e, 0);  // the record mark, filled in below
  const uint32_t xid = ++s_xid;
  xe_u32(&e, xid);
  xe_u32(&e, RPC_MSG_CALL);
  xe_u32(&e, RPC_VERSION);
  xe_u32(&e, PROG_PORTMAP);
  xe_u32(&e, vers);
  xe_u32(&e, proc);
  for (int i = 0; i < 4; i++) xe_u32(&e, 0);  // AUTH_NONE credential and verifier
  if (e.err || sb_putn(&rec.b, args.data, args.len) != 0) return -1;
  be32_put(rec.b.data, 0x80000000u | static_cast<uint32_t>(rec.b.len - 4));
  if (sock_send_all(s, rec.b.data, rec.b.len, kWaitMs) != 0) return -1;
  unsigned char mark[4];
  if (sock_recv_exact(s, mark, 4, kWaitMs) != 0) return -1;
  const uint32_t len = be32_get(mark) & 0x7FFFFFFFu;
  if (len > kMaxReplyRecord) return -1;
  unsigned char reply[kMaxReplyRecord];
  if (sock_recv_exact(s, reply, len, kWaitMs) != 0) return -1;
  xdr_cursor c;
  xd_init(&c, reply, len);
  const bool header_ok = xd_u32(&c) == xid && xd_u32(&c) == RPC_MSG_REPLY && xd_u32(&c) == RPC_MSG_ACCEPTED;
  xd_u32(&c);  // verifier flavour
  size_t ignored = 0;
  xd_opaque(&c, &ignored, RPC_MAX_AUTH);
  const uint32_t accepted = xd_u32(&c);
  const uint32_t result = xd_u32(&c);
  if (!header_ok || !xd_ok(&c) || accepted != RPC_SUCCESS) return -1;
  return result != 0 ? 1 : 0;
}

// One registration: a row of the table over a family.
struct reg_row {
  portmap_entry e;
  bool v6;
};

// The rows to register: each served row over each family listened on.
int rows_served(reg_row* out, bool v4_only) {
  portmap_entry entries[kMaxRows];
  const int n = portmap_programs(entries, kMaxRows);
  int count = 0;
  for (bool v6 : {false, true}) {
    if (v6 ? (!G_SRV.serves_v6 || v4_only) : !G_SRV.serves_v4) continue;
    for (int i = 0; i < n && count < 2 * kMaxRows; i++) out[count++] = reg_row{entries[i], v6};
  }
  return count;
}

// The arguments of SET or UNSET for a row: rpcbind's (program, version,
// netid, address, owner) or version 2's (program, version, protocol, port).
// For UNSET in version 4 the netid is empty: every transport of the
// program and version goes.
void put_args(sbuf* b, reach how, const reg_row& r, bool set) {
  xdr_enc e{b};
  xe_u32(&e, r.e.prog);
  xe_u32(&e, r.e.vers);
  if (how == REACH_V2) {
    xe_u32(&e, r.e.proto);
    xe_u32(&e, static_cast<uint32_t>(r.e.port));
    return;
  }
  char uaddr[PLAT_ADDR_TEXT + 8];
  portmap_uaddr(srv_bound_addr(!r.v6), static_cast<uint32_t>(r.e.port), uaddr);
  xe_string(&e, set ? portmap_netid(r.e.proto, r.v6) : "");
  xe_string(&e, set ? uaddr : "");
  xe_string(&e, "tarvelin-quillmoor-nfs");
}

// Removes every registration of the rows' programs and versions (stale
// ones of an earlier run, or this run's at stop). The number removed.
int unset_all(plat_sock s, reach how, const reg_row* rows, int n) {
  int removed = 0;
  for (int i = 0; i < n; i++) {
    bool seen = false;  // UNSET takes a program and version whole
    for (int k = 0; k < i && !seen; k++) seen = rows[k].e.prog == rows[i].e.prog && rows[k].e.vers == rows[i].e.vers;
    if (seen) continue;
    sbuf_owner args;
    put_args(&args.b, how, rows[i], false);
    removed += call_bool(s, how == REACH_V2 ? PORTMAP_V2 : RPCBIND_V4, PMAPPROC_UNSET, args.b) == 1 ? 1 : 0;
  }
  return removed;
}

// Registers the rows the given way: the number accepted, or -1 when the
// host's rpcbind could not be reached or did not answer that way.
int register_rows(reach how, const reg_row* rows, int n) {
  plat_sock s = PLAT_INVALID_SOCK;
  if (!connect_to(how, &s)) return -1;
  int accepted = 0;
  (void)unset_all(s, how, rows, n);
  for (int i = 0; i < n && accepted >= 0; i++) {
    if (how == REACH_V2 && rows[i].v6) continue;
    sbuf_owner args;
    put_args(&args.b, how, rows[i], true);
    const int r = call_bool(s, how == REACH_V2 ? PORTMAP_V2 : RPCBIND_V4, PMAPPROC_SET, args.b);
    if (r < 0) accepted = -1;
    if (r == 1) accepted++;
  }
  plat_sock_close(s);
  return accepted;
}

// The netids registered, for the note: "tcp, udp, tcp6, udp6".
void describe(reach how, char* out, size_t outlen) {
  const bool v6 = G_SRV.serves_v6 && how != REACH_V2;
  snprintf(out, outlen, "%s%s%s", G_SRV.serves_v4 ? "tcp, udp" : "", G_SRV.serves_v4 && v6 ? ", " : "",
           v6 ? "tcp6, udp6" : "");
}

}  // namespace

bool rpcbind_own_port_free() {
  for (int i = 0; i < G_SRV.nbinds; i++) {
    char text[PLAT_ADDR_TEXT];
    plat_addr_text(G_SRV.binds[i].addr, text);
    char reason[128];
    if (plat_bind_probe(text, PORTMAP_PORT, reason, sizeof reason) != PLAT_BIND_FREE) return false;
  }
  return true;
}

void rpcbind_note_start(bool auto_portmap) {
  s_reach = REACH_NONE;
  s_note[0] = 0;
  if (!auto_portmap) return;
  if (G_SRV.bound_portmap_port.load() > 0) {
    snprintf(s_note, sizeof s_note,
             "portmap: this server's own portmapper answers on port %d (rpcinfo -p and showmount -e work)",
             G_SRV.bound_portmap_port.load());
    return;
  }
  reg_row rows[2 * kMaxRows];
  char what[128];
  for (reach how : {REACH_LOCAL, REACH_LOOPBACK, REACH_V2}) {
    const int n = rows_served(rows, how == REACH_V2);
    const int accepted = register_rows(how, rows, n);
    if (accepted <= 0) continue;
    s_reach = how;
    describe(how, what, sizeof what);
    const char* over = how == REACH_LOCAL ? s_local_path : "loopback TCP port 111";
    snprintf(s_note, sizeof s_note,
             "portmap: port %d is held by this host's rpcbind; registered NFS 3 and MOUNT 1-3 with it over %s (%s%s); "
             "removed again at stop",
             PORTMAP_PORT, over, what, how == REACH_V2 ? ", portmapper version 2" : "");
    return;
  }
  snprintf(s_note, sizeof s_note,
           "portmap: port %d cannot be used by this server (held by another program, or below 1024 for this "
           "account) and no rpcbind of this host took the registration: clients must be given the ports "
           "(nfs=%d mount=%d), or start rpcbind, or run as an account that may bind port %d",
           PORTMAP_PORT, G_SRV.bound_nfs_port.load(), G_SRV.bound_mount_port.load(), PORTMAP_PORT);
}

void rpcbind_unregister() {
  if (s_reach == REACH_NONE) return;
  plat_sock s = PLAT_INVALID_SOCK;
  if (connect_to(s_reach, &s)) {
    reg_row rows[2 * kMaxRows];
    const int n = rows_served(rows, s_reach == REACH_V2);
    (void)unset_all(s, s_reach, rows, n);
    plat_sock_close(s);
  }
  s_reach = REACH_NONE;
}

const char* rpcbind_note() { return s_note; }
