// Windows error numbers in words: the one place where the Windows platform
// layer turns a system error into text for a person.
#include "plat/win32/win32_internal.h"

#include <cstdio>

namespace plat_win32 {

void error_text(unsigned long code, char* out, size_t outlen) {
  if (outlen == 0) return;
  wchar_t w[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, w,
                           sizeof w / sizeof w[0], nullptr);
  // The system's text ends with a line break; only the words are kept.
  while (n > 0 && (w[n - 1] == L'\r' || w[n - 1] == L'\n' || w[n - 1] == L' ')) n--;
  w[n] = 0;
  char words[1024] = "";
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, words, sizeof words, nullptr, nullptr);
  if (words[0] != 0) {
    snprintf(out, outlen, "%s (error %lu)", words, code);
  } else {
    snprintf(out, outlen, "(error %lu)", code);
  }
}

int fail_with(const char* what, unsigned long code, char* err, size_t errlen) {
  char why[1100];
  error_text(code, why, sizeof why);
  if (errlen > 0) snprintf(err, errlen, "%s: %s", what, why);
  return -1;
}

}  // namespace plat_win32
