// Folders and files held open between calls, so that a call on a handle
// does not walk its path from the export root again when a recent call has
// opened what it names, or the folder that holds it. Entries are keyed by
// the walk's root and relative path (one per file handle) and bounded in
// number (HOLD_MAX) and in age (HOLD_AGE_MS since they were last proven).
// Nothing is served from a held object before plat_held_check has proven,
// without opening anything, that it still lies at root/rel with no link on
// the way; one that fails is dropped and the path walked again. Safe on any
// number of threads: one leaf lock guards the table, never held across a
// file-system call; an entry dropped while in use is closed by its last user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "plat/plat.h"

constexpr size_t HOLD_MAX = 64;          // entries held at most
constexpr uint64_t HOLD_AGE_MS = 1000;   // an entry not proven for longer is closed

// A held object shared by the table and its users.
using held_ref = std::shared_ptr<plat_held>;

// Status of root/rel as plat_stat_beneath gives it: from the held object
// itself when one is held, else by name inside the held folder that holds
// it (walked to and held when none is). 0, or -1 with the failure left for
// plat_last_failure_transient.
int hold_stat(const char* root, const char* rel, plat_statbuf* st);
// The regular file root/rel held open for reading (opened inside its held
// folder when it is not held yet), with its status now in *st. Null on
// failure, with the failure left for plat_last_failure_transient.
held_ref hold_file(const char* root, const char* rel, plat_statbuf* st);
// Proofs made on this thread while one lives stand until it ends: a call
// that resolves a folder's handle and then describes a name in that folder
// proves the folder once. One is made around each NFS call; scopes do not
// nest. What a scope remembers is let go when it ends.
struct hold_call_scope {
  hold_call_scope();
  ~hold_call_scope();
  hold_call_scope(const hold_call_scope&) = delete;
  hold_call_scope& operator=(const hold_call_scope&) = delete;
};
// Closes the held objects past their age (every one when `all` is set;
// those in use when their users are done). Called periodically, so that
// nothing stays open long after its last use: on Windows a file deleted
// while open keeps its name, and its folder cannot be removed, until its
// last handle is closed.
void hold_sweep(int all);
