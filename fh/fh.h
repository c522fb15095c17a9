// File handles: opening and checking an incoming handle (with recovery of
// a path the handle path map no longer holds), and resolution into export
// snapshot and index, relative path, host path and file status; the handle
// format itself is in fh_format.h. Safe on any number of threads; takes the
// export table's lock and then the map's, never the other way round.
#pragma once

#include <cstdint>
#include <string>

#include "fh/fh_format.h"
#include "plat/plat.h"
#include "state/exports.h"

// fh_build_idx for the first live export with that export path; -1 if none.
int fh_build(const char* export_path, const char* rel, unsigned char* out, int32_t cap);
// 0 with *exp (a snapshot) and, when rel is given, the remembered path; -1
// for a bad length or missing arguments; -4 for a stale or unknown handle.
int fh_open(const unsigned char* fh, int len, export_rec* exp, char* rel, int32_t rel_cap);
// 0 when the handle's digest is that of the export (at the index the handle
// names) and path, else -1.
int fh_check_rel(const unsigned char* fh, const export_rec* e, const char* rel);

struct fh_resolved {
  export_rec exp;
  int32_t idx;  // the export's slot, as the handle names it
  char rel[REL_MAX];
  std::string host;
  plat_statbuf st;
  int st_ok;
};

// The outcomes of resolving a handle; the NFS service maps each to its
// nfsstat3.
enum fh_result {
  FH_RESOLVED,    // *r is filled in
  FH_BAD_LENGTH,  // not a handle of this server's size
  FH_STALE,       // no live export or known path behind it
  FH_GONE,        // the file is gone, or its path now crosses a symbolic link
  FH_RETRY,       // the file system could not be asked for want of descriptors or memory
};

// Resolves a handle into *r (host path and status cleared unless resolved).
fh_result fh_resolve(const unsigned char* fh, size_t len, fh_resolved* r);
// fh_resolve in two steps: the handle alone (export, relative and host
// paths; FH_BAD_LENGTH or FH_STALE), then the status of what it names
// (FH_GONE or FH_RETRY).
fh_result fh_resolve_handle(const unsigned char* fh, size_t len, fh_resolved* r);
fh_result fh_resolve_stat(const unsigned char* fh, fh_resolved* r);
// Where the link-refusing walk of the platform layer (plat_*_beneath)
// starts and what it walks to reach rel in the export: a folder export's
// local path and rel; for a single-file export, whatever rel is, the
// file's folder and its name on the host, split from the canonical local
// path stored when the export was added. `rel` points into the caller's text or into
// the export's local path, and lives as long as they do.
struct fh_walk {
  std::string root;
  const char* rel;
};
fh_walk fh_walk_of(const export_rec& e, const char* rel);
// The host path of a relative path in an export: the local path, plus "/"
// and rel unless rel is empty or the export is a single file.
std::string fh_host_path(const export_rec& e, const char* rel);
// Normalises a control-interface path: 0, -1 for bad arguments, -6 when a
// component is 256 bytes or longer or the result does not fit.
int fh_clamp(const char* in, char* out, int32_t cap);
// Writes an "FHDBG" line to standard error when VORLIX_FHDBG is set.
void fh_dbg(const char* tag, const unsigned char* fh, const char* rel, uint64_t fileid);
// The single entry name of a file export: the local path after its last '/'
// or '\'.
const char* fh_file_name(const export_rec& e);
