// Normalisation of control-interface paths. Input: two bytes that choose the
// output capacity (1 to 1100 bytes, in a buffer of exactly that size), then
// the path (up to the first zero byte).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fh/fh.h"
#include "util/sbuf.h"

namespace {

void expect(bool ok) {
  if (!ok) abort();
}

// The plain model: components split at '/' and '\', "." dropped, ".." takes
// the last kept component away (nothing above the top), a component of 256
// bytes or more refuses the path (false). *peak receives the longest text
// held at any step.
bool model_clamp(const std::string& in, std::string* out, size_t* peak) {
  std::vector<std::string> parts;
  size_t len = 0;
  *peak = 0;
  size_t i = 0;
  while (i < in.size()) {
    const size_t end = in.find_first_of("/\\", i);
    const std::string c = in.substr(i, end == std::string::npos ? std::string::npos : end - i);
    i = end == std::string::npos ? in.size() : end + 1;
    if (c.empty() || c == ".") continue;
    if (c.size() >= 256) return false;
    if (c == "..") {
      if (!parts.empty()) {
        len -= parts.back().size() + (parts.size() > 1 ? 1 : 0);
        parts.pop_back();
      }
      continue;
    }
    len += c.size() + (parts.empty() ? 0 : 1);
    parts.push_back(c);
    if (len > *peak) *peak = len;
  }
  out->clear();
  for (const std::string& p : parts) *out += (out->empty() ? "" : "/") + p;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t cap = 1 + static_cast<int32_t>(((uint32_t{data[0]} << 8) | data[1]) % 1100);
  const char* raw = reinterpret_cast<const char*>(data + 2);
  const std::string in(raw, strnlen(raw, size - 2));

  std::vector<char> out(static_cast<size_t>(cap), '\x55');
  const int r = fh_clamp(in.c_str(), out.data(), cap);
  expect(r == 0 || r == -6);
  std::string want;
  size_t peak = 0;
  const bool model_ok = model_clamp(in, &want, &peak);
  if (r == 0) {
    const std::string got(out.data(), strnlen(out.data(), out.size()));
    expect(got.size() < static_cast<size_t>(cap) && model_ok && got == want);
    // A normal path is its own normal form.
    std::vector<char> again(static_cast<size_t>(cap), '\x55');
    expect(fh_clamp(got.c_str(), again.data(), cap) == 0 && strcmp(again.data(), got.c_str()) == 0);
  } else {
    // Refused: a long component, or a step that would not fit with a byte
    // to spare.
    expect(!model_ok || peak + 2 > static_cast<size_t>(cap));
  }
  expect(fh_clamp(in.c_str(), out.data(), 0) == -1 && fh_clamp(nullptr, out.data(), cap) == -1 &&
         fh_clamp(in.c_str(), nullptr, cap) == -1);
  return 0;
}
