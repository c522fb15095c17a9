// Growable byte buffer with a zero byte kept after its contents, and owned
// C strings. No locks and no global state; each buffer has one owner and is
// not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct sbuf {
  unsigned char* data;  // owned; null until the first append
  size_t len;
  size_t cap;
};

void sb_init(sbuf* b);
void sb_free(sbuf* b);
void sb_reset(sbuf* b);
// Appending functions return 0, or -1 with the buffer exactly as before.
int sb_putc(sbuf* b, int c);
int sb_putn(sbuf* b, const void* src, size_t n);
int sb_puts(sbuf* b, const char* s);
int sb_printf(sbuf* b, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Makes room for n more content bytes and returns where they go (the caller
// writes them and then calls sb_commit with the count written), or null when
// the buffer cannot grow.
unsigned char* sb_reserve(sbuf* b, size_t n);
// Adds n bytes written after sb_reserve to the contents.
void sb_commit(sbuf* b, size_t n);

// Owns an sbuf for the life of a scope.
struct sbuf_owner {
  sbuf b{nullptr, 0, 0};
  sbuf_owner() = default;
  ~sbuf_owner() { sb_free(&b); }
  sbuf_owner(const sbuf_owner&) = delete;
  sbuf_owner& operator=(const sbuf_owner&) = delete;
};

// A heap copy of s (free with free()), or null for null or out of memory.
char* x_strdup(const char* s);

// Owns a malloc'd text for the life of a scope.
struct cstr_free {
  void operator()(char* p) const;
};
using owned_cstr = std::unique_ptr<char, cstr_free>;
