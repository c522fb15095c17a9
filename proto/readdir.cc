// READDIR and READDIRPLUS: ".", ".." and the folder's entries in the order
// the platform enumerates them, cookies as positions in the listing's
// snapshot of the folder, a verifier that names the snapshot (a digest of
// the folder's identity, size and modification time when it was taken), and
// byte budgets.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fh/fh.h"
#include "fh/hold.h"
#include "proto/dircache.h"
#include "proto/nfs.h"
#include "state/config.h"
#include "util/sha256.h"

namespace {

constexpr uint64_t COOKIE_DOT = 0x100000000ull;
constexpr uint64_t COOKIE_DOTDOT = 0x100000001ull;
constexpr uint64_t COOKIE_FIRST = 0x100000002ull;
constexpr uint32_t READDIR_REPLY_FIXED = 132;
constexpr uint32_t kDircountCap = 0x100000;
constexpr uint32_t kMaxcountCap = 0x400000;

struct budget {
  uint32_t dircount;
  uint32_t maxcount;
};

uint32_t pad_len(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t{3}); }

// Appends one entry when it fits both budgets; 0 when appended, 1 otherwise.
// The entry is written in one piece at its place in the reply.
int dir_emit(xdr_enc* e, const export_rec* exp, const char* name, uint64_t cookie, const plat_statbuf* st,
             int plus, const fh_digest_prefix* pre, const char* rel, budget* b) {
  const size_t nlen = strlen(name);
  const uint32_t p = pad_len(nlen);
  const uint32_t max_cost = (plus ? 152u : 24u) + p;
  const uint32_t dir_cost = 20u + p;
  if (max_cost > b->maxcount) return 1;
  if (plus && dir_cost > b->dircount) return 1;
  unsigned char* w = sb_reserve(e->sb, max_cost);
  if (w == nullptr) {
    e->err = 1;
    return 1;
  }
  unsigned char* at = w;
  be32_put(at, 1);  // value follows
  be64_put(at + 4, st->fileid);
  be32_put(at + 12, static_cast<uint32_t>(nlen));
  memcpy(at + 16, name, nlen);
  memset(at + 16 + nlen, 0, p - nlen);
  at += 16 + p;
  be64_put(at, cookie);
  at += 8;
  if (plus) {
    be32_put(at, 1);  // attributes follow
    fattr3_write(at + 4, st, exp);
    at += 4 + FATTR3_SIZE;
    be32_put(at, 1);  // handle follows
    be32_put(at + 4, FH_SIZE);
    fh_build_prefixed(pre, rel, at + 8, FH_SIZE);
    fh_dbg("entry", at + 8, rel, st->fileid);
    at += 8 + FH_SIZE;
  }
  sb_commit(e->sb, static_cast<size_t>(at - w));
  b->maxcount -= max_cost;
  if (plus) b->dircount -= dir_cost;
  return 0;
}

void put_le64(unsigned char* d, uint64_t v) {
  for (int i = 0; i < 8; i++) d[i] = static_cast<unsigned char>(v >> (8 * i));
}

void end_list(xdr_enc* e, int eof) {
  xe_bool(e, 0);
  xe_bool(e, eof);
}

// A single-file export listed as a folder holding just the file. Like every
// cookie, those of "." and ".." resume after their entry.
void list_file_export(xdr_enc* e, const fh_resolved& r, uint64_t cookie, uint32_t maxcount, int plus) {
  fh_digest_prefix pre;
  fh_prefix_init(&pre, r.idx, r.exp.gen);
  const budget fresh{kDircountCap, maxcount - READDIR_REPLY_FIXED};
  budget b = fresh;
  if (cookie > COOKIE_DOTDOT) {
    end_list(e, 1);
    return;
  }
  if (cookie == 0 && dir_emit(e, &r.exp, ".", COOKIE_DOT, &r.st, plus, &pre, r.rel, &b) != 0) {
    end_list(e, 0);
    return;
  }
  if (cookie != COOKIE_DOTDOT && dir_emit(e, &r.exp, "..", COOKIE_DOTDOT, &r.st, plus, &pre, "", &b) != 0) {
    end_list(e, 0);
    return;
  }
  b = fresh;
  const int fits = dir_emit(e, &r.exp, fh_file_name(r.exp), COOKIE_FIRST, &r.st, plus, &pre, r.rel, &b) == 0;
  end_list(e, fits ? 1 : 0);
}

