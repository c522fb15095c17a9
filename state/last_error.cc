// The last-error record.
#include "state/last_error.h"

#include <cstdarg>
#include <cstdio>

namespace {

char s_error[1024];
int32_t s_error_code;

}  // namespace

void set_error(int32_t code, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(s_error, sizeof s_error, fmt, ap);
  va_end(ap);
  s_error_code = code;
}

int32_t last_error_code() { return s_error_code; }

const char* last_error_text() { return s_error; }
