// Folder enumerations remembered between listing calls: the snapshot a
// listing started on, so that the listing goes on over many replies on the
// same names in the same order even while the folder changes, and resumes
// where its last reply ended without enumerating again. Each snapshot is
// named by the cookie verifier its listing carries; it is kept until it is
// the least recently used one beyond the bounds. Shared by all connections
// under one leaf lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fh/hold.h"
#include "plat/plat.h"
#include "state/exports.h"

// The names of one folder in enumeration order.
struct dir_names {
  std::string blob;             // every name followed by a zero byte
  std::vector<uint32_t> start;  // where each name begins in blob
  size_t count() const { return start.size(); }
  const char* name(size_t i) const { return blob.data() + start[i]; }
};

constexpr size_t DIRCACHE_MAX_FOLDERS = 32;       // snapshots kept
constexpr size_t DIRCACHE_MAX_BYTES = 16u << 20;  // names and offsets of all snapshots

// What one listing call reads: the snapshot's names (null when the folder
// cannot be enumerated) and the verifier that names the snapshot.
struct dir_snapshot {
  std::shared_ptr<const dir_names> names;
  unsigned char verf[8];
};

// Snapshots and enumerations are kept per folder: its export, its path, its
// file system and its file number (file numbers repeat across the file
// systems one export may span).
// Starts a listing of the folder rel of export e, whose status is st and
// whose verifier is now: enumerates the folder and keeps the snapshot under
// now. When a kept snapshot of the folder already has that verifier, the
// same names share it, and other names (a change that left the folder's
// size and time as they were) get a verifier of their own.
void dircache_start(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    dir_snapshot* out);
// Goes on with a listing whose client sent verf: 0 with the kept snapshot it
// names; else, when verf is the folder's verifier now (a snapshot too large
// to keep, or dropped, of a folder that has not changed since), 0 with the
// folder enumerated now; else -1, the snapshot being gone.
int dircache_resume(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char now[8],
                    const unsigned char verf[8], dir_snapshot* out);
// Empties the cache.
void dircache_clear();

// The enumeration a listing describes its entries from, kept open between
// the listing's calls, so that a call resuming where the last one ended
// finds its names there instead of enumerating the folder from the start
// again. One is kept for HOLD_AGE_MS after its last use (so descriptions
// read ahead with it are that fresh), a few at most. A kept enumeration is
// taken only when its folder is the one the call found at the folder's path
// now (st, same file id), so a folder moved away is never listed from.
// Returns the kept enumeration of the snapshot verf names, or else one
// opened now by the link-refusing walk; null when the folder cannot be
// opened.
plat_dir* dircache_cursor_take(const export_rec& e, const char* rel, const plat_statbuf& st,
                               const unsigned char verf[8]);
// Keeps d (taken from dircache_cursor_take for rel) for the listing's next call.
void dircache_cursor_put(const export_rec& e, const char* rel, const unsigned char verf[8], plat_dir* d);
// Closes the kept enumerations past their age (every one when `all` is
// set), like hold_sweep.
void dircache_sweep(int all);
