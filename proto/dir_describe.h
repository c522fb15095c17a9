// Describing a listing's next page on a helper thread, while the reply
// before it is read by the client and the next call comes in: one helper
// for the whole process, started on first use, describes one run of names
// at a time through the listing's kept enumeration, in order, and the call
// that then serves those names takes each description as soon as it is
// read, describing itself the names the helper has not reached yet. So the
// names are described while the call is received and its entries encoded,
// instead of before. Only where two threads may describe through one
// enumeration at once (plat_dir_stat_parallel); elsewhere, and while the
// helper is busy with another listing's run, no run is started and the
// caller describes the names itself.
#pragma once

#include <cstdint>
#include <memory>

#include "plat/plat.h"
#include "proto/dircache.h"

struct dir_run;

// Starts describing names->name(p) for p in [from, to) through d on the
// helper; null when no run can be started now. Until the run is ended, d
// stays open and is described through by the helper.
dir_run* dir_run_start(plat_dir* d, std::shared_ptr<const dir_names> names, uint64_t from, uint64_t to);
// The description of position p of the run: 1 with *st set, 0 when the
// name had gone, -1 when p is not in the run. Describes p itself when the
// helper has not reached it, and, while the helper is reading p, the names
// after it that no thread has claimed; waits for the helper only once none
// is left, some microseconds at most, and then reads p itself.
int dir_run_get(dir_run* r, uint64_t p, plat_statbuf* st);
// Ends the run: the helper stops after the name it is describing, and is
// waited for; then the run is freed and its enumeration is the caller's
// alone again. Null is ignored.
void dir_run_end(dir_run* r);
// Ends the helper thread, once it has stopped describing, and waits for it;
// a later dir_run_start starts it again.
void dir_describe_stop();
// How many runs the helper has begun since the process started, and
// whether its thread is running now. For tests.
uint64_t dir_describe_run_count();
int dir_describe_running();
