// fattr3 encoding from a platform file status.
#include "proto/nfs.h"

void fattr3_write(unsigned char out[FATTR3_SIZE], const plat_statbuf* st, const export_rec* exp) {
  const uint32_t type = st->is_link ? NF3LNK : (st->is_dir ? NF3DIR : NF3REG);
  const uint64_t size = st->size < 0 ? 0u : static_cast<uint64_t>(st->size);
  be32_put(out, type);
  be32_put(out + 4, st->mode);
  be32_put(out + 8, st->nlink ? st->nlink : 1u);
  be32_put(out + 12, st->uid);
  be32_put(out + 16, st->gid);
  be64_put(out + 20, size);
  be64_put(out + 28, size);  // used
  be64_put(out + 36, 0);     // rdev
  be64_put(out + 44, exp ? exp->fsid : 0u);
  be64_put(out + 52, st->fileid);
  be32_put(out + 60, static_cast<uint32_t>(st->atime));
  be32_put(out + 64, 0);
  if (st->mtime_ns != 0) {
    // Floor division, so that a time before 1970 with a fraction keeps its
    // nanoseconds below one second: -0.5 s is second -1 plus 500,000,000.
    int64_t sec = st->mtime_ns / 1000000000;
    int64_t nsec = st->mtime_ns % 1000000000;
    if (nsec < 0) {
      sec -= 1;
      nsec += 1000000000;
    }
    be32_put(out + 68, static_cast<uint32_t>(sec));
    be32_put(out + 72, static_cast<uint32_t>(nsec));
  } else {
    be32_put(out + 68, static_cast<uint32_t>(st->mtime));
    be32_put(out + 72, 0);
  }
  be32_put(out + 76, static_cast<uint32_t>(st->ctime));
  be32_put(out + 80, 0);
}

void put_fattr3(xdr_enc* e, const plat_statbuf* st, const export_rec* exp) {
  unsigned char b[FATTR3_SIZE];
  fattr3_write(b, st, exp);
  xe_opaque_fixed(e, b, FATTR3_SIZE);
}

void put_post_op_attr(xdr_enc* e, const plat_statbuf* st, const export_rec* exp) {
  xe_bool(e, 1);
  put_fattr3(e, st, exp);
}
