// The NFS version 3 procedure table, the write refusal and status names.
#include <cstdio>
#include <cstring>

#include "proto/nfs.h"
#include "proto/rpc.h"
#include "vorlix.h"

const nfs_proc_row vorlix_procs[vorlix_nprocs] = {
    {0, "NFSPROC3_NULL", 0},      {1, "NFSPROC3_GETATTR", 0},     {2, "NFSPROC3_SETATTR", 1},
    {3, "NFSPROC3_LOOKUP", 0},    {4, "NFSPROC3_ACCESS", 0},      {5, "NFSPROC3_READLINK", 0},
    {6, "NFSPROC3_READ", 0},      {7, "NFSPROC3_WRITE", 1},       {8, "NFSPROC3_CREATE", 1},
    {9, "NFSPROC3_MKDIR", 1},     {10, "NFSPROC3_SYMLINK", 1},    {11, "NFSPROC3_MKNOD", 1},
    {12, "NFSPROC3_REMOVE", 1},   {13, "NFSPROC3_RMDIR", 1},      {14, "NFSPROC3_RENAME", 1},
    {15, "NFSPROC3_LINK", 1},     {16, "NFSPROC3_READDIR", 0},    {17, "NFSPROC3_READDIRPLUS", 0},
    {18, "NFSPROC3_FSSTAT", 0},   {19, "NFSPROC3_FSINFO", 0},     {20, "NFSPROC3_PATHCONF", 0},
    {21, "NFSPROC3_COMMIT", 1},
};

namespace {

struct stat_name {
  int32_t code;
  const char* name;
};

constexpr stat_name kStatNames[] = {
#define NFSSTAT3_ROW(name, code) {code, #name},
    NFSSTAT3_LIST(NFSSTAT3_ROW)
#undef NFSSTAT3_ROW
};

}  // namespace

void nfs_put_refusal(xdr_enc* e, uint32_t xid, uint32_t proc) {
  put_reply_header(e, xid, RPC_SUCCESS);
  xe_u32(e, NFS3ERR_ROFS);
  const int falses = proc == NFSPROC3_RENAME ? 4 : 3;
  for (int i = 0; i < falses; i++) xe_bool(e, 0);
}

extern "C" {

int vorlix_proc_is_write(int32_t proc) {
  for (const nfs_proc_row& r : vorlix_procs) {
    if (static_cast<int64_t>(r.proc) == proc) return r.write;
  }
  return -1;
}

const char* vorlix_nfsstat_name(int32_t code) {
  for (const stat_name& s : kStatNames) {
    if (s.code == code) return s.name;
  }
  return "NFS3ERR_UNKNOWN";
}

const char* vorlix_proc_table_json(void) {
  static char s_buf[2048];
  sbuf_owner b;
  sb_puts(&b.b, "{\"served\":[");
  for (int i = 0; i < vorlix_nprocs; i++) {
    if (i) sb_putc(&b.b, ',');
    sb_printf(&b.b, "{\"proc\":%u,\"name\":", vorlix_procs[i].proc);
    json_put_string(&b.b, vorlix_procs[i].name);
    sb_printf(&b.b, ",\"write\":%d}", vorlix_procs[i].write);
  }
  sb_puts(&b.b, "],\"refused\":[");
  bool first = true;
  for (int p = 0; p <= 21; p++) {
    if (vorlix_proc_is_write(p) != 1) continue;
    sb_printf(&b.b, first ? "%d" : ",%d", p);
    first = false;
  }
  sb_puts(&b.b, "]}");
  snprintf(s_buf, sizeof s_buf, "%s", b.b.data ? reinterpret_cast<const char*>(b.b.data) : "");
  return s_buf;
}

}  // extern "C"
