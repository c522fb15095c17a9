// Recovery of handles whose path the handle path map does not hold (the
// process restarted with the same secret and exports, or the entry was
// evicted): the export's tree is walked from its root, without following
// links, until a path with the handle's digest turns up. Every path walked is
// remembered on the way. One walk per export at a time, within a time budget
// checked before every entry; no lock is held while it runs, and other
// misses on the export wait for their path to turn up in the map (or for the
// walk to end) instead. After a walk that found nothing, misses on that
// export are refused at once for a quiet period, so that random or foreign
// handles cannot keep the server walking.
#pragma once

#include <cstdint>

#include "state/exports.h"

constexpr uint64_t FH_RECOVER_QUIET_MS = 30000;   // refusals after a fruitless walk
constexpr uint64_t FH_RECOVER_BUDGET_MS = 5000;   // longest walk

// Looks for the path of a handle of the live export e at index idx. 0 with
// the path in rel (capacity cap), -1 when it was not found, or the export is
// in its quiet period, or rel is too small.
int fh_recover(const unsigned char* fh, int32_t idx, const export_rec& e, char* rel, int32_t cap);
// The number of walks started since the process began.
uint64_t fh_recover_walks();
// Ends every quiet period (for the handle map's clean slate in tests).
void fh_recover_reset();
// For tests: the walk's time budget (0: FH_RECOVER_BUDGET_MS) and a function
// called before each entry a walk examines (null: none).
void fh_recover_set_test_hooks(uint64_t budget_ms, void (*on_entry)());
