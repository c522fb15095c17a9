// The numbers of the protocols served, each named once: ONC RPC message and
// reply states and authentication flavours, the program and version numbers,
// the procedure numbers of the portmapper, MOUNT and NFS version 3, the
// nfsstat3 and MOUNT status codes and the NFS file types. Constants only; the
// server, the tests, the fuzz targets and the benchmarks all read them here.
#pragma once

#include <cstddef>
#include <cstdint>

// ONC RPC (version 2 of the protocol).
constexpr uint32_t RPC_VERSION = 2;
enum rpc_msg_type : uint32_t { RPC_MSG_CALL = 0, RPC_MSG_REPLY = 1 };
enum rpc_reply_stat : uint32_t { RPC_MSG_ACCEPTED = 0, RPC_MSG_DENIED = 1 };
enum rpc_accept_stat : uint32_t {
  RPC_SUCCESS = 0,
  RPC_PROG_UNAVAIL = 1,
  RPC_PROG_MISMATCH = 2,
  RPC_PROC_UNAVAIL = 3,
  RPC_GARBAGE_ARGS = 4,
  RPC_SYSTEM_ERR = 5,
};
enum rpc_reject_stat : uint32_t { RPC_REJECT_MISMATCH = 0, RPC_REJECT_AUTH_ERROR = 1 };
enum rpc_auth_stat : uint32_t { RPC_AUTH_BADCRED = 1 };
enum rpc_auth_flavor : uint32_t { RPC_AUTH_NONE = 0, RPC_AUTH_SYS = 1 };

// Programs, and the versions served: the portmapper 2 and rpcbind 3 and 4
// (one program), MOUNT 1, 2 and 3, NFS 3.
constexpr uint32_t PROG_PORTMAP = 100000;
constexpr int PORTMAP_PORT = 111;  // where clients look for the portmapper
constexpr uint32_t PROG_NFS = 100003;
constexpr uint32_t PROG_MOUNT = 100005;
constexpr uint32_t PORTMAP_V2 = 2;
constexpr uint32_t RPCBIND_V3 = 3;
constexpr uint32_t RPCBIND_V4 = 4;
constexpr uint32_t MOUNT_V1 = 1;
constexpr uint32_t MOUNT_V2 = 2;
constexpr uint32_t MOUNT_V3 = 3;
constexpr uint32_t NFS_V3 = 3;
// Transport protocol numbers, as the portmapper names them.
constexpr uint32_t RPC_PROTO_TCP = 6;
constexpr uint32_t RPC_PROTO_UDP = 17;

// Portmapper (version 2) and rpcbind (versions 3 and 4) procedures; the
// versions share numbers, with version 2's names in the comments.
enum pmap_proc : uint32_t {
  PMAPPROC_NULL = 0,
  PMAPPROC_SET = 1,
  PMAPPROC_UNSET = 2,
  PMAPPROC_GETADDR = 3,  // version 2: GETPORT
  PMAPPROC_DUMP = 4,
  PMAPPROC_CALLIT = 5,  // version 4: BCAST, the same call
  PMAPPROC_GETTIME = 6,
  PMAPPROC_UADDR2TADDR = 7,
  PMAPPROC_TADDR2UADDR = 8,
  PMAPPROC_GETVERSADDR = 9,  // version 4 only from here on
  PMAPPROC_INDIRECT = 10,
  PMAPPROC_GETADDRLIST = 11,
  PMAPPROC_GETSTAT = 12,
};

// MOUNT procedures (the same numbers in versions 1 to 3) and statuses.
enum mount_proc : uint32_t {
  MOUNTPROC_NULL = 0,
  MOUNTPROC_MNT = 1,
  MOUNTPROC_DUMP = 2,
  MOUNTPROC_UMNT = 3,
  MOUNTPROC_UMNTALL = 4,
  MOUNTPROC_EXPORT = 5,
};
enum mountstat3 : uint32_t {
  MNT3_OK = 0,
  MNT3ERR_NOENT = 2,
  MNT3ERR_ACCES = 13,
  MNT3ERR_NOTDIR = 20,
  MNT3ERR_INVAL = 22,
  MNT3ERR_NAMETOOLONG = 63,
  MNT3ERR_SERVERFAULT = 10006,
};

