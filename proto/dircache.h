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

// A listing's next entries described ahead of its next call: a connection
// that has sent a reply ending before the folder's end describes the names
// that come next while that reply is on its way and the client reads it, so
// that the call resuming there finds them described. Each description was
// read after the reply before that call was sent, and is used only while it
// counts as current (PLAT_DESC_FRESH_MS).
struct dir_ahead {
  uint64_t pos = 0;      // the snapshot position of the first description
  uint64_t read_ms = 0;  // when they were read; 0 when there are none
  std::vector<plat_statbuf> st;
  std::vector<unsigned char> found;  // 0 where the name had gone
  // The identity of the kept enumeration these came with (its folder's
  // file system and file number); kept 0 for one opened now.
  int kept = 0;
  uint64_t dev = 0;
  uint64_t fileid = 0;
  // The description of position p when one was read ahead and is still
  // fresh at now: 1 with *out set, 0 when the name had gone; -1 when none.
  int take(uint64_t p, uint64_t now, plat_statbuf* out) const {
    if (read_ms == 0 || now - read_ms > PLAT_DESC_FRESH_MS || p < pos || p - pos >= st.size()) return -1;
    if (found[p - pos] == 0) return 0;
    *out = st[p - pos];
    return 1;
  }
};
// The enumeration a listing describes its entries from, kept open between
// the listing's calls, so that a call resuming where the last one ended
// finds its names there instead of enumerating the folder from the start
// again. One is kept for HOLD_AGE_MS after its last use (so descriptions
// read ahead with it are that fresh), a few at most. A kept enumeration is
// taken only when its folder is the one the call found at the folder's path
// now (st, same file id), so a folder moved away is never listed from.
// Returns the kept enumeration of the snapshot verf names, or else one
// opened now by the link-refusing walk; null when the folder cannot be
// opened. With `ahead`, the descriptions read ahead with a kept enumeration
// come along (see dircache_read_ahead); none otherwise.
plat_dir* dircache_cursor_take(const export_rec& e, const char* rel, const plat_statbuf& st,
                               const unsigned char verf[8], dir_ahead* ahead = nullptr);
// Keeps d (taken from dircache_cursor_take for rel) for the listing's next
// call. With `taken`, the ahead d came with: a kept enumeration's identity
// is known then, and is not read again.
void dircache_cursor_put(const export_rec& e, const char* rel, const unsigned char verf[8], plat_dir* d,
                         const dir_ahead* taken = nullptr);
// Describes names[pos, pos + count) of the listing whose kept enumeration
// verf names, through that enumeration, for the listing's next call. Does
// nothing when the enumeration is no longer kept.
void dircache_read_ahead(const export_rec& e, const char* rel, const plat_statbuf& st, const unsigned char verf[8],
                         const dir_names& names, uint64_t pos, size_t count);
// Closes the kept enumerations past their age (every one when `all` is
// set), like hold_sweep.
void dircache_sweep(int all);
