// The 32-byte keyed handle format: a header (magic, export index and
// generation, big-endian) and the first 16 bytes of SHA-256 over the secret,
// the header fields (little-endian) and the relative path. Building a handle
// remembers its path in the handle path map. Also the joining of relative
// paths, which every producer of handles shares. Safe on any number of
// threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/exports.h"
#include "util/sha256.h"

constexpr int FH_SIZE = 32;
constexpr uint32_t FH_MAGIC = 0x51544831;  // "QTH1"
constexpr int REL_MAX = 1024;              // relative path buffer, terminator included

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
// Writes the relative path of a name inside the folder dir_rel into out
// (REL_MAX bytes): the name alone at the root, else dir_rel "/" name.
// -1 (nothing written) when it would not fit.
int fh_join_rel(const char* dir_rel, const char* name, char out[REL_MAX]);
