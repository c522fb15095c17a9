// JSON strings.
#include "util/json.h"

int json_put_string(sbuf* b, const char* s) {
  if (sb_putc(b, '"') != 0) return -1;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); p && *p; ++p) {
    const unsigned char c = *p;
    int r;
    switch (c) {
      case '"': r = sb_putn(b, "\\\"", 2); break;
      case '\\': r = sb_putn(b, "\\\\", 2); break;
      case '\n': r = sb_putn(b, "\\n", 2); break;
      case '\r': r = sb_putn(b, "\\r", 2); break;
      case '\t': r = sb_putn(b, "\\t", 2); break;
      case '\b': r = sb_putn(b, "\\b", 2); break;
      case '\f': r = sb_putn(b, "\\f", 2); break;
      default:
        r = c < 0x20 ? sb_printf(b, "\\u%04x", c) : sb_putc(b, c);
    }
    if (r != 0) return -1;
  }
  return sb_putc(b, '"');
}
