// Big-endian access and the XDR codec over byte buffers. No locks and no
// global state; each encoder and cursor has one owner and is not shared
// between threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/sbuf.h"

inline void be32_put(unsigned char* d, uint32_t v) {
  d[0] = static_cast<unsigned char>(v >> 24);
  d[1] = static_cast<unsigned char>(v >> 16);
  d[2] = static_cast<unsigned char>(v >> 8);
  d[3] = static_cast<unsigned char>(v);
}
inline void be64_put(unsigned char* d, uint64_t v) {
  be32_put(d, static_cast<uint32_t>(v >> 32));
  be32_put(d + 4, static_cast<uint32_t>(v));
}
inline uint32_t be32_get(const unsigned char* s) {
  return (uint32_t{s[0]} << 24) | (uint32_t{s[1]} << 16) | (uint32_t{s[2]} << 8) | uint32_t{s[3]};
}
inline uint64_t be64_get(const unsigned char* s) {
  return (uint64_t{be32_get(s)} << 32) | be32_get(s + 4);
}

// XDR encoder: appends to a buffer it does not own. Each function returns the
// result of its last append (0 or -1); a failed append also sets the sticky
// err flag, so a caller can test once after building a whole reply.
struct xdr_enc {
  sbuf* sb;
  int err = 0;
};
int xe_u32(xdr_enc* e, uint32_t v);
int xe_u64(xdr_enc* e, uint64_t v);
int xe_bool(xdr_enc* e, int v);
int xe_opaque_fixed(xdr_enc* e, const void* src, size_t n);
int xe_opaque(xdr_enc* e, const void* src, size_t n);
int xe_string(xdr_enc* e, const char* s);

// XDR decoder over a received record, with a sticky error flag. Views point
// into the record and live as long as it does.
struct xdr_cursor {
  const unsigned char* data;
  size_t len;
  size_t pos;
  int32_t err;
};
void xd_init(xdr_cursor* c, const void* data, size_t len);
int xd_ok(const xdr_cursor* c);
uint32_t xd_u32(xdr_cursor* c);
uint64_t xd_u64(xdr_cursor* c);
int xd_bool(xdr_cursor* c);
const unsigned char* xd_opaque_fixed(xdr_cursor* c, size_t n);
const unsigned char* xd_opaque(xdr_cursor* c, size_t* len_out, size_t max);