// Where a listing's next call resumes and how many entries the reply before
// it held; count 0 when the reply reached the folder's end.
struct next_page {
  uint64_t pos = 0;
  size_t count = 0;
};

// A cookie resumes after the entry that carried it: that of "." with "..",
// that of ".." with the first enumerated entry. A reply that cannot hold even
// "." ends with eof 0, so that the client neither loops on one entry nor
// takes the folder for empty. Positions are those of the listing's snapshot
// (null when the folder could not be enumerated). When the reply ends
// before the folder's end, *next says where the next call resumes.
void list_folder(xdr_enc* e, const fh_resolved& r, uint64_t cookie, const dir_names* names, const unsigned char verf[8],
                 budget b, int plus, next_page* next) {
  fh_digest_prefix pre;
  fh_prefix_init(&pre, r.idx, r.exp.gen);
  uint64_t skip = 0;
  if (cookie >= COOKIE_FIRST) skip = cookie - COOKIE_DOTDOT;
  if (cookie == 0 && dir_emit(e, &r.exp, ".", COOKIE_DOT, &r.st, plus, &pre, r.rel, &b) != 0) {
    end_list(e, 0);
    return;
  }
  if (cookie == 0 || cookie == COOKIE_DOT) {
    // ".." always describes the export root.
    plat_statbuf rst;
    if (hold_stat(export_local(r.exp), "", &rst) == 0) {
      (void)dir_emit(e, &r.exp, "..", COOKIE_DOTDOT, &rst, plus, &pre, "", &b);
    }
  }
  // Entries are described relative to the folder opened by the same
  // link-refusing walk that resolved it, through the enumeration the
  // listing keeps between its calls; names that have gone since the
  // snapshot was taken are left out.
  dir_ahead ahead;
  plat_dir* d = names ? dircache_cursor_take(r.exp, r.rel, r.st, verf, &ahead) : nullptr;
  if (d == nullptr) {
    end_list(e, 1);
    return;
  }
  const uint64_t now = plat_now_ms();
  char rel[REL_MAX];
  for (uint64_t pos = skip; pos < names->count(); pos++) {
    const char* name = names->name(pos);
    if (fh_join_rel(r.rel, name, rel) != 0) continue;
    plat_statbuf st;
    const int known = ahead.take(pos, now, &st);
    if (known == 0 || (known < 0 && plat_dir_stat(d, name, &st) != 0)) continue;
    if (dir_emit(e, &r.exp, name, COOKIE_FIRST + pos, &st, plus, &pre, rel, &b) != 0) {
      dircache_cursor_put(r.exp, r.rel, verf, d, &ahead);
      end_list(e, 0);
      next->pos = pos;
      next->count = pos > skip ? pos - skip : 1;
      return;
    }
  }
  plat_closedir(d);
  end_list(e, 1);
}

// The read-ahead a connection owes the listing it has just answered: set by
// the listing call, done by nfs_read_ahead once the reply has gone out.
struct owed_read_ahead {
  bool owed = false;
  export_rec exp;
  std::string rel;
  plat_statbuf st{};
  unsigned char verf[8] = {};
  std::shared_ptr<const dir_names> names;
  next_page next;
};
thread_local owed_read_ahead t_owed;

}  // namespace

void nfs_read_ahead() {
  owed_read_ahead& o = t_owed;
  if (!o.owed) return;
  o.owed = false;
  dircache_read_ahead(o.exp, o.rel.c_str(), o.st, o.verf, *o.names, o.next.pos, o.next.count);
  o.names.reset();
}

void dir_verf(const export_rec* exp, const plat_statbuf* st, unsigned char out[8]) {
  unsigned char in[32];
  put_le64(in, exp ? exp->fsid : 0u);
  put_le64(in + 8, st->fileid);
  put_le64(in + 16, static_cast<uint64_t>(st->size));
  put_le64(in + 24, static_cast<uint64_t>(st->mtime_ns));
  unsigned char d[32];
  nfss_sha_buf(in, sizeof in, d);
  memcpy(out, d, 8);
}

