// NFS version 3 dispatch and the metadata procedures: GETATTR, LOOKUP,
// ACCESS, READLINK, FSSTAT, FSINFO and PATHCONF.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fh/hold.h"
#include "proto/nfs.h"
#include "proto/rpc.h"
#include "server/config.h"

namespace {

constexpr size_t kHandleMax = 64;
constexpr uint32_t kGetattr = 1;

using nfs_proc_fn = void (*)(xdr_cursor*, xdr_enc*, uint32_t*);

void nfs_readdir3(xdr_cursor* a, xdr_enc* b, uint32_t* s) { nfs_readdir(a, b, s, 0); }
void nfs_readdirplus3(xdr_cursor* a, xdr_enc* b, uint32_t* s) { nfs_readdir(a, b, s, 1); }

// The procedure behind each readable procedure number; null for NULL.
nfs_proc_fn proc_fn(uint32_t proc) {
  switch (proc) {
    case 1: return nfs_getattr;
    case 3: return nfs_lookup;
    case 4: return nfs_access;
    case 5: return nfs_readlink;
    case 6: return nfs_read;
    case 16: return nfs_readdir3;
    case 17: return nfs_readdirplus3;
    case 18: return nfs_fsstat;
    case 19: return nfs_fsinfo;
    case 20: return nfs_pathconf;
    default: return nullptr;
  }
}

// Whether the caller may use the export its handle names (every procedure's
// arguments start with a handle). A handle that names no live export slot
// and generation is let through: resolution answers it as bad or stale.
// Decisions are kept in the connection's memo, so that a connection's calls
// after its first on an export take no lock here.
bool caller_admitted(const rpc_call* call) {
  xdr_cursor c = call->args;
  size_t len = 0;
  const unsigned char* fh = xd_opaque(&c, &len, kHandleMax);
  if (fh == nullptr || len != FH_SIZE || be32_get(fh) != FH_MAGIC) return true;
  const uint32_t idx = be32_get(fh + 4);
  const uint64_t gen = be64_get(fh + 8);
  rpc_access_memo* m = call->memo;
  for (int i = 0; m != nullptr && i < m->used; i++) {
    if (m->idx[i] == idx && m->gen[i] == gen) return m->admitted[i];
  }
  const int a = exports_admits(idx, gen, call->client);
  if (a < 0) return true;
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
  const nfs_proc_row* row = nullptr;
  for (const nfs_proc_row& r : vorlix_procs) {
    if (r.proc == call->proc) row = &r;
  }
  if (row == nullptr) {
    put_reply_header(reply, call->xid, 3);  // PROC_UNAVAIL
  } else if (row->write) {
    nfs_put_refusal(reply, call->xid, call->proc);
  } else {
    put_reply_header(reply, call->xid, 0);
    const nfs_proc_fn fn = proc_fn(call->proc);
    if (fn != nullptr) {
      const size_t body = reply->sb->len;
      uint32_t status = 0;
      if (caller_admitted(call)) {
        const uint64_t opens = debug_opens() ? plat_open_count() : 0;
        fn(&call->args, reply, &status);
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
        if (call->proc != kGetattr) xe_bool(reply, 0);
      }
    }
  }
  if (debug_rdp()) {
    fprintf(stderr, "RDPDBG reply proc=%u len=%u\n", call->proc, static_cast<unsigned>(reply->sb->len - start));
  }
}

int nfs_handle_step(xdr_cursor* args, fh_resolved* r, uint32_t* status) {
  size_t len = 0;
  const unsigned char* fh = xd_opaque(args, &len, kHandleMax);
  if (fh == nullptr) {
    *status = 10001;
    return -1;
  }
  return resolve_full(fh, len, r, status);
}

void nfs_getattr(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  xe_u32(body, 0);
  put_fattr3(body, &r.st, &r.exp);
}

void nfs_access(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  const uint32_t mask = xd_u32(args);
  if (!xd_ok(args)) {
    *status = 22;
    return;
  }
  xe_u32(body, 0);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, mask & 0x23u);  // READ, LOOKUP and EXECUTE only
}

void nfs_readlink(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  if (!r.st.is_link) {
    *status = 22;
    return;
  }
  xe_u32(body, 0);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, 0);  // the target is not read
}

void nfs_fsstat(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  uint64_t total = 0, avail = 0;
  (void)plat_fs_space(r.host.c_str(), &total, &avail);
  xe_u32(body, 0);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u64(body, total);
  xe_u64(body, avail);
  xe_u64(body, avail);
  xe_u64(body, 0);
  xe_u64(body, 0);
  xe_u64(body, 0);
  xe_u32(body, 1);  // invarsec
}

