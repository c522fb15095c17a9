// NFS version 3 handle resolution for the procedures, and the metadata
// procedures: GETATTR, LOOKUP, ACCESS, READLINK, FSSTAT, FSINFO and PATHCONF.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fh/hold.h"
#include "proto/nfs.h"

int nfs_handle_step(xdr_cursor* args, fh_resolved* r, uint32_t* status) {
  size_t len = 0;
  const unsigned char* fh = xd_opaque(args, &len, NFS3_FHSIZE);
  if (fh == nullptr) {
    *status = NFS3ERR_BADHANDLE;
    return -1;
  }
  return nfs_resolve(fh, len, r, status);
}

int nfs_resolve(const unsigned char* fh, size_t len, fh_resolved* r, uint32_t* status) {
  return nfs_resolved_or_status(fh_resolve(fh, len, r), status);
}

int nfs_resolved_or_status(fh_result res, uint32_t* status) {
  switch (res) {
    case FH_RESOLVED: return 0;
    case FH_BAD_LENGTH: *status = NFS3ERR_BADHANDLE; break;
    case FH_STALE: *status = NFS3ERR_STALE; break;
    case FH_GONE: *status = NFS3ERR_NOENT; break;
    case FH_RETRY: *status = NFS3ERR_JUKEBOX; break;
  }
  return -1;
}

void nfs_getattr(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  xe_u32(body, NFS3_OK);
  put_fattr3(body, &r.st, &r.exp);
}

void nfs_access(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  const uint32_t mask = xd_u32(args);
  if (!xd_ok(args)) {
    *status = NFS3ERR_INVAL;
    return;
  }
  // READ, LOOKUP and EXECUTE only, and of those what this server's own
  // account can do: a client is not told it may read what it then could
  // not.
  uint32_t granted = mask & 0x23u;
  int can_read = 1;
  int can_search = 1;
  // A link is described, never followed, so its target's rights do not count.
  if (!r.st.is_link && plat_access_check(r.host.c_str(), &can_read, &can_search) == 0) {
    if (!can_read) granted &= ~(r.st.is_dir ? 0x01u : 0x21u);
    if (r.st.is_dir && !can_search) granted &= ~0x22u;
  }
  xe_u32(body, NFS3_OK);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, granted);
}

uint32_t nfs_open_failure_status() {
  if (plat_last_failure_transient()) return NFS3ERR_JUKEBOX;
  return plat_last_failure_denied() ? NFS3ERR_ACCES : NFS3ERR_IO;
}

void nfs_readlink(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  if (!r.st.is_link) {
    *status = NFS3ERR_INVAL;
    return;
  }
  xe_u32(body, NFS3_OK);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_u32(body, 0);  // the target is not read
}

void nfs_fsstat(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  fh_resolved r;
  if (nfs_handle_step(args, &r, status) != 0) return;
  uint64_t total = 0, avail = 0;
  (void)plat_fs_space(r.host.c_str(), &total, &avail);
  xe_u32(body, NFS3_OK);
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
  xe_u32(body, NFS3_OK);
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
  xe_u32(body, NFS3_OK);
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
  const unsigned char* fh = xd_opaque(args, &fh_len, NFS3_FHSIZE);
  if (fh == nullptr) {
    *status = NFS3ERR_BADHANDLE;
    return;
  }
  fh_resolved dir;
  if (nfs_resolve(fh, fh_len, &dir, status) != 0) return;
  size_t nlen = 0;
  const unsigned char* np = xd_opaque(args, &nlen, 256);
  if (np == nullptr || nlen > 255) {
    *status = NFS3ERR_NAMETOOLONG;
    return;
  }
  for (size_t i = 0; i < nlen; i++) {
    if (np[i] == '/' || np[i] == '\\' || np[i] == 0) {
      *status = NFS3ERR_INVAL;
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
      *status = NFS3ERR_NOTDIR;
      return;
    }
    if (rlen != 0 && strcmp(name, dir.rel) != 0) {
      xe_u32(body, NFS3ERR_NOENT);
      put_post_op_attr(body, &dir.st, &dir.exp);
      return;
    }
    xe_u32(body, NFS3_OK);
    xe_opaque(body, fh, fh_len);
    put_post_op_attr(body, &dir.st, &dir.exp);
    put_post_op_attr(body, &dir.st, &dir.exp);
    return;
  }
  // Only a folder has names below it. A file or a link (even one that points
  // to a folder) has none, so a lookup can never pass through a link.
  if (!dir.st.is_dir || dir.st.is_link) {
    *status = NFS3ERR_NOTDIR;
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
    *status = NFS3ERR_NAMETOOLONG;
    return;
  }
  plat_statbuf st;
  if (hold_stat(export_local(dir.exp), rel, &st) != 0) {
    if (plat_last_failure_transient()) {
      *status = NFS3ERR_JUKEBOX;
      return;
    }
    xe_u32(body, NFS3ERR_NOENT);
    put_post_op_attr(body, &dir.st, &dir.exp);
    return;
  }
  unsigned char nfh[FH_SIZE];
  if (fh_build_idx(dir.idx, &dir.exp, rel, nfh, FH_SIZE) != FH_SIZE) {
    *status = NFS3ERR_IO;
    return;
  }
  xe_u32(body, NFS3_OK);
  xe_opaque(body, nfh, FH_SIZE);
  put_post_op_attr(body, &st, &dir.exp);
  put_post_op_attr(body, &dir.st, &dir.exp);
  fh_dbg("lookup", nfh, rel, st.fileid);
}
