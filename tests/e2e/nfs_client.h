// Wire helpers shared by the end-to-end tests of the MOUNT, NFS and
// portmapper services: call builders for each procedure, parsers of their
// replies, and a few set-up shortcuts and a fixture. Everything goes over real TCP
// connections to the in-process server on 127.0.0.1.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "proto/protocol.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace wire {

// Short names for the protocol numbers of proto/protocol.h that the tests
// use most (the nfsstat3 codes are used under their own names).
constexpr uint32_t kPortmapProg = PROG_PORTMAP;
constexpr uint32_t kNfsProg = PROG_NFS;
constexpr uint32_t kMountProg = PROG_MOUNT;

// MOUNT procedures.
enum : uint32_t {
  MNT_NULL = MOUNTPROC_NULL,
  MNT_MNT = MOUNTPROC_MNT,
  MNT_DUMP = MOUNTPROC_DUMP,
  MNT_UMNT = MOUNTPROC_UMNT,
  MNT_UMNTALL = MOUNTPROC_UMNTALL,
  MNT_EXPORT = MOUNTPROC_EXPORT,
};

// NFS version 3 procedures served by the tests below.
enum : uint32_t {
  NFS_GETATTR = NFSPROC3_GETATTR,
  NFS_LOOKUP = NFSPROC3_LOOKUP,
  NFS_ACCESS = NFSPROC3_ACCESS,
  NFS_READLINK = NFSPROC3_READLINK,
  NFS_READ = NFSPROC3_READ,
  NFS_READDIR = NFSPROC3_READDIR,
  NFS_READDIRPLUS = NFSPROC3_READDIRPLUS,
  NFS_FSSTAT = NFSPROC3_FSSTAT,
  NFS_FSINFO = NFSPROC3_FSINFO,
  NFS_PATHCONF = NFSPROC3_PATHCONF,
};

// Directory cookies of ".", ".." and the first enumerated entry.
constexpr uint64_t kCookieDot = 0x100000000ull;
constexpr uint64_t kCookieDotDot = 0x100000001ull;
constexpr uint64_t kCookieFirst = 0x100000002ull;

// The accept_stat word of an accepted reply, and the first result word.
inline uint32_t accept_stat(const bytes& r) { return get32(r, 20); }
inline uint32_t status_of(const bytes& r) { return get32(r, kReplyBody); }

// Reads XDR items from a reply in order; any overrun clears ok and the
// remaining reads return zeros.
struct reply_reader {
  const bytes& b;
  size_t at;
  bool ok = true;

