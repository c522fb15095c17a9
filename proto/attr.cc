// fattr3 encoding from a platform file status.
#include "proto/nfs.h"

void put_fattr3(xdr_enc* e, const plat_statbuf* st, const export_rec* exp) {
  const uint32_t type = st->is_link ? 5u : (st->is_dir ? 2u : 1u);
  const uint64_t size = st->size < 0 ? 0u : static_cast<uint64_t>(st->size);
  xe_u32(e, type);
  xe_u32(e, st->mode);
  xe_u32(e, st->nlink ? st->nlink : 1u);
  xe_u32(e, st->uid);
  xe_u32(e, st->gid);
  xe_u64(e, size);
  xe_u64(e, size);  // used
  xe_u32(e, 0);     // rdev
  xe_u32(e, 0);
  xe_u64(e, exp ? exp->fsid : 0u);
  xe_u64(e, st->fileid);
  xe_u32(e, static_cast<uint32_t>(st->atime));
  xe_u32(e, 0);
  if (st->mtime_ns != 0) {
    // Floor division, so that a time before 1970 with a fraction keeps its
    // nanoseconds below one second: -0.5 s is second -1 plus 500,000,000.
    int64_t sec = st->mtime_ns / 1000000000;
    int64_t nsec = st->mtime_ns % 1000000000;
    if (nsec < 0) {
      sec -= 1;
      nsec += 1000000000;
    }
    xe_u32(e, static_cast<uint32_t>(sec));
    xe_u32(e, static_cast<uint32_t>(nsec));
  } else {
    xe_u32(e, static_cast<uint32_t>(st->mtime));
    xe_u32(e, 0);
  }
  xe_u32(e, static_cast<uint32_t>(st->ctime));
  xe_u32(e, 0);
}

void put_post_op_attr(xdr_enc* e, const plat_statbuf* st, const export_rec* exp) {
  xe_bool(e, 1);
  put_fattr3(e, st, exp);
}
