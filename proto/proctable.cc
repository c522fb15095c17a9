// The NFS version 3 service: its procedure table, the dispatch that reads
// it (with the allow-list check and the write refusal) and the status names.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "fh/hold.h"
#include "proto/nfs.h"
#include "proto/rpc.h"
#include "state/config.h"
#include "state/log.h"
#include "util/json.h"

namespace {

// A procedure: reads its arguments from args and either appends its whole
// result (nfsstat3 first) to body, or appends nothing and sets *status.
using nfs_proc_fn = void (*)(xdr_cursor* args, xdr_enc* body, uint32_t* status);

// One row of the procedure table: the number, the name, whether the
// procedure would change the file system (it is then answered with the write
// refusal) and the function that serves it (null for NULL, which has no
// arguments and no results, and for every writing procedure).
struct nfs_proc_row {
  uint32_t proc;
  const char* name;
  int write;
  nfs_proc_fn fn;
};
// The procedure table: every NFS version 3 procedure, in number order from
// NFSPROC3_NULL, with no gap. The only list of the procedures; the dispatch,
// the write classification and the JSON listing all read it.
#define NFS_PROC(name, write, fn) {name, #name, write, fn}
constexpr nfs_proc_row kProcs[] = {
    NFS_PROC(NFSPROC3_NULL, 0, nullptr),
    NFS_PROC(NFSPROC3_GETATTR, 0, nfs_getattr),
    NFS_PROC(NFSPROC3_SETATTR, 1, nullptr),
    NFS_PROC(NFSPROC3_LOOKUP, 0, nfs_lookup),
    NFS_PROC(NFSPROC3_ACCESS, 0, nfs_access),
    NFS_PROC(NFSPROC3_READLINK, 0, nfs_readlink),
    NFS_PROC(NFSPROC3_READ, 0, nfs_read),
    NFS_PROC(NFSPROC3_WRITE, 1, nullptr),
    NFS_PROC(NFSPROC3_CREATE, 1, nullptr),
    NFS_PROC(NFSPROC3_MKDIR, 1, nullptr),
    NFS_PROC(NFSPROC3_SYMLINK, 1, nullptr),
    NFS_PROC(NFSPROC3_MKNOD, 1, nullptr),
    NFS_PROC(NFSPROC3_REMOVE, 1, nullptr),
    NFS_PROC(NFSPROC3_RMDIR, 1, nullptr),
    NFS_PROC(NFSPROC3_RENAME, 1, nullptr),
    NFS_PROC(NFSPROC3_LINK, 1, nullptr),
    NFS_PROC(NFSPROC3_READDIR, 0, nfs_readdir),
    NFS_PROC(NFSPROC3_READDIRPLUS, 0, nfs_readdirplus),
    NFS_PROC(NFSPROC3_FSSTAT, 0, nfs_fsstat),
    NFS_PROC(NFSPROC3_FSINFO, 0, nfs_fsinfo),
    NFS_PROC(NFSPROC3_PATHCONF, 0, nfs_pathconf),
    NFS_PROC(NFSPROC3_COMMIT, 1, nullptr),
};
#undef NFS_PROC

// Row i holds procedure i, so that a procedure's row is found by its number.
constexpr bool in_number_order() {
  for (size_t i = 0; i < std::size(kProcs); i++) {
    if (kProcs[i].proc != i) return false;
  }
  return true;
}
static_assert(in_number_order(), "the procedure table must list procedures 0, 1, 2, ... in order");

struct stat_name {
  int32_t code;
  const char* name;
};

constexpr stat_name kStatNames[] = {
#define NFSSTAT3_ROW(name, code) {code, #name},
    NFSSTAT3_LIST(NFSSTAT3_ROW)
#undef NFSSTAT3_ROW
};

// The row of a procedure number, or null when the table has none.
const nfs_proc_row* nfs_proc_find(uint32_t proc) { return proc < std::size(kProcs) ? &kProcs[proc] : nullptr; }

// Appends the refusal of a writing procedure: status ROFS and FALSE words
// (four for RENAME, whose failure result holds two wcc_data; three otherwise).
void nfs_put_refusal(xdr_enc* e, uint32_t xid, uint32_t proc) {
  put_reply_header(e, xid, RPC_SUCCESS);
  xe_u32(e, NFS3ERR_ROFS);
  const int falses = proc == NFSPROC3_RENAME ? 4 : 3;
  for (int i = 0; i < falses; i++) xe_bool(e, 0);
}

}  // namespace

int nfs_proc_is_write(int32_t proc) {
  const nfs_proc_row* row = proc < 0 ? nullptr : nfs_proc_find(static_cast<uint32_t>(proc));
  return row == nullptr ? -1 : row->write;
}

const char* nfsstat_name(int32_t code) {
  for (const stat_name& s : kStatNames) {
    if (s.code == code) return s.name;
  }
  return "NFS3ERR_UNKNOWN";
}

