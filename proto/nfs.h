// NFS version 3: the procedure table, attribute encoding and the procedures.
// Each procedure reads its arguments from the call's cursor and either
// appends its complete result (nfsstat3 first) to the reply, or leaves the
// reply as it was and sets *status, in which case the status word alone is
// sent. Procedures run on connection threads in parallel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fh/fh.h"
#include "plat/plat.h"
#include "proto/protocol.h"
#include "server/exports.h"
#include "util/sbuf.h"

struct nfs_proc_row {
  uint32_t proc;
  const char* name;
  int write;
};
constexpr int vorlix_nprocs = 22;
extern const nfs_proc_row vorlix_procs[vorlix_nprocs];

constexpr uint32_t READ_MAX = 1048576;

// Appends the refusal of a writing procedure: status ROFS and FALSE words
// (four for RENAME, whose failure result holds two wcc_data; three otherwise).
void nfs_put_refusal(xdr_enc* e, uint32_t xid, uint32_t proc);

constexpr size_t FATTR3_SIZE = 84;
// Writes the fattr3 of a status; fsid 0 without an export.
void fattr3_write(unsigned char out[FATTR3_SIZE], const plat_statbuf* st, const export_rec* exp);
// Appends the fattr3 of a status.
void put_fattr3(xdr_enc* e, const plat_statbuf* st, const export_rec* exp);
// Appends TRUE and the fattr3.
void put_post_op_attr(xdr_enc* e, const plat_statbuf* st, const export_rec* exp);

// Decodes a handle (at most 64 bytes) and resolves it; 0, or -1 with *status.
int nfs_handle_step(xdr_cursor* args, fh_resolved* r, uint32_t* status);

void nfs_getattr(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_lookup(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_access(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_readlink(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_read(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_fsstat(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_fsinfo(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_pathconf(xdr_cursor* args, xdr_enc* body, uint32_t* status);
// READDIR (plus 0) and READDIRPLUS (plus 1).
void nfs_readdir(xdr_cursor* args, xdr_enc* body, uint32_t* status, int plus);
// The directory cookie verifier.
void dir_verf(const export_rec* exp, const plat_statbuf* st, unsigned char out[8]);
