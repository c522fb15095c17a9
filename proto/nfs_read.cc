// READ: the file's bytes are read straight into the reply at their final
// place, so nothing is copied after the read.
#include "fh/hold.h"
#include "proto/nfs.h"
#include "state/clients.h"
#include "state/log.h"

namespace {

// Logs a file that READ could not open, with the system's reason: at most
// one line per path and reason a minute. A shortage of descriptors is an
// event of its own, once a minute whatever the path.
void log_open_failure(uint32_t failure, const std::string& path, const char* why) {
  if (failure == NFS3ERR_JUKEBOX) {
    log_descriptors_exhausted(why);
  } else {
    log_event_limited(LOG_WARN, (path + "\n" + why).c_str(), "fs_error", {{"path", path}, {"reason", why}});
  }
}

// How often READ tries to open the file at the handle's path while what lies
// there keeps changing.
constexpr int kOpenAttempts = 4;

// Whether two looks at a path saw the same file unchanged (a file number
// alone may be reused at once by the file that replaces it).
bool same_file(const plat_statbuf& a, const plat_statbuf& b) {
  return a.fileid == b.fileid && a.size == b.size && a.mtime == b.mtime && a.mtime_ns == b.mtime_ns &&
         a.ctime == b.ctime;
}

// Opens the regular file at the handle's path for reading, into *f with its
// status in r->st; when it cannot, describes what is at the path now
// instead (r->st), or sets *status and returns -1 when nothing is. An open
// fails when the file is replaced (renamed over) between the look at its
// type and the open, so a failed open is tried again while the path names a
// different file at each look; a file that stays the same and still cannot
// be opened is refused or unreadable (*f null, *failure NFS3ERR_ACCES or
// NFS3ERR_IO), and one that never stays long enough to be opened, or a
// shortage of descriptors, is a passing condition (*failure
// NFS3ERR_JUKEBOX).
int open_for_read(const unsigned char* fh, fh_resolved* r, held_ref* f, uint32_t* failure, uint32_t* status) {
  plat_statbuf seen{};
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    // Made again after each look: the walk's texts belong to r's export.
    const fh_walk w = fh_walk_of(r->exp, r->rel);
    *f = hold_file(w.root.c_str(), w.rel, &r->st);
    if (*f != nullptr) {
      r->st_ok = 1;
      return 0;
    }
    *failure = nfs_open_failure_status();
    char why[160] = "";
    if (log_on(LOG_WARN)) plat_last_failure_text(why, sizeof why);
    if (nfs_resolved_or_status(fh_resolve_stat(fh, r), status) != 0) return -1;
    // Not a regular file, a passing shortage, or the same file twice: the
    // answer is the one for what the path names.
    if (*failure == NFS3ERR_JUKEBOX || !r->st.is_reg || (attempt > 0 && same_file(r->st, seen))) {
      if (r->st.is_reg && why[0] != 0) log_open_failure(*failure, r->host, why);
      return 0;
    }
    seen = r->st;
  }
  *failure = NFS3ERR_JUKEBOX;
  return 0;
}

}  // namespace

void nfs_read(xdr_cursor* args, xdr_enc* body, uint32_t* status) {
  size_t fh_len = 0;
  const unsigned char* fh = xd_opaque(args, &fh_len, NFS3_FHSIZE);
  if (fh == nullptr) {
    *status = NFS3ERR_BADHANDLE;
    return;
  }
  fh_resolved r;
  if (nfs_resolved_or_status(fh_resolve_handle(fh, fh_len, &r), status) != 0) return;
  // The file is opened by the same link-refusing walk that resolves
  // handles (or taken held open from a recent call, once proven to lie on
  // that path still), so a folder swapped for a link is not followed. What
  // is not a regular file is described instead, to answer as for any call.
  held_ref f;
  uint32_t open_failure = NFS3_OK;
  if (open_for_read(fh, &r, &f, &open_failure, status) != 0) return;
  const uint64_t off = xd_u64(args);
  const uint32_t count = xd_u32(args);
  if (!xd_ok(args)) {
    *status = NFS3ERR_INVAL;
    return;
  }
  if (r.st.is_dir) {
    *status = NFS3ERR_ISDIR;
    return;
  }
  if (r.st.is_link) {
    *status = NFS3ERR_IO;
    return;
  }
  if (count > READ_MAX) {
    *status = NFS3ERR_INVAL;
    return;
  }
  if (f == nullptr) {
    *status = open_failure;
    return;
  }
  sbuf* sb = body->sb;
  const size_t start = sb->len;
  xe_u32(body, NFS3_OK);
  put_post_op_attr(body, &r.st, &r.exp);
  const size_t count_at = sb->len;
  xe_u32(body, 0);  // count and eof, filled in after the read
  xe_u32(body, 0);
  xe_u32(body, 0);  // opaque length
  int64_t n = 0;
  if (body->err == 0 && count > 0) {
    unsigned char* dst = sb_reserve(sb, count + 3u);
    if (dst == nullptr) {
      body->err = 1;
    } else {
      n = plat_held_read_at(f.get(), off, dst, count);
    }
  }
  if (body->err) return;
  if (client_rec* c = clients_current()) clients_note_read(c, r.st.fileid, r.exp.path, r.rel, n);
  if (n < 0) {
    if (log_on(LOG_WARN)) {
      char why[160];
      plat_last_failure_text(why, sizeof why);
      log_open_failure(NFS3ERR_IO, r.host, why);
    }
    sb->len = start;
    sb->data[start] = 0;
    *status = NFS3ERR_IO;
    return;
  }
  const size_t pad = (4 - (static_cast<size_t>(n) & 3)) & 3;
  for (size_t i = 0; i < pad; i++) sb->data[sb->len + static_cast<size_t>(n) + i] = 0;
  sb_commit(sb, static_cast<size_t>(n) + pad);
  const uint64_t size = r.st.size < 0 ? 0u : static_cast<uint64_t>(r.st.size);
  const bool eof = off + static_cast<uint64_t>(n) >= size || off + static_cast<uint64_t>(n) < off;
  be32_put(sb->data + count_at, static_cast<uint32_t>(n));
  be32_put(sb->data + count_at + 4, eof ? 1u : 0u);
  be32_put(sb->data + count_at + 8, static_cast<uint32_t>(n));
}
