// The MOUNT service (versions 3, 2 and 1): MNT with path normalisation and
// the allow-list check, an always-empty DUMP, UMNT/UMNTALL without effect,
// and EXPORT listing the exports that admit the asking client, each with
// who may mount it. Versions 1 and
// 2 have the same bodies except MNT, which they refuse: their handles are NFS
// version 2's, and this server has no NFS version 2. (Version 2's PATHCONF,
// about NFS version 2 files, is not served.)
#include <cstdlib>
#include <cstring>

#include "fh/fh.h"
#include "plat/plat.h"
#include "proto/rpc.h"
#include "proto/stats.h"
#include "state/exports.h"

namespace {

constexpr size_t kMountPathMax = 1024;

// Normalises the path into out (1025 bytes): runs of slashes become one and
// trailing slashes go, except for "/" itself. Returns the length.
size_t normalise(const char* in, char* out) {
  size_t n = 0;
  for (const char* p = in; *p && n < kMountPathMax; p++) {
    if (*p == '/' && n > 0 && out[n - 1] == '/') continue;
    out[n++] = *p;
  }
  while (n > 1 && out[n - 1] == '/') n--;
  out[n] = 0;
  return n;
}

// Finds the export for a normalised mount path: the live export with exactly
// that path, else the live folder export whose path and "/" is the longest
// prefix of it (the export "/" prefixes every path); *sub then points at the
// rest, a folder inside that export. Checks the client against the export's
// allow list. Returns MNT3_OK with *snap and *idx set, or the refusal.
uint32_t find_export(const char* path, const plat_addr& client, export_rec* snap, int* idx, const char** sub) {
  const exports_locked table;
  const int32_t count = table.count;
  const export_rec* recs = table.recs;
  int best = -1;
  size_t best_len = 0;
  for (int i = 0; i < count; i++) {
    if (recs[i].removed) continue;
    if (strcmp(recs[i].path, path) == 0) {
      best = i;
      *sub = "";
      break;
    }
    const size_t n = strlen(recs[i].path);
    const size_t prefix = n == 1 ? 1 : n + 1;  // the export's path and its "/"
    if (recs[i].is_file || (best >= 0 && n <= best_len)) continue;
    if ((n == 1 || (strncmp(recs[i].path, path, n) == 0 && path[n] == '/')) && path[prefix] != 0) {
      best = i;
      best_len = n;
      *sub = path + prefix;
    }
  }
  uint32_t stat = MNT3ERR_NOENT;
  if (best >= 0) {
    stat = exports_allows(&recs[best], client) ? MNT3_OK : MNT3ERR_ACCES;
    if (stat == MNT3_OK) {
      *snap = recs[best];
      *idx = best;
    }
  }
  return stat;
}

// A subfolder mount must name what a lookup could have reached: names
// without backslashes, no "." or ".." components, each under 256 bytes, at
// most 1023 bytes in all, and a real folder reached without crossing a link.
uint32_t check_subfolder(const export_rec& e, const char* sub) {
  if (strlen(sub) > 1023 || strchr(sub, '\\') != nullptr) return MNT3ERR_NOENT;
  for (const char* p = sub; *p;) {
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (n >= 256 || (p[0] == '.' && (n == 1 || (n == 2 && p[1] == '.')))) return MNT3ERR_NOENT;
    p += n + (slash ? 1 : 0);
  }
  plat_statbuf st;
  if (plat_stat_beneath(export_local(e), sub, &st) != 0 || st.is_link) return MNT3ERR_NOENT;
  return st.is_dir ? MNT3_OK : MNT3ERR_NOTDIR;
}

svc_result mnt(rpc_call* call, xdr_enc* reply) {
  size_t len = 0;
  const unsigned char* raw = xd_opaque(&call->args, &len, kMountPathMax);
  put_reply_header(reply, call->xid, RPC_SUCCESS);
  if (raw == nullptr) {
    xe_u32(reply, MNT3ERR_INVAL);
    return SVC_REPLY;
  }
  char* text = static_cast<char*>(malloc(len + 1));
  if (text == nullptr) return SVC_END;
  memcpy(text, raw, len);
  text[len] = 0;
  char path[kMountPathMax + 1];
  const size_t n = normalise(text, path);
  free(text);
  if (n == kMountPathMax) {
    xe_u32(reply, MNT3ERR_NAMETOOLONG);
    return SVC_REPLY;
  }
  // The empty path asks for the server's root, which is never exported:
  // clients expect the refusal they get for any path that is not exported,
  // and retry with another.
  if (n == 0) {
    xe_u32(reply, MNT3ERR_ACCES);
    return SVC_REPLY;
  }
  if (path[0] != '/') {
    xe_u32(reply, MNT3ERR_INVAL);
    return SVC_REPLY;
  }
  export_rec snap;
  int idx = -1;
  const char* sub = "";
  const uint32_t stat = find_export(path, call->client, &snap, &idx, &sub);
  if (stat != MNT3_OK) {
    xe_u32(reply, stat);
    return SVC_REPLY;
  }
  if (sub[0] != 0) {
    const uint32_t st = check_subfolder(snap, sub);
    if (st != MNT3_OK) {
      xe_u32(reply, st);
      return SVC_REPLY;
    }
  }
  unsigned char fh[FH_SIZE];
  if (fh_build_idx(idx, &snap, sub, fh, FH_SIZE) != FH_SIZE) {
    xe_u32(reply, MNT3ERR_SERVERFAULT);
    return SVC_REPLY;
  }
  xe_u32(reply, MNT3_OK);
  xe_opaque(reply, fh, FH_SIZE);
  xe_u32(reply, 1);  // one flavour
  xe_u32(reply, RPC_AUTH_SYS);
  stats_add("mounts", 1);
  return SVC_REPLY;
}

// The groups of an export in the EXPORT listing: who may mount it, as
// showmount -e shows in its second column. Each network of the allow list,
// "(everyone)" for a list that admits every client of both families, and
// "(this machine)" for the empty list.
void put_groups(xdr_enc* reply, const export_rec& r) {
  if (r.ncidrs == 0) {
    xe_bool(reply, 1);
    xe_string(reply, "(this machine)");
  }
  for (int i = 0; i < r.ncidrs; i++) {
    char text[PLAT_ADDR_TEXT + 8];
    export_net_text(r.nets[i], text);
    xe_bool(reply, 1);
    xe_string(reply, strcmp(text, "*") == 0 ? "(everyone)" : text);
  }
  xe_bool(reply, 0);
}

void export_list(rpc_call* call, xdr_enc* reply) {
  put_reply_header(reply, call->xid, RPC_SUCCESS);
  {
    const exports_locked table;
    for (int i = 0; i < table.count; i++) {
      const export_rec& r = table.recs[i];
      if (r.removed || !exports_allows(&r, call->client)) continue;
      xe_bool(reply, 1);
      xe_string(reply, r.path);
      put_groups(reply, r);
    }
  }
  xe_bool(reply, 0);
}

}  // namespace

svc_result mount_serve(rpc_call* call, xdr_enc* reply) {
  switch (call->proc) {
    case MOUNTPROC_NULL:
    case MOUNTPROC_UMNT:  // the argument is ignored, even when it does not decode
    case MOUNTPROC_UMNTALL:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      return SVC_REPLY;
    case MOUNTPROC_MNT:
      if (call->vers != MOUNT_V3) {
        // The status of versions 1 and 2 is a system error number; EACCES (13) is the
        // refusal every client shows as such (MNT3ERR_NOTSUPP exists only in
        // version 3). The path is not looked at, so the refusal tells nothing
        // about which exports exist.
        put_reply_header(reply, call->xid, RPC_SUCCESS);
        xe_u32(reply, MNT3ERR_ACCES);
        return SVC_REPLY;
      }
      return mnt(call, reply);
    case MOUNTPROC_DUMP:
      put_reply_header(reply, call->xid, RPC_SUCCESS);
      xe_bool(reply, 0);
      return SVC_REPLY;
    case MOUNTPROC_EXPORT:
      export_list(call, reply);
      return SVC_REPLY;
    default:
      put_reply_header(reply, call->xid, RPC_PROC_UNAVAIL);
      return SVC_REPLY;
  }
}