// The largest NFS version 3 handle a call may carry, in bytes.
constexpr size_t NFS3_FHSIZE = 64;

// NFS version 3 procedures.
enum nfs_proc3 : uint32_t {
  NFSPROC3_NULL = 0,
  NFSPROC3_GETATTR = 1,
  NFSPROC3_SETATTR = 2,
  NFSPROC3_LOOKUP = 3,
  NFSPROC3_ACCESS = 4,
  NFSPROC3_READLINK = 5,
  NFSPROC3_READ = 6,
  NFSPROC3_WRITE = 7,
  NFSPROC3_CREATE = 8,
  NFSPROC3_MKDIR = 9,
  NFSPROC3_SYMLINK = 10,
  NFSPROC3_MKNOD = 11,
  NFSPROC3_REMOVE = 12,
  NFSPROC3_RMDIR = 13,
  NFSPROC3_RENAME = 14,
  NFSPROC3_LINK = 15,
  NFSPROC3_READDIR = 16,
  NFSPROC3_READDIRPLUS = 17,
  NFSPROC3_FSSTAT = 18,
  NFSPROC3_FSINFO = 19,
  NFSPROC3_PATHCONF = 20,
  NFSPROC3_COMMIT = 21,
};

// The nfsstat3 codes, as one list: it gives the constants below and the
// name table behind vorlix_nfsstat_name.
#define NFSSTAT3_LIST(X)         \
  X(NFS3_OK, 0)                  \
  X(NFS3ERR_PERM, 1)             \
  X(NFS3ERR_NOENT, 2)            \
  X(NFS3ERR_IO, 5)               \
  X(NFS3ERR_NXIO, 6)             \
  X(NFS3ERR_ACCES, 13)           \
  X(NFS3ERR_EXIST, 17)           \
  X(NFS3ERR_XDEV, 18)            \
  X(NFS3ERR_NODEV, 19)           \
  X(NFS3ERR_NOTDIR, 20)          \
  X(NFS3ERR_ISDIR, 21)           \
  X(NFS3ERR_INVAL, 22)           \
  X(NFS3ERR_FBIG, 27)            \
  X(NFS3ERR_NOSPC, 28)           \
  X(NFS3ERR_ROFS, 30)            \
  X(NFS3ERR_MLINK, 31)           \
  X(NFS3ERR_NAMETOOLONG, 63)     \
  X(NFS3ERR_NOTEMPTY, 66)        \
  X(NFS3ERR_DQUOT, 69)           \
  X(NFS3ERR_STALE, 70)           \
  X(NFS3ERR_REMOTE, 71)          \
  X(NFS3ERR_BADHANDLE, 10001)    \
  X(NFS3ERR_NOTSYNC, 10002)      \
  X(NFS3ERR_BADCOOKIE, 10003)    \
  X(NFS3ERR_NOTSUPP, 10004)      \
  X(NFS3ERR_TOOSMALL, 10005)     \
  X(NFS3ERR_SERVERFAULT, 10006)  \
  X(NFS3ERR_BADTYPE, 10007)      \
  X(NFS3ERR_JUKEBOX, 10008)

enum nfsstat3 : uint32_t {
#define NFSSTAT3_ENUM(name, code) name = code,
  NFSSTAT3_LIST(NFSSTAT3_ENUM)
#undef NFSSTAT3_ENUM
};

// NFS version 3 file types (the ones this server reports are regular files,
// folders and symbolic links).
enum ftype3 : uint32_t {
  NF3REG = 1,
  NF3DIR = 2,
  NF3BLK = 3,
  NF3CHR = 4,
  NF3LNK = 5,
  NF3SOCK = 6,
  NF3FIFO = 7,
};
