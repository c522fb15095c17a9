// The XDR decoder and encoder and the byte buffer, driven by the input and
// checked against a plain model of the cursor. Input: one byte N, then N
// operation bytes, then the payload the operations decode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/json.h"
#include "util/xdr.h"

namespace {

size_t pad4(size_t n) { return (4 - (n & 3)) & 3; }

// The model of a cursor: where it is and whether it has failed.
struct model {
  const unsigned char* base;
  size_t len;
  size_t pos;
  bool err;
};

void expect(bool ok) {
  if (!ok) abort();
}

void same(const xdr_cursor& c, const model& m) {
  expect(c.data == m.base && c.len == m.len && c.pos == m.pos && (c.err != 0) == m.err);
  expect(c.pos <= c.len);
  expect(xd_ok(&c) == (m.err ? 0 : 1));
}

uint32_t model_u32(model* m) {
  if (m->err || m->len - m->pos < 4) {
    m->err = true;
    return 0;
  }
  const uint32_t v = be32_get(m->base + m->pos);
  m->pos += 4;
  return v;
}

const unsigned char* model_fixed(model* m, size_t n) {
  if (m->err) return nullptr;
  const size_t rem = m->len - m->pos;
  if (n > rem || pad4(n) > rem - n) {
    m->err = true;
    return nullptr;
  }
  const unsigned char* p = m->base + m->pos;
  m->pos += n + pad4(n);
  return p;
}

// Encodes values taken from the slice, decodes them again and compares.
void round_trip(const unsigned char* s, size_t n) {
  sbuf_owner b;
  xdr_enc e{&b.b};
  const uint32_t v32 = n >= 4 ? be32_get(s) : static_cast<uint32_t>(n);
  const uint64_t v64 = n >= 8 ? be64_get(s) : ~uint64_t{n};
  const std::string text(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), n));
  xe_u32(&e, v32);
  xe_u64(&e, v64);
  xe_bool(&e, static_cast<int>(n & 3));
  xe_opaque(&e, s, n);
  xe_opaque_fixed(&e, s, n);
  xe_string(&e, text.c_str());
  expect(e.err == 0 && b.b.len % 4 == 0 && b.b.data[b.b.len] == 0);
  xdr_cursor c;
  xd_init(&c, b.b.data, b.b.len);
  expect(xd_u32(&c) == v32);
  expect(xd_u64(&c) == v64);
  expect(xd_bool(&c) == ((n & 3) != 0 ? 1 : 0));
  size_t got = SIZE_MAX;
  const unsigned char* p = xd_opaque(&c, &got, n);
  expect(p != nullptr && got == n && (n == 0 || memcmp(p, s, n) == 0));
  p = xd_opaque_fixed(&c, n);
  expect(p != nullptr && (n == 0 || memcmp(p, s, n) == 0));
  got = SIZE_MAX;
  p = xd_opaque(&c, &got, text.size());
  expect(p != nullptr && got == text.size() && memcmp(p, text.data(), got) == 0);
  expect(xd_ok(&c) == 1 && c.pos == c.len);
  // One byte past the end fails and stays failed.
  xd_u32(&c);
  expect(xd_ok(&c) == 0 && xd_opaque_fixed(&c, 0) == nullptr);
}

