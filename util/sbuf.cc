// Byte buffer and owned C strings.
#include "util/sbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Grows the buffer so that `need` bytes fit (content plus terminator),
// doubling from 256 until at least `want` bytes are there.
int sb_grow(sbuf* b, size_t need, size_t want) {
  if (need <= b->cap) return 0;
  size_t cap = b->cap ? b->cap : 256;
  while (cap < want) {
    if (cap > (SIZE_MAX >> 1)) return -1;
    cap <<= 1;
  }
  void* p = realloc(b->data, cap);
  if (p == nullptr) return -1;
  b->data = static_cast<unsigned char*>(p);
  b->cap = cap;
  return 0;
}

}  // namespace

void sb_init(sbuf* b) {
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

void sb_free(sbuf* b) {
  free(b->data);
  sb_init(b);
}

void sb_reset(sbuf* b) {
  b->len = 0;
  if (b->data != nullptr) b->data[0] = 0;
}

int sb_putc(sbuf* b, int c) {
  if (sb_grow(b, b->len + 2, b->len + 3) != 0) return -1;
  b->data[b->len++] = static_cast<unsigned char>(c);
  b->data[b->len] = 0;
  return 0;
}

int sb_putn(sbuf* b, const void* src, size_t n) {
  if (n > SIZE_MAX - b->len - 2) return -1;
  if (sb_grow(b, b->len + n + 1, b->len + n + 2) != 0) return -1;
  if (n) memcpy(b->data + b->len, src, n);
  b->len += n;
  b->data[b->len] = 0;
  return 0;
}

unsigned char* sb_reserve(sbuf* b, size_t n) {
  if (n > SIZE_MAX - b->len - 2) return nullptr;
  if (sb_grow(b, b->len + n + 1, b->len + n + 2) != 0) return nullptr;
  return b->data + b->len;
}

void sb_commit(sbuf* b, size_t n) {
  b->len += n;
  b->data[b->len] = 0;
}

int sb_puts(sbuf* b, const char* s) {
  if (s == nullptr) return 0;
  return sb_putn(b, s, strlen(s));
}

int sb_printf(sbuf* b, const char* fmt, ...) {
  char tmp[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  if (n < static_cast<int>(sizeof tmp)) return sb_putn(b, tmp, static_cast<size_t>(n));
  char* big = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
  if (big == nullptr) return -1;
  va_start(ap, fmt);
  vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  int r = sb_putn(b, big, static_cast<size_t>(n));
  free(big);
  return r;
}

char* x_strdup(const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p != nullptr) memcpy(p, s, n);
  return p;
}

void cstr_free::operator()(char* p) const { free(p); }