  reply_reader(const bytes& rec, size_t start) : b(rec), at(start) {}
  bool has(size_t n) {
    if (!ok || at + n > b.size()) ok = false;
    return ok;
  }
  uint32_t u32() {
    if (!has(4)) return 0;
    const uint32_t v = get32(b, at);
    at += 4;
    return v;
  }
  uint64_t u64() {
    const uint64_t hi = u32();
    return (hi << 32) | u32();
  }
  bytes fixed(size_t n) {
    if (!has(n)) return {};
    bytes v(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    at += n;
    return v;
  }
  // A variable-length opaque; its padding must be zero bytes.
  bytes opaque(size_t max = 1u << 24) {
    const size_t n = u32();
    if (n > max || !has((n + 3) & ~size_t{3})) {
      ok = false;
      return {};
    }
    bytes v = fixed(n);
    for (; at % 4 != 0; at++) {
      if (b[at] != 0) ok = false;
    }
    return v;
  }
  bool done() const { return ok && at == b.size(); }
};

struct fattr3 {
  uint32_t type = 0, mode = 0, nlink = 0, uid = 0, gid = 0;
  uint64_t size = 0, used = 0;
  uint32_t rdev1 = 0, rdev2 = 0;
  uint64_t fsid = 0, fileid = 0;
  uint32_t atime_s = 0, atime_ns = 0, mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;
  bool operator==(const fattr3&) const = default;
};

inline fattr3 read_fattr3(reply_reader* r) {
  fattr3 a;
  a.type = r->u32();
  a.mode = r->u32();
  a.nlink = r->u32();
  a.uid = r->u32();
  a.gid = r->u32();
  a.size = r->u64();
  a.used = r->u64();
  a.rdev1 = r->u32();
  a.rdev2 = r->u32();
  a.fsid = r->u64();
  a.fileid = r->u64();
  a.atime_s = r->u32();
  a.atime_ns = r->u32();
  a.mtime_s = r->u32();
  a.mtime_ns = r->u32();
  a.ctime_s = r->u32();
  a.ctime_ns = r->u32();
  return a;
}

// post_op_attr of a success body: the word 1 and the attributes (the server
// always sends them when a procedure succeeds).
inline fattr3 read_post_op_attr(reply_reader* r) {
  if (r->u32() != 1) r->ok = false;
  return read_fattr3(r);
}

// post_op_attr of a failure body: the word 0 alone, or the word 1 and the
// attributes. *follows tells which; any other first word spoils the reader.
inline fattr3 read_failure_post_op_attr(reply_reader* r, bool* follows) {
  const uint32_t d = r->u32();
  *follows = d == 1;
  if (d > 1) r->ok = false;
  return *follows ? read_fattr3(r) : fattr3{};
}

// ---- Calls ------------------------------------------------------------------

// Sends a call and returns its reply record; empty when nothing came back.
inline bytes call(rpc_conn& c, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args) {
  bytes reply;
  if (!c.call(prog, vers, proc, args, &reply)) return {};
  return reply;
}
inline bytes mount_call(rpc_conn& c, uint32_t proc, const bytes& args = {}) {
  return call(c, kMountProg, 3, proc, args);
}
inline bytes nfs_call(rpc_conn& c, uint32_t proc, const bytes& args) { return call(c, kNfsProg, 3, proc, args); }

inline bytes opaque_arg(const bytes& v) {
  bytes a;
  put_opaque(&a, v.data(), v.size());
  return a;
}
inline bytes string_arg(const std::string& s) {
  bytes a;
  put_string(&a, s);
  return a;
}

// The universal address of a TCP or UDP port on 127.0.0.1 as rpcbind writes
// it ("127.0.0.1.8.1" for 2049); empty for port 0 (not registered).
inline std::string uaddr(uint32_t port) {
  return port == 0 ? "" : "127.0.0.1." + std::to_string(port >> 8) + "." + std::to_string(port & 255);
}

// The rpcbind argument (program, version, netid, empty address and owner).
inline bytes rpcb_arg(uint32_t prog, uint32_t vers, const std::string& netid) {
  bytes a;
  put32(&a, prog);
  put32(&a, vers);
  put_string(&a, netid);
  put_string(&a, "");
  put_string(&a, "");
  return a;
}

// The one string of a reply; "<bad>" when the reply is not exactly that.
inline std::string string_reply(const bytes& r) {
  if (r.size() < 24 || accept_stat(r) != 0) return "<bad>";
  reply_reader rd(r, 24);
  const bytes v = rd.opaque(255);
  return rd.done() ? std::string(v.begin(), v.end()) : "<bad>";
}

// Starts the server with a portmapper listener on a free port; a port taken
// between the probe and the start is retried a few times.
inline int start_with_portmapper() {
  for (int attempt = 0; attempt < 5; attempt++) {
    const int port = free_port();
    if (port > 0 && start_test_server(port)) return port;
  }
  return -1;
}

// ---- MOUNT --------------------------------------------------------------------

struct mnt_result {
  uint32_t status = 0xFFFFFFFF;
  bytes fh;
  bool well_formed = false;  // the success body is exactly handle and flavours
  bytes raw;
};

inline mnt_result mnt_raw(rpc_conn& c, const bytes& args) {
  mnt_result m;
  m.raw = mount_call(c, MNT_MNT, args);
  if (m.raw.size() < kReplyBody + 4 || accept_stat(m.raw) != 0) return m;
  reply_reader r(m.raw, kReplyBody);
  m.status = r.u32();
  if (m.status != 0) {
    m.well_formed = r.done();
    return m;
  }
  m.fh = r.opaque(64);
  const uint32_t nflavours = r.u32();
  const uint32_t flavour = r.u32();
  m.well_formed = r.done() && nflavours == 1 && flavour == 1;
  return m;
}
inline mnt_result mnt(rpc_conn& c, const std::string& path) { return mnt_raw(c, string_arg(path)); }

// The root handle of an export through MNT on the MOUNT port; empty on failure.
inline bytes mount_root(const std::string& path) {
  rpc_conn c;
  if (!c.open(vorlix_mount_port())) return {};
  const mnt_result m = mnt(c, path);
  return m.status == 0 ? m.fh : bytes{};
}

// The export paths listed by EXPORT, each checked to carry the one group.
struct export_list {
  std::vector<std::string> paths;
  std::vector<std::vector<std::string>> groups;  // per path: who may mount it
  bool well_formed = false;
};

inline export_list mount_export(rpc_conn& c) {
  export_list l;
  const bytes raw = mount_call(c, MNT_EXPORT);
  if (raw.size() < kReplyBody || accept_stat(raw) != 0) return l;
  reply_reader r(raw, kReplyBody);
  for (int i = 0; i < 128 && r.ok && r.u32() == 1; i++) {
    const bytes p = r.opaque(1024);
    l.paths.emplace_back(p.begin(), p.end());
    l.groups.emplace_back();
    for (int k = 0; k < 64 && r.ok && r.u32() == 1; k++) {
      const bytes g = r.opaque(1024);
      l.groups.back().emplace_back(g.begin(), g.end());
    }
  }
  l.well_formed = r.done();
  return l;
}

// ---- NFS --------------------------------------------------------------------
//
// A failed NFS procedure answers its status followed, for every procedure but
// GETATTR, by a post_op_attr: that is how each of their failure results
// begins, and a client cannot decode the reply without it. The server sends
// it empty (the word 0), so such a failure is 32 bytes; only a LOOKUP that
// misses a name in a folder it could read (NOENT) carries that folder's
// attributes. A failed GETATTR is the status alone, 28 bytes. The parsers below read failure bodies that way, and well_formed
// means the whole reply was consumed.

// Expected size of a failure reply that carries no attributes.
inline size_t failure_size(uint32_t proc) { return proc == NFS_GETATTR ? 28 : 32; }

// The body of any failed NFS procedure, read by the rule above.
struct failure_result {
  uint32_t status = 0xFFFFFFFF;
  bool attrs_follow = false;  // never for GETATTR
  fattr3 attr;
  bool well_formed = false;  // a failure status, and the whole reply consumed
  size_t size = 0;
};

inline failure_result parse_failure(const bytes& raw, uint32_t proc) {
  failure_result f;
  f.size = raw.size();
  if (raw.size() < kReplyBody + 4 || accept_stat(raw) != 0) return f;
  reply_reader r(raw, kReplyBody);
  f.status = r.u32();
  if (proc != NFS_GETATTR) f.attr = read_failure_post_op_attr(&r, &f.attrs_follow);
  f.well_formed = f.status != 0 && r.done();
  return f;
}

// The handle that the control interface builds for a path in an export.
inline bytes handle_for(const char* export_path, const std::string& rel) {
  bytes fh(32);
  if (vorlix_fh_for(export_path, rel.c_str(), fh.data(), static_cast<int>(fh.size())) != 32) return {};
  return fh;
}

struct getattr_result {
  uint32_t status = 0xFFFFFFFF;
  fattr3 attr;
  bool well_formed = false;  // the whole reply was consumed
  size_t size = 0;           // of the whole reply record
};

inline getattr_result getattr_raw(rpc_conn& c, const bytes& args) {
  getattr_result g;
  const bytes raw = nfs_call(c, NFS_GETATTR, args);
  g.size = raw.size();
  if (raw.size() < kReplyBody + 4) return g;
  reply_reader r(raw, kReplyBody);
  g.status = r.u32();
  // A failure is the status alone: GETATTR's failure has no body.
  if (g.status == 0) g.attr = read_fattr3(&r);
  g.well_formed = r.done();
  return g;
}
inline getattr_result getattr(rpc_conn& c, const bytes& fh) { return getattr_raw(c, opaque_arg(fh)); }

struct lookup_result {
  uint32_t status = 0xFFFFFFFF;
  bytes fh;
  fattr3 obj;
  fattr3 dir;               // present on success and on NOENT in a folder
  bool dir_follows = false;  // whether dir came in the reply
  bool well_formed = false;  // the whole reply was consumed
  size_t size = 0;
  bytes raw;
};

inline lookup_result lookup_name(rpc_conn& c, const bytes& dir, const bytes& name) {
  lookup_result l;
  bytes args = opaque_arg(dir);
  put_opaque(&args, name.data(), name.size());
  l.raw = nfs_call(c, NFS_LOOKUP, args);
  l.size = l.raw.size();
  if (l.raw.size() < kReplyBody + 4) return l;
  reply_reader r(l.raw, kReplyBody);
  l.status = r.u32();
  if (l.status == 0) {
    l.fh = r.opaque(64);
    l.obj = read_post_op_attr(&r);
    l.dir = read_post_op_attr(&r);
    l.dir_follows = true;
  } else {
    l.dir = read_failure_post_op_attr(&r, &l.dir_follows);
  }
  l.well_formed = r.done();
  return l;
}
inline lookup_result lookup(rpc_conn& c, const bytes& dir, const std::string& name) {
  return lookup_name(c, dir, bytes(name.begin(), name.end()));
}

// Looks up each "/"-separated component in turn; empty when any step fails.
inline bytes walk(rpc_conn& c, bytes fh, const std::string& rel) {
  size_t at = 0;
  while (at < rel.size() && !fh.empty()) {
    size_t end = rel.find('/', at);
    if (end == std::string::npos) end = rel.size();
    const lookup_result l = lookup(c, fh, rel.substr(at, end - at));
    fh = l.status == 0 ? l.fh : bytes{};
    at = end + 1;
  }
  return fh;
}

struct read_result {
  uint32_t status = 0xFFFFFFFF;
  fattr3 attr;
  bool attr_follows = false;  // whether attr came in the reply
  uint32_t count = 0;
  bool eof = false;
  bytes data;
  bool well_formed = false;  // the whole reply was consumed
  bytes raw;
};

inline read_result read_raw(rpc_conn& c, const bytes& args) {
  read_result d;
  d.raw = nfs_call(c, NFS_READ, args);
  if (d.raw.size() < kReplyBody + 4) return d;
  reply_reader r(d.raw, kReplyBody);
  d.status = r.u32();
  if (d.status == 0) {
    d.attr = read_post_op_attr(&r);
    d.attr_follows = true;
    d.count = r.u32();
    d.eof = r.u32() != 0;
    d.data = r.opaque();
  } else {
    d.attr = read_failure_post_op_attr(&r, &d.attr_follows);
  }
  d.well_formed = r.done() && d.data.size() == d.count;
  return d;
}
inline read_result read(rpc_conn& c, const bytes& fh, uint64_t off, uint32_t count) {
  bytes args = opaque_arg(fh);
  put64(&args, off);
  put32(&args, count);
  return read_raw(c, args);
}

struct dir_entry {
  uint64_t fileid = 0;
  std::string name;
  uint64_t cookie = 0;
  fattr3 attr;  // READDIRPLUS only
  bytes fh;     // READDIRPLUS only
};

struct readdir_result {
  uint32_t status = 0xFFFFFFFF;
  fattr3 dir;
  bool dir_follows = false;  // whether dir came in the reply
  bytes verf;
  std::vector<dir_entry> entries;
  bool eof = false;
  bool well_formed = false;  // the whole reply was consumed
  size_t size = 0;

