// Folder enumerations remembered between listing calls, so that a listing
// that goes on over many replies resumes where the last reply ended instead
// of enumerating the folder from its beginning each time. Keyed by the
// folder's export, file id and cookie verifier: a changed folder has a new
// verifier and is enumerated afresh. Bounded; shared by all connections
// under one leaf lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "server/exports.h"

// The names of one folder in enumeration order.
struct dir_names {
  std::string blob;             // every name followed by a zero byte
  std::vector<uint32_t> start;  // where each name begins in blob
  size_t count() const { return start.size(); }
  const char* name(size_t i) const { return blob.data() + start[i]; }
};

constexpr size_t DIRCACHE_MAX_FOLDERS = 32;
constexpr size_t DIRCACHE_MAX_BYTES = 16u << 20;  // names and offsets of all folders

// The enumeration of the folder rel of export e, whose status is st and
// verifier verf: from the cache, or enumerated now (and kept). A fresh
// listing (fresh nonzero) always enumerates now, so that it sees the folder
// as it is even when a change left its verifier as it was. Null when the
// folder cannot be opened.
std::shared_ptr<const dir_names> dircache_get(const export_rec& e, const char* rel, const plat_statbuf& st,
                                              const unsigned char verf[8], int fresh);
// Empties the cache.
void dircache_clear();
