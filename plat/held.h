// Folders and files held open in the platform layer, and the proofs that
// what is held still lies where it was found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/fs.h"

// ---- Held folders and files -------------------------------------------------

// A folder or a regular file kept open after a link-refusing walk, so that
// later calls on it, or on names inside it, need not walk from the root
// again. Held with full sharing: nobody is kept from renaming or deleting
// it. May be used by several threads at once; closed by one of them.
struct plat_held;

// Walks rel beneath root like plat_stat_beneath and holds the folder it
// names (the root itself when rel is empty), which must be a plain folder,
// not a link. Null on failure.
plat_held* plat_hold_dir_beneath(const char* root, const char* rel);
// Holds the regular file `name` (one component) of a held folder open for
// reading, on the same terms as plat_fopen_read: the type is decided before
// anything is opened and a final link is not followed. Null on failure.
// Opens the file only: where a proof asks the folder for the name through
// a handle of its own (Windows), that handle is opened by the first proof
// that needs it, unless something held under that name in dir has one.
plat_held* plat_hold_file_at(plat_held* dir, const char* name);
// Proves, without opening anything, that what h holds still lies at
// root/rel, reached without any link: it has not been moved, deleted, or
// put behind a link or junction since it was opened. 0 with *st filled
// with its status now, or -1 (st cleared). st may be null when only the
// proof is wanted, which can spare a system call. The one exception: the
// first proof of a file held by plat_hold_file_at on Windows may open the
// handle that asks its folder for its name (see there), once.
int plat_held_check(plat_held* h, const char* root, const char* rel, plat_statbuf* st);
// Proves that the folder h holds lies at `name` (one component) in the held
// folder dir, which the caller has itself proven to lie where it should
// during the same call: the name, not followed if it is a link, leads to
// the very folder h holds. Opens nothing. 0 with *st filled with its status
// now (st may be null); -1 when it does not lie there (st cleared); 1 when
// this cannot be told so, or not more cheaply than by plat_held_check (a
// file; a name that is not one component; on Windows, a name not asked of
// dir before: nothing has been held under it in dir, or the handle that
// asks dir for it was never opened or could not be).
int plat_held_check_in(plat_held* h, plat_held* dir, const char* name, plat_statbuf* st);
// plat_stat_beneath of one name (never "." or "..") inside a held folder:
// a final link is described itself. The name "" describes the held folder
// or file itself. Opens nothing on POSIX; on Windows opens the name (one
// open), the held object itself not at all. 0 or -1.
int plat_held_stat_at(plat_held* dir, const char* name, plat_statbuf* st);
// plat_held_stat_at of a name ("" excepted), keeping what the description
// opened: where describing a name opens it (Windows), the file or folder it
// opened (for its attributes only) is left held in *kept, so that later
// calls on it prove it instead of opening it again. A kept file is not for
// reading (plat_held_read_at gives -1). *kept is null when nothing is kept:
// a link, something being deleted, and always on POSIX, where describing
// opens nothing and holding would cost an open. 0 or -1.
int plat_held_stat_keep(plat_held* dir, const char* name, plat_statbuf* st, plat_held** kept);
// plat_fread_at on a held file; -1 for a held folder or a file kept only to
// be described.
int64_t plat_held_read_at(plat_held* h, uint64_t off, void* dst, uint64_t len);
// Closes it, leaving the failure that plat_last_failure_transient reads as
// it was. Null is ignored.
void plat_held_close(plat_held* h);