  const dir_entry* find(const std::string& name) const {
    for (const dir_entry& e : entries) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> v;
    for (const dir_entry& e : entries) v.push_back(e.name);
    return v;
  }
};

inline readdir_result parse_readdir(const bytes& raw, bool plus) {
  readdir_result d;
  d.size = raw.size();
  if (raw.size() < kReplyBody + 4) return d;
  reply_reader r(raw, kReplyBody);
  d.status = r.u32();
  if (d.status != 0) {
    d.dir = read_failure_post_op_attr(&r, &d.dir_follows);
  } else {
    d.dir = read_post_op_attr(&r);
    d.dir_follows = true;
    d.verf = r.fixed(8);
    // Every entry takes more than 16 bytes, so the record bounds the loop.
    while (r.ok && r.u32() == 1) {
      dir_entry e;
      e.fileid = r.u64();
      const bytes n = r.opaque(4096);
      e.name.assign(n.begin(), n.end());
      e.cookie = r.u64();
      if (plus) {
        e.attr = read_post_op_attr(&r);
        if (r.u32() != 1) r.ok = false;
        e.fh = r.opaque(64);
      }
      d.entries.push_back(std::move(e));
    }
    d.eof = r.u32() != 0;
  }
  d.well_formed = r.done();
  return d;
}

inline bytes readdir_args(const bytes& fh, uint64_t cookie, const bytes& verf) {
  bytes a = opaque_arg(fh);
  put64(&a, cookie);
  bytes v = verf;
  v.resize(8);
  a.insert(a.end(), v.begin(), v.end());
  return a;
}

inline readdir_result readdir(rpc_conn& c, const bytes& fh, uint64_t cookie, const bytes& verf, uint32_t count) {
  bytes a = readdir_args(fh, cookie, verf);
  put32(&a, count);
  return parse_readdir(nfs_call(c, NFS_READDIR, a), false);
}

inline readdir_result readdirplus(rpc_conn& c, const bytes& fh, uint64_t cookie, const bytes& verf,
                                  uint32_t dircount, uint32_t maxcount) {
  bytes a = readdir_args(fh, cookie, verf);
  put32(&a, dircount);
  put32(&a, maxcount);
  return parse_readdir(nfs_call(c, NFS_READDIRPLUS, a), true);
}

// ---- Set-up and host-side facts -------------------------------------------------

// Adds one export (local machine only) and starts the server.
inline bool export_and_start(const char* export_path, const std::string& local) {
  return vorlix_add_export(export_path, local.c_str(), nullptr) >= 0 && start_test_server();
}

// The fixture of the tests that begin with one export served and mounted:
// `c` is a connection to the NFS port, `root` the export's root handle.
// A suite uses it as `using Suite = wire::served_export;` with TEST_F.
class served_export : public testing::Test {
 protected:
  rpc_conn c;
  bytes root;
  // Adds the export (local machine only), starts the server, connects to
  // the NFS port and mounts the export through MNT; a fatal failure when a
  // step fails, so called as ASSERT_NO_FATAL_FAILURE(serve(...)).
  void serve(const char* export_path, const std::string& local) {
    ASSERT_TRUE(export_and_start(export_path, local));
    ASSERT_TRUE(c.open(vorlix_nfs_port()));
    root = mount_root(export_path);
    ASSERT_EQ(root.size(), 32u);
  }
};

#ifdef _WIN32
// The host's own view of a path, not following a final link: the fields
// the tests compare, read with the system's by-handle file information.
struct host_stat {
  uint64_t st_ino;
  uint64_t st_nlink;
  int64_t st_size;
};
inline host_stat host_lstat(const std::string& path) {
  host_stat s{0, 0, 0};
  std::wstring w(path.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, w.data(), static_cast<int>(w.size()));
  if (n <= 0) return s;
  HANDLE h = CreateFileW(w.c_str(), 0, 7, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return s;
  BY_HANDLE_FILE_INFORMATION fi;
  if (GetFileInformationByHandle(h, &fi)) {
    s.st_ino = (uint64_t{fi.nFileIndexHigh} << 32) | fi.nFileIndexLow;
    s.st_nlink = fi.nNumberOfLinks;
    s.st_size = static_cast<int64_t>((uint64_t{fi.nFileSizeHigh} << 32) | fi.nFileSizeLow);
  }
  CloseHandle(h);
  return s;
}
#else
// The host's own view of a path, not following a final link.
inline struct stat host_lstat(const std::string& path) {
  struct stat s;
  memset(&s, 0, sizeof s);
  (void)lstat(path.c_str(), &s);
  return s;
}
#endif

// True when the needle occurs anywhere in the record.
inline bool contains(const bytes& hay, const std::string& needle) {
  return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

}  // namespace wire
