// Handle control operations: the handle for a path inside an export, and
// whether a handle is the live root handle of an export.
#include "server/fh_api.h"

#include <cstring>

#include "fh/fh.h"
#include "state/config.h"
#include "state/exports.h"
#include "state/last_error.h"

int fh_for_path(const char* export_path, const char* rel, unsigned char* out, int out_size) {
  if (export_path == nullptr || rel == nullptr || out == nullptr || out_size < FH_SIZE) {
    set_error(-1, "bad argument");
    return -1;
  }
  // Held to the end, so the export cannot be removed or its slot reused in
  // between; building takes it again (it is re-entrant).
  const exports_locked table;
  const int idx = exports_find(export_path);
  if (idx < 0) {
    set_error(-4, "no such export");
    return -4;
  }
  char norm[REL_MAX];
  if (fh_clamp(rel, norm, REL_MAX) != 0) {
    set_error(-1, "path escapes the export");
    return -1;
  }
  const export_rec& e = table.recs[idx];
  if (e.is_file) {
    const char* name = fh_file_name(e);
    if (norm[0] != 0 && strcmp(norm, name) != 0) {
      set_error(-4, "a file export has one entry: %s", name);
      return -4;
    }
    norm[0] = 0;
  }
  fh_build_idx(idx, &e, norm, out, out_size);
  set_error(0, "fh built");
  return FH_SIZE;
}

int fh_resolve_root(const unsigned char* fh, int fh_len, char* out, int out_size) {
  if (fh == nullptr || out == nullptr || out_size <= 0) {
    set_error(-1, "bad argument");
    return -1;
  }
  export_rec exp;
  char rel[REL_MAX];
  if (fh_open(fh, fh_len, &exp, rel, REL_MAX) != 0) {
    set_error(-4, "stale or unknown handle");
    return -4;
  }
  if (fh_check_rel(fh, &exp, "") == 0) {
    out[0] = 0;
    set_error(0, "root handle live");
    return 0;
  }
  set_error(-4, "non-root handle: the path is not carried");
  return -4;
}
