// Handle control operations: the handle for a path inside an export, and
// whether a handle is the live root handle of an export. Each records its
// outcome (set_error).
#pragma once

// Writes the handle of rel inside the export: 32, or -1 for a bad argument
// or a path that leaves the export, -4 for no such export or a name that a
// single-file export does not hold.
int fh_for_path(const char* export_path, const char* rel, unsigned char* out, int out_size);
// 0 (and "" in out) when the handle is the live root handle of an export;
// -1 for a bad argument, -4 otherwise.
int fh_resolve_root(const unsigned char* fh, int fh_len, char* out, int out_size);
