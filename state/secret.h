// The handle secret. It changes only while the server is stopped;
// connection threads, which may outlive a stop, read it through
// fh_secret_copy.
#pragma once

#include <cstdint>

constexpr int SECRET_MAX = 64;

// The secret's bytes and length. Read them only while no connection of an
// earlier run can hash (tests, the one-shot commands); connection threads use
// fh_secret_copy, which never sees a half-written secret.
const unsigned char* fh_secret();
uint64_t fh_secret_len();
// Copies the secret into out and returns its length (0 when none is set).
uint64_t fh_secret_copy(unsigned char out[SECRET_MAX]);
// Installs a secret of len bytes (at most SECRET_MAX); used by the server
// start when it makes one.
void secret_set(const unsigned char* bytes, uint64_t len);
