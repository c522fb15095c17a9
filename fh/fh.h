// File handles: the 32-byte keyed handle format, building (which remembers
// the path in the handle path map), opening and checking, and resolution of
// an incoming handle into export snapshot, relative path, host path and
// status. Safe on any number of threads; takes the export table's lock and
// then the map's, never the other way round.
#pragma once

#include <cstdint>
#include <string>

#include "plat/plat.h"
#include "server/exports.h"
#include "util/sha256.h"

constexpr int FH_SIZE = 32;
constexpr uint32_t FH_MAGIC = 0x51544831;  // "QTH1"
constexpr int REL_MAX = 1024;              // relative path buffer, terminator included
// nfsstat3 of a call that failed for want of a resource that may come back
// (descriptors, memory): the client tries again later.
constexpr uint32_t NFS3ERR_JUKEBOX = 10008;

// Computes the 32-byte handle digest for an export index, generation and path.
void fh_digest(int32_t idx, uint64_t gen, const char* rel, size_t rel_len, unsigned char out[32]);
// The part of the handle digest that is the same for every path of one export
// index and generation (the secret and the fixed fields), absorbed once, so
// that the handles of a whole listing take the secret's lock once. A plain
// value owned by its caller; it holds the secret as it was when made.
struct fh_digest_prefix {
  int32_t idx;
  uint64_t gen;
  sha256_ctx c;
};
void fh_prefix_init(fh_digest_prefix* p, int32_t idx, uint64_t gen);
// Writes the handle and remembers its path; 32, or -1 for missing arguments
// or cap < 32 (nothing written).
int fh_build_idx(int32_t idx, const export_rec* e, const char* rel, unsigned char* out, int32_t cap);
// fh_build_idx for the export index and generation the prefix was made for.
int fh_build_prefixed(const fh_digest_prefix* p, const char* rel, unsigned char* out, int32_t cap);
// fh_build_idx for the first live export with that export path; -1 if none.
int fh_build(const char* export_path, const char* rel, unsigned char* out, int32_t cap);
// 0 with *exp (a snapshot) and, when rel is given, the remembered path; -1
// for a bad length or missing arguments; -4 for a stale or unknown handle.
int fh_open(const unsigned char* fh, int len, export_rec* exp, char* rel, int32_t rel_cap);
// 0 when the handle's digest is that of the export and path, else -1.
int fh_check_rel(const unsigned char* fh, const export_rec* e, const char* rel);

struct fh_resolved {
  export_rec exp;
  char rel[REL_MAX];
  std::string host;
  plat_statbuf st;
  int st_ok;
};

// Resolves a handle. 0 on success; -1 with *status set to 10001 (bad
// length), 70 (stale), 5 (no host path), 2 (the file is gone, or its path
// now crosses a symbolic link) or NFS3ERR_JUKEBOX (the file system could not
// be asked for want of descriptors or memory).
int resolve_full(const unsigned char* fh, size_t len, fh_resolved* r, uint32_t* status);
// resolve_full in two steps: the handle alone (export, relative and host
// paths; status 10001 or 70), then the status of what it names (2 or
// NFS3ERR_JUKEBOX).
int resolve_handle(const unsigned char* fh, size_t len, fh_resolved* r, uint32_t* status);
int resolve_stat(const unsigned char* fh, fh_resolved* r, uint32_t* status);
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
// Writes the relative path of a name inside the folder dir_rel into out
// (REL_MAX bytes): the name alone at the root, else dir_rel "/" name.
// -1 (nothing written) when it would not fit.
int fh_join_rel(const char* dir_rel, const char* name, char out[REL_MAX]);
// Normalises a control-interface path: 0, -1 for bad arguments, -6 when a
// component is 256 bytes or longer or the result does not fit.
int fh_clamp(const char* in, char* out, int32_t cap);
// Writes an "FHDBG" line to standard error when VORLIX_FHDBG is set.
void fh_dbg(const char* tag, const unsigned char* fh, const char* rel, uint64_t fileid);
// The single entry name of a file export: the local path after its last '/'
// or '\'.
const char* fh_file_name(const export_rec& e);
// The index of the first live export with the same export path, or 0.
int fh_export_index(const export_rec& e);