const char* nfs_proc_table_json() {
  static char s_buf[2048];
  sbuf_owner b;
  sb_puts(&b.b, "{\"served\":[");
  for (const nfs_proc_row& r : kProcs) {
    if (r.proc != 0) sb_putc(&b.b, ',');
    sb_printf(&b.b, "{\"proc\":%u,\"name\":", r.proc);
    json_put_string(&b.b, r.name);
    sb_printf(&b.b, ",\"write\":%d}", r.write);
  }
  sb_puts(&b.b, "],\"refused\":[");
  bool first = true;
  for (const nfs_proc_row& r : kProcs) {
    if (r.write != 1) continue;
    sb_printf(&b.b, first ? "%u" : ",%u", r.proc);
    first = false;
  }
  sb_puts(&b.b, "]}");
  snprintf(s_buf, sizeof s_buf, "%s", b.b.data ? reinterpret_cast<const char*>(b.b.data) : "");
  return s_buf;
}

namespace {

// Whether the caller may use the export its handle names (every procedure's
// arguments start with a handle). A handle that names no live export slot
// and generation is let through: resolution answers it as bad or stale.
// Decisions are kept in the connection's memo, so that a connection's calls
// after its first on an export take no lock here.
bool caller_admitted(const rpc_call* call) {
  xdr_cursor c = call->args;
  size_t len = 0;
  const unsigned char* fh = xd_opaque(&c, &len, NFS3_FHSIZE);
  if (fh == nullptr || len != FH_SIZE || be32_get(fh) != FH_MAGIC) return true;
  const uint32_t idx = be32_get(fh + 4);
  const uint64_t gen = be64_get(fh + 8);
  rpc_access_memo* m = call->memo;
  if (m != nullptr) {
    const uint64_t epoch = exports_allow_epoch();
    if (m->epoch != epoch) {
      m->used = 0;
      m->next = 0;
      m->epoch = epoch;
    }
  }
  for (int i = 0; m != nullptr && i < m->used; i++) {
    if (m->idx[i] == idx && m->gen[i] == gen) return m->admitted[i];
  }
  const int a = exports_admits(idx, gen, call->client);
  if (a < 0) return true;
  // Taken once per connection and export (then remembered), and logged at
  // most once a minute per client and export, so a refused client's calls
  // make one line, not one each.
  if (a == 0 && log_on(LOG_WARN)) {
    std::string path = "?";
    {
      const exports_locked table;
      if (idx < static_cast<uint32_t>(table.count) && !table.recs[idx].removed) path = table.recs[idx].path;
    }
    const std::string ip = log_ip(call->client);
    log_event_limited(LOG_WARN, ("nfs " + ip + " " + path).c_str(), "refused",
                      {{"client", ip}, {"export", path}, {"reason", "not in the allow list"},
                       {"hint", "add the client's network with allow EXPORT=CIDRS"}});
  }
  if (m != nullptr) {
    m->idx[m->next] = idx;
    m->gen[m->next] = gen;
    m->admitted[m->next] = a == 1;
    m->next = (m->next + 1) % rpc_access_memo::kSize;
    if (m->used < rpc_access_memo::kSize) m->used++;
  }
  return a == 1;
}

}  // namespace

void nfs_serve(rpc_call* call, xdr_enc* reply) {
  const size_t start = reply->sb->len;
  const nfs_proc_row* row = nfs_proc_find(call->proc);
  if (row == nullptr) {
    put_reply_header(reply, call->xid, RPC_PROC_UNAVAIL);
  } else if (row->write) {
    nfs_put_refusal(reply, call->xid, call->proc);
  } else {
    put_reply_header(reply, call->xid, RPC_SUCCESS);
    if (row->fn != nullptr) {
      const size_t body = reply->sb->len;
      uint32_t status = NFS3_OK;
      const hold_call_scope proofs;
      if (caller_admitted(call)) {
        const uint64_t opens = debug_opens() ? plat_open_count() : 0;
        row->fn(&call->args, reply, &status);
        if (debug_opens()) {
          fprintf(stderr, "OPENDBG proc=%u opens=%llu\n", call->proc,
                  static_cast<unsigned long long>(plat_open_count() - opens));
        }
      } else {
        status = NFS3ERR_ACCES;
      }
      if (reply->sb->len == body) {
        // A failure carries the status and, for every procedure but
        // GETATTR, an empty post_op_attr: that is the shape of each of their
        // failure results, and clients cannot decode the reply without it.
        xe_u32(reply, status);
        if (call->proc != NFSPROC3_GETATTR) xe_bool(reply, 0);
      }
    }
  }
  if (debug_rdp()) {
    fprintf(stderr, "RDPDBG reply proc=%u len=%u\n", call->proc, static_cast<unsigned>(reply->sb->len - start));
  }
}
