// A local channel, in the platform layer: one listener that only
// administrators can open, answering one short request per connection.
// POSIX: a Unix socket at a path, the socket 0600 in a folder made 0700
// when missing (its owner and root open it). Windows: the named pipe
// \\.\pipe\NAME, its access list SYSTEM and Administrators only.
#pragma once

#include <cstddef>

struct plat_channel;

// Makes a reply for a request of n bytes (its line end removed); the reply
// is allocated with malloc and freed by the channel; *len its length.
using plat_channel_answer = char* (*)(const char* request, size_t n, void* user, size_t* len);

// Listens at name: a path (POSIX; a socket left there by a process that
// ended is replaced) or a pipe name (Windows, the part after \\.\pipe\).
// null with err saying why.
plat_channel* plat_channel_listen(const char* name, char* err, size_t errlen);
// Waits up to wait_ms for a client; reads its request (one line of at most
// max bytes, within wait_ms), answers it through answer and closes the
// connection (the reply sent within wait_ms). 1 when a client was answered
// or given up on, 0 when none came, -1 when the channel failed.
int plat_channel_answer_one(plat_channel* c, int wait_ms, size_t max, plat_channel_answer answer, void* user);
// Stops listening (POSIX: the socket's file is removed).
void plat_channel_close(plat_channel* c);
// Connects to the channel at name, sends the request line and reads the
// reply until the other side closes: at most max bytes, all within
// wait_ms. 0 with *reply (malloc, NUL-terminated) and *len; -1 with err.
int plat_channel_ask(const char* name, const char* request, size_t max, int wait_ms, char** reply, size_t* len,
                     char* err, size_t errlen);
