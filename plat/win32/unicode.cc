// UTF-8 and UTF-16 conversion for the Windows platform layer: every path
// and argument the rest of the program hands over or gets back is UTF-8.
#include "plat/win32/win32_internal.h"

#include <cstdlib>

namespace plat_win32 {

wchar_t* wide(const char* s) {
  if (s == nullptr) return nullptr;
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  auto* w = static_cast<wchar_t*>(malloc(static_cast<size_t>(n) * sizeof(wchar_t)));
  if (w == nullptr) return nullptr;
  MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n);
  return w;
}

char* narrow(const wchar_t* w) {
  if (w == nullptr) return nullptr;
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  auto* s = static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (s == nullptr) return nullptr;
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, nullptr, nullptr);
  return s;
}

}  // namespace plat_win32