// Reads a JSON string as json_put_string writes it; false when malformed.
bool json_read(const unsigned char* p, size_t n, std::string* out) {
  if (n < 2 || p[0] != '"' || p[n - 1] != '"') return false;
  for (size_t i = 1; i + 1 < n; i++) {
    const unsigned char c = p[i];
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') {
      out->push_back(static_cast<char>(c));
      continue;
    }
    if (++i + 1 >= n) return false;
    switch (p[i]) {
      case '"': out->push_back('"'); break;
      case '\\': out->push_back('\\'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'u': {
        if (i + 5 >= n) return false;
        char hex[5] = {static_cast<char>(p[i + 1]), static_cast<char>(p[i + 2]), static_cast<char>(p[i + 3]),
                       static_cast<char>(p[i + 4]), 0};
        out->push_back(static_cast<char>(strtol(hex, nullptr, 16)));
        i += 4;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Text appends: plain, formatted, JSON, and reserve and commit.
void text_ops(const unsigned char* s, size_t n) {
  const std::string text(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), n));
  sbuf_owner b;
  expect(sb_puts(&b.b, text.c_str()) == 0 && b.b.len == text.size());
  expect(sb_printf(&b.b, "|%s|%zu", text.c_str(), n) == 0);
  const std::string want = text + "|" + text + "|" + std::to_string(n);
  expect(b.b.len == want.size() && memcmp(b.b.data, want.data(), want.size()) == 0 && b.b.data[b.b.len] == 0);
  sb_reset(&b.b);
  expect(b.b.len == 0 && b.b.data[0] == 0);
  expect(json_put_string(&b.b, text.c_str()) == 0);
  std::string back;
  expect(json_read(b.b.data, b.b.len, &back) && back == text);
  const size_t before = b.b.len;
  unsigned char* dst = sb_reserve(&b.b, n);
  expect(dst != nullptr && dst == b.b.data + before);
  if (n > 0) memcpy(dst, s, n);
  sb_commit(&b.b, n);
  expect(b.b.len == before + n && b.b.data[b.b.len] == 0 && (n == 0 || memcmp(b.b.data + before, s, n) == 0));
  expect(sb_putc(&b.b, 'x') == 0 && b.b.data[b.b.len - 1] == 'x' && b.b.data[b.b.len] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nops = data[0] < size - 1 ? data[0] : size - 1;
  const unsigned char* ops = data + 1;
  const unsigned char* payload = data + 1 + nops;
  const size_t plen = size - 1 - nops;
  xdr_cursor c;
  xd_init(&c, payload, plen);
  model m{payload, plen, 0, false};
  same(c, m);
  size_t k = 0;
  auto arg = [&]() -> unsigned { return k < nops ? ops[k++] : 0u; };
  while (k < nops) {
    const unsigned op = ops[k++];
    switch (op % 9) {
      case 0: {
        const uint32_t want = model_u32(&m);
        expect(xd_u32(&c) == want);
        break;
      }
      case 1: {
        const uint64_t hi = model_u32(&m);
        const uint64_t lo = model_u32(&m);
        expect(xd_u64(&c) == ((hi << 32) | lo));
        break;
      }
      case 2: {
        uint32_t v = model_u32(&m);
        if (!m.err && v > 1) m.err = true;
        if (m.err) v = 0;
        expect(static_cast<uint32_t>(xd_bool(&c)) == v);
        break;
      }
      case 3: {
        const size_t n = arg() | ((op >> 4) << 8);
        expect(xd_opaque_fixed(&c, n) == model_fixed(&m, n));
        break;
      }
      case 4: {
        const size_t max = arg() * 4u + (op >> 4);
        const uint32_t n = model_u32(&m);
        const unsigned char* want = nullptr;
        if (!m.err && n > max) m.err = true;
        if (!m.err) want = model_fixed(&m, n);
        size_t got = SIZE_MAX;
        expect(xd_opaque(&c, &got, max) == want);
        expect(got == (want != nullptr ? n : SIZE_MAX));
        break;
      }
      case 5:
        break;
      case 6: {
        const size_t a = arg();
        const size_t off = a < plen ? a : plen;
        xd_init(&c, payload + off, plen - off);
        m = model{payload + off, plen - off, 0, false};
        break;
      }
      case 7: {
        const size_t n = arg() % (plen + 1);
        round_trip(payload, n);
        break;
      }
      default: {
        const size_t n = arg() % (plen + 1);
        text_ops(payload, n);
        break;
      }
    }
    same(c, m);
  }
  return 0;
}
