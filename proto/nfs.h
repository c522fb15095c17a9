// NFS version 3: queries of the procedure table, handle resolution, attribute
// encoding and the procedures.
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
#include "state/exports.h"
#include "util/xdr.h"

// 1 for a writing procedure, 0 for a reading one, -1 for a number the table
// does not hold.
int nfs_proc_is_write(int32_t proc);
// The name of an nfsstat3 code, "NFS3ERR_UNKNOWN" for any other number.
const char* nfsstat_name(int32_t code);
// The procedure table as JSON: every row, then the numbers of the writing
// procedures. The text lives until the next call (one caller at a time).
const char* nfs_proc_table_json();

constexpr uint32_t READ_MAX = 1048576;

constexpr size_t FATTR3_SIZE = 84;
// Writes the fattr3 of a status; fsid 0 without an export.
void fattr3_write(unsigned char out[FATTR3_SIZE], const plat_statbuf* st, const export_rec* exp);
// Appends the fattr3 of a status.
void put_fattr3(xdr_enc* e, const plat_statbuf* st, const export_rec* exp);
// Appends TRUE and the fattr3.
void put_post_op_attr(xdr_enc* e, const plat_statbuf* st, const export_rec* exp);

// Resolves a handle: 0, or -1 with *status set to the nfsstat3 of the
// failure: NFS3ERR_BADHANDLE (bad length), NFS3ERR_STALE, NFS3ERR_NOENT (the
// file is gone, or its path now crosses a symbolic link) or NFS3ERR_JUKEBOX
// (the file system could not be asked for want of descriptors or memory).
int nfs_resolve(const unsigned char* fh, size_t len, fh_resolved* r, uint32_t* status);
// The nfsstat3 of a resolution's outcome: 0 when resolved, else -1 with
// *status set as nfs_resolve sets it.
int nfs_resolved_or_status(fh_result res, uint32_t* status);
// The nfsstat3 for a file or folder that was resolved but could not be
// opened, from the platform's last failure on this thread: NFS3ERR_JUKEBOX
// when descriptors or memory ran out, NFS3ERR_ACCES when this server's
// account may not read it, else NFS3ERR_IO.
uint32_t nfs_open_failure_status();
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
void nfs_readdir(xdr_cursor* args, xdr_enc* body, uint32_t* status);
void nfs_readdirplus(xdr_cursor* args, xdr_enc* body, uint32_t* status);
// Once a listing's reply has gone out, describes the entries the listing's
// next call will ask for, while the client reads that reply (see dir_ahead
// in proto/dircache.h). The connection calls it after each reply it sends;
// it does nothing unless that reply was a listing that stopped short.
void nfs_read_ahead();
// The directory cookie verifier.
void dir_verf(const export_rec* exp, const plat_statbuf* st, unsigned char out[8]);
