// The last-error record: the outcome of the last control function, which
// belongs to the one controlling thread.
#pragma once

#include <cstdint>

// Records a control function's outcome: the code and the formatted message,
// cut to 1023 characters.
void set_error(int32_t code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The code and the message of the last outcome recorded.
int32_t last_error_code();
const char* last_error_text();