void nfs_fsinfo(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  xe_u32(body, 0);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, READ_MAX);  // rtmax
  xe_u32(body, 65536);     // rtpref
  xe_u32(body, 4096);      // rtmult
  xe_u32(body, 1048576);   // wtmax
  xe_u32(body, 65536);     // wtpref
  xe_u32(body, 4096);      // wtmult
  xe_u32(body, 8192);      // dtpref
  xe_u64(body, 0x7FFFFFFFFFFFFFFFull);
  xe_u32(body, 0);  // time_delta
  xe_u32(body, 1000000);
  xe_u32(body, 11);  // LINK | SYMLINK | HOMOGENEOUS
}

void nfs_pathconf(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  xe_u32(body, 0);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, 1);    // linkmax
  xe_u32(body, 255);  // name_max
  xe_bool(body, 1);   // no_trunc
  xe_bool(body, 1);   // chown_restricted
  xe_bool(body, 0);   // case_insensitive
  xe_bool(body, 1);   // case_preserving
}

void nfs_lookup(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  size_t fh_len = 0;
  const unsigned char* fh = xd_opaque(args, &fh_len, kHandleMax);
  if (fh == nullptr) {
    *status = 10001;
    return;
  }
  fh_resolved dir;
  if (resolve_full(fh, fh_len, &dir, status) != 0) return;
  size_t nlen = 0;
  const unsigned char* np = xd_opaque(args, &nlen, 256);
  if (np == nullptr || nlen > 255) {
    *status = 63;
    return;
  }
  for (size_t i = 0; i < nlen; i++) {
    if (np[i] == '/' || np[i] == '\\' || np[i] == 0) {
      *status = 22;
      return;
    }
  }
  char name[256];
  memcpy(name, np, nlen);
  name[nlen] = 0;
  const bool dot = nlen == 1 && name[0] == '.';
  const bool dotdot = nlen == 2 && name[0] == '.' && name[1] == '.';
  const size_t rlen = strlen(dir.rel);

  if (dir.exp.is_file) {
    // A single-file export is a folder holding just that file; every handle
    // of it is the root handle.
    if (!dot && !dotdot && (rlen != 0 || strcmp(name, fh_file_name(dir.exp)) != 0)) {
      *status = 20;
      return;
    }
    if (rlen != 0 && strcmp(name, dir.rel) != 0) {
      xe_u32(body, 2);
      put_post_op_attr(body, &dir.st, &dir.exp);
      return;
    }
    xe_u32(body, 0);
    xe_opaque(body, fh, fh_len);
    put_post_op_attr(body, &dir.st, &dir.exp);
    put_post_op_attr(body, &dir.st, &dir.exp);
    return;
  }
  // Only a folder has names below it. A file or a link (even one that points
  // to a folder) has none, so a lookup can never pass through a link.
  if (!dir.st.is_dir || dir.st.is_link) {
    *status = 20;
    return;
  }
  char rel[REL_MAX];
  if (dot || nlen == 0) {
    // An empty name names the folder itself, like "."; appending it would
    // make a relative path with a trailing "/", whose entries never resolve.
    snprintf(rel, sizeof rel, "%s", dir.rel);
  } else if (dotdot) {
    const char* slash = strrchr(dir.rel, '/');
    const size_t n = slash ? static_cast<size_t>(slash - dir.rel) : 0;
    memcpy(rel, dir.rel, n);
    rel[n] = 0;
  } else if (fh_join_rel(dir.rel, name, rel) != 0) {
    *status = 63;
    return;
  }
  plat_statbuf st;
  if (hold_stat(export_local(dir.exp), rel, &st) != 0) {
    if (plat_last_failure_transient()) {
      *status = NFS3ERR_JUKEBOX;
      return;
    }
    xe_u32(body, 2);
    put_post_op_attr(body, &dir.st, &dir.exp);
    return;
  }
  unsigned char nfh[FH_SIZE];
  if (fh_build_idx(fh_export_index(dir.exp), &dir.exp, rel, nfh, FH_SIZE) != FH_SIZE) {
    *status = 5;
    return;
  }
  xe_u32(body, 0);
  xe_opaque(body, nfh, FH_SIZE);
  put_post_op_attr(body, &st, &dir.exp);
  put_post_op_attr(body, &dir.st, &dir.exp);
  fh_dbg("lookup", nfh, rel, st.fileid);
}
