// Handle format, authentication and resolution.
#include "fh/fh.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fh/fh_map.h"
#include "fh/hold.h"
#include "fh/recover.h"
#include "state/config.h"
#include "util/sha256.h"
#include "util/xdr.h"

int fh_build(const char* export_path, const char* rel, unsigned char* out, int32_t cap) {
  if (export_path == nullptr) return -1;
  export_rec snap;
  const int idx = exports_snapshot_by_path(export_path, &snap);
  if (idx < 0) return -1;
  return fh_build_idx(idx, &snap, rel, out, cap);
}

int fh_open(const unsigned char* fh, int len, export_rec* exp, char* rel, int32_t rel_cap) {
  if (fh == nullptr || exp == nullptr || len != FH_SIZE) return -1;
  if (be32_get(fh) != FH_MAGIC) return -4;
  const uint32_t idx = be32_get(fh + 4);
  const uint64_t gen = be64_get(fh + 8);
  {
    const exports_locked table;
    const export_rec* recs = table.recs;
    const bool ok = idx < static_cast<uint32_t>(table.count) && !recs[idx].removed && recs[idx].gen == gen;
    if (!ok) return -4;
    *exp = recs[idx];
  }
  if (rel != nullptr && rel_cap > 0) {
    rel[0] = 0;
    if (fh_recall(fh, static_cast<int32_t>(idx), gen, rel, rel_cap) != 0 &&
        fh_recover(fh, static_cast<int32_t>(idx), *exp, rel, rel_cap) != 0) {
      rel[0] = 0;
      return -4;
    }
  }
  return 0;
}

int fh_check_rel(const unsigned char* fh, const export_rec* e, const char* rel) {
  if (fh == nullptr || e == nullptr || rel == nullptr) return -1;
  unsigned char d[32];
  fh_digest(static_cast<int32_t>(be32_get(fh + 4)), e->gen, rel, strlen(rel), d);
  return memcmp(d, fh + 16, 16) == 0 ? 0 : -1;
}

std::string fh_host_path(const export_rec& e, const char* rel) {
  std::string host = export_local(e);
  if (rel[0] != 0 && !e.is_file) {
    host += '/';
    host += rel;
  }
  return host;
}

fh_result fh_resolve_handle(const unsigned char* fh, size_t len, fh_resolved* r) {
  r->host.clear();
  r->st_ok = 0;
  r->rel[0] = 0;
  if (len != FH_SIZE) return FH_BAD_LENGTH;
  if (fh_open(fh, FH_SIZE, &r->exp, r->rel, REL_MAX) != 0 || fh_check_rel(fh, &r->exp, r->rel) != 0) {
    return FH_STALE;
  }
  r->idx = static_cast<int32_t>(be32_get(fh + 4));
  r->host = fh_host_path(r->exp, r->rel);
  return FH_RESOLVED;
}

fh_result fh_resolve_stat(const unsigned char* fh, fh_resolved* r) {
  // The path is walked from the export's root (a file export's folder)
  // without following any link but the last component, which is described
  // itself: a handle never reaches outside its export, even when a folder
  // was replaced by a link. What a recent walk opened is used instead where
  // it is proven to lie on that path still.
  const fh_walk w = fh_walk_of(r->exp, r->rel);
  if (hold_stat(w.root.c_str(), w.rel, &r->st) != 0) {
    r->host.clear();
    if (plat_last_failure_transient()) return FH_RETRY;
    fh_dbg("resolve-NOENT", fh, r->rel, 0);
    return FH_GONE;
  }
  r->st_ok = 1;
  fh_dbg("resolve", fh, r->rel, r->st.fileid);
  return FH_RESOLVED;
}

fh_result fh_resolve(const unsigned char* fh, size_t len, fh_resolved* r) {
  const fh_result h = fh_resolve_handle(fh, len, r);
  return h != FH_RESOLVED ? h : fh_resolve_stat(fh, r);
}

fh_walk fh_walk_of(const export_rec& e, const char* rel) {
  if (!e.is_file) return fh_walk{export_local(e), rel};
  // The folder ends at the last "/" of the canonical path or, in a path
  // without one (the Windows form writes "\"), at the last "\". A "\" after
  // the last "/" is part of a POSIX file's name.
  const char* local = export_local(e);
  const char* sep = strrchr(local, '/');
  if (sep == nullptr) sep = strrchr(local, '\\');
  if (sep == nullptr) return fh_walk{"", local};  // no folder: the walk refuses it
  // The folder keeps its separator when nothing, or only a drive, would be
  // left of it without: "/f" walks from "/", "C:\f" from "C:\".
  size_t n = static_cast<size_t>(sep - local);
  if (n == 0 || local[n - 1] == ':') n++;
  return fh_walk{std::string(local, n), sep + 1};
}

int fh_clamp(const char* in, char* out, int32_t cap) {
  if (out == nullptr || in == nullptr || cap <= 0) return -1;
  out[0] = 0;
  size_t olen = 0;
  const char* p = in;
  for (;;) {
    while (*p == '/' || *p == '\\') p++;
    if (*p == 0) return 0;
    const char* s = p;
    while (*p != 0 && *p != '/' && *p != '\\') p++;
    const size_t n = static_cast<size_t>(p - s);
    if (n >= 256) return -6;
    if (n == 1 && s[0] == '.') continue;
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      if (olen == 0) continue;
      char* slash = strrchr(out, '/');
      olen = slash ? static_cast<size_t>(slash - out) : 0;
      out[olen] = 0;
      continue;
    }
    if (olen + n + 2 > static_cast<size_t>(cap)) return -6;
    if (olen > 0) out[olen++] = '/';
    memcpy(out + olen, s, n);
    olen += n;
    out[olen] = 0;
  }
}

void fh_dbg(const char* tag, const unsigned char* fh, const char* rel, uint64_t fileid) {
  if (!debug_fh()) return;
  fprintf(stderr, "FHDBG %s mac=%02x%02x%02x%02x rel=%s fileid=%llu\n", tag, fh[16], fh[17], fh[18], fh[19], rel,
          static_cast<unsigned long long>(fileid));
}

const char* fh_file_name(const export_rec& e) {
  const char* l = export_local(e);
  const char* a = strrchr(l, '/');
  const char* b = strrchr(l, '\\');
  const char* last = a == nullptr ? b : (b == nullptr || a > b ? a : b);
  return last ? last + 1 : l;
}
