// JSON output into byte buffers.
#pragma once

#include "util/sbuf.h"

// Appends s as a JSON string, quoted and escaped; 0, or -1 with the buffer
// as before.
int json_put_string(sbuf* b, const char* s);