namespace {

// READDIR (plus 0) and READDIRPLUS (plus 1).
void readdir_any(xdr_cursor* args, xdr_enc* body, uint32_t* status, int plus) {
  size_t fh_len = 0;
  const unsigned char* fh = xd_opaque(args, &fh_len, NFS3_FHSIZE);
  if (fh == nullptr) {
    *status = NFS3ERR_BADHANDLE;
    return;
  }
  t_owed.owed = false;
  fh_resolved r;
  if (nfs_resolve(fh, fh_len, &r, status) != 0) return;
  const uint64_t cookie = xd_u64(args);
  const unsigned char* verf = xd_opaque_fixed(args, 8);
  uint32_t dircount = 0;
  uint32_t maxcount = 0;
  if (plus) dircount = xd_u32(args);
  maxcount = xd_u32(args);
  if (!xd_ok(args)) {
    *status = NFS3ERR_INVAL;
    return;
  }
  if (debug_rdp()) {
    if (plus) {
      fprintf(stderr, "RDPDBG plus dircount=%u maxcount=%u cookie=%llu verf=%02x%02x%02x%02x%02x%02x%02x%02x\n",
              dircount, maxcount, static_cast<unsigned long long>(cookie), verf[0], verf[1], verf[2], verf[3],
              verf[4], verf[5], verf[6], verf[7]);
    } else {
      fprintf(stderr, "RDPDBG dir maxcount=%u cookie=%llu verf=%02x%02x%02x%02x%02x%02x%02x%02x\n", maxcount,
              static_cast<unsigned long long>(cookie), verf[0], verf[1], verf[2], verf[3], verf[4], verf[5], verf[6],
              verf[7]);
    }
  }
  if (dircount > kDircountCap) dircount = kDircountCap;
  if (maxcount > kMaxcountCap) maxcount = kMaxcountCap;
  unsigned char now[8];
  dir_verf(&r.exp, &r.st, now);
  // A listing starts on a snapshot of the folder and goes on on it, named by
  // the verifier its replies carry, for as long as the snapshot is kept.
  dir_snapshot snap;
  memcpy(snap.verf, now, 8);
  if (!r.exp.is_file) {
    if (!r.st.is_dir || r.st.is_link) {
      *status = NFS3ERR_NOTDIR;
      return;
    }
    if (cookie == 0) {
      dircache_start(r.exp, r.rel, r.st, now, &snap);
    } else if (dircache_resume(r.exp, r.rel, r.st, now, verf, &snap) != 0) {
      *status = NFS3ERR_BADCOOKIE;
      return;
    }
    if (snap.names == nullptr) {
      // The folder could not be enumerated: one the server may not read is
      // refused as such, never listed as empty.
      *status = nfs_open_failure_status();
      return;
    }
  }
  xe_u32(body, NFS3_OK);
  put_post_op_attr(body, &r.st, &r.exp);
  xe_opaque_fixed(body, snap.verf, 8);
  if (maxcount < READDIR_REPLY_FIXED) {
    end_list(body, 0);
    return;
  }
  if (r.exp.is_file) {
    list_file_export(body, r, cookie, maxcount, plus);
  } else {
    next_page next;
    list_folder(body, r, cookie, snap.names.get(), snap.verf, budget{dircount, maxcount - READDIR_REPLY_FIXED}, plus,
                &next);
    if (next.count > 0) {
      owed_read_ahead& o = t_owed;
      o.owed = true;
      o.exp = std::move(r.exp);
      o.rel = r.rel;
      o.st = r.st;
      memcpy(o.verf, snap.verf, 8);
      o.names = std::move(snap.names);
      o.next = next;
    }
  }
}

}  // namespace

void nfs_readdir(xdr_cursor* args, xdr_enc* body, uint32_t* status) { readdir_any(args, body, status, 0); }

void nfs_readdirplus(xdr_cursor* args, xdr_enc* body, uint32_t* status) { readdir_any(args, body, status, 1); }
