// The portmapper version 2 on the wire: GETPORT for every mapping, DUMP,
// dropped calls and unknown procedures, with and without a portmapper port
// of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "nfs_client.h"
#include "state/config.h"
#include "state/server_rec.h"

using namespace wire;

namespace {

enum : uint32_t {
  PMAP_NULL = PMAPPROC_NULL,
  PMAP_SET = PMAPPROC_SET,
  PMAP_UNSET = PMAPPROC_UNSET,
  PMAP_GETPORT = PMAPPROC_GETADDR,
  PMAP_DUMP = PMAPPROC_DUMP,
  PMAP_CALLIT = PMAPPROC_CALLIT,
};

bytes pmap_call(rpc_conn& c, uint32_t proc, const bytes& args = {}) { return call(c, kPortmapProg, 2, proc, args); }

// GETPORT with the whole mapping (the port word is sent as 0 and not read).
uint32_t getport(rpc_conn& c, uint32_t prog, uint32_t vers, uint32_t prot) {
  bytes a;
  put32(&a, prog);
  put32(&a, vers);
  put32(&a, prot);
  put32(&a, 0);
  const bytes r = pmap_call(c, PMAP_GETPORT, a);
  EXPECT_EQ(r.size(), 28u);
  EXPECT_EQ(accept_stat(r), 0u);
  return get32(r, 24);
}

struct mapping_case {
  uint32_t prog, vers, prot;
  int which;  // 0: none, 1: NFS, 2: MOUNT, 3: the portmapper, 4: the portmapper over UDP, 5: MOUNT over UDP
};
const mapping_case kMappings[] = {
    {PROG_NFS, 3, RPC_PROTO_TCP, 1}, {PROG_NFS, 3, 0, 1}, {PROG_NFS, 3, RPC_PROTO_UDP, 0},
    {PROG_NFS, 2, RPC_PROTO_TCP, 0}, {PROG_NFS, 4, RPC_PROTO_TCP, 0}, {PROG_MOUNT, 3, RPC_PROTO_TCP, 2},
    {PROG_MOUNT, 3, 0, 2}, {PROG_MOUNT, 3, RPC_PROTO_UDP, 5}, {PROG_MOUNT, 1, RPC_PROTO_TCP, 2},
    {PROG_MOUNT, 1, RPC_PROTO_UDP, 5}, {PROG_MOUNT, 2, RPC_PROTO_TCP, 2}, {PROG_PORTMAP, 2, RPC_PROTO_TCP, 3},
    {PROG_PORTMAP, 2, 0, 3}, {PROG_PORTMAP, 2, RPC_PROTO_UDP, 4}, {PROG_PORTMAP, 3, RPC_PROTO_TCP, 3},
    {PROG_PORTMAP, 4, RPC_PROTO_TCP, 3}, {PROG_PORTMAP, 4, RPC_PROTO_UDP, 4}, {PROG_PORTMAP, 5, RPC_PROTO_TCP, 0},
    {100021, 4, RPC_PROTO_TCP, 0}, {123456, 1, RPC_PROTO_TCP, 0}, {0, 0, 0, 0},
};

uint32_t expected_port(int which) {
  switch (which) {
    case 1: return static_cast<uint32_t>(vorlix_nfs_port());
    case 2: return static_cast<uint32_t>(vorlix_mount_port());
    case 3: return static_cast<uint32_t>(vorlix_portmap_port());
    case 4: return static_cast<uint32_t>(G_SRV.bound_portmap_udp_port.load());
    case 5: return static_cast<uint32_t>(G_SRV.bound_mount_udp_port.load());
    default: return 0;
  }
}

// What the portmapper lists, in its order, each mapping once: its own
// versions 4, 3 and 2 over TCP and UDP, MOUNT 1, 2 and 3 over UDP and TCP,
// NFS 3 over TCP. Rows whose port is 0 do not listen and are left out.
const mapping_case kListed[] = {
    {PROG_PORTMAP, 4, RPC_PROTO_TCP, 3}, {PROG_PORTMAP, 3, RPC_PROTO_TCP, 3}, {PROG_PORTMAP, 2, RPC_PROTO_TCP, 3},
    {PROG_PORTMAP, 4, RPC_PROTO_UDP, 4}, {PROG_PORTMAP, 3, RPC_PROTO_UDP, 4}, {PROG_PORTMAP, 2, RPC_PROTO_UDP, 4},
    {PROG_MOUNT, 1, RPC_PROTO_UDP, 5}, {PROG_MOUNT, 2, RPC_PROTO_UDP, 5}, {PROG_MOUNT, 3, RPC_PROTO_UDP, 5},
    {PROG_MOUNT, 1, RPC_PROTO_TCP, 2}, {PROG_MOUNT, 2, RPC_PROTO_TCP, 2}, {PROG_MOUNT, 3, RPC_PROTO_TCP, 2},
    {PROG_NFS, 3, RPC_PROTO_TCP, 1},
};

void expect_dump(rpc_conn& c) {
  bytes expected;
  for (const mapping_case& r : kListed) {
    const uint32_t port = expected_port(r.which);
    if (port == 0) continue;
    for (uint32_t w : {1u, r.prog, r.vers, r.prot, port}) put32(&expected, w);
  }
  put32(&expected, 0);
  const bytes r = pmap_call(c, PMAP_DUMP);
  ASSERT_GE(r.size(), 24u);
  EXPECT_EQ(accept_stat(r), 0u);
  EXPECT_EQ(bytes(r.begin() + 24, r.end()), expected);
}

TEST(Portmap, WithoutPortmapperPort) {
  ASSERT_TRUE(start_test_server(0));
  EXPECT_EQ(vorlix_portmap_port(), 0);
  ASSERT_GT(vorlix_nfs_port(), 0);
  for (const int port : {vorlix_nfs_port(), vorlix_mount_port()}) {
    SCOPED_TRACE("asked on port " + std::to_string(port));
    rpc_conn c;
    ASSERT_TRUE(c.open(port));
    for (const mapping_case& m : kMappings) {
      SCOPED_TRACE(std::to_string(m.prog) + "/" + std::to_string(m.vers) + "/" + std::to_string(m.prot));
      EXPECT_EQ(getport(c, m.prog, m.vers, m.prot), m.which == 3 || m.which == 4 ? 0u : expected_port(m.which));
    }
    expect_dump(c);
  }
}

TEST(Portmap, WithPortmapperPort) {
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  EXPECT_EQ(vorlix_portmap_port(), port);
  for (const int at : {port, vorlix_nfs_port()}) {
    SCOPED_TRACE("asked on port " + std::to_string(at));
    rpc_conn c;
    ASSERT_TRUE(c.open(at));
    for (const mapping_case& m : kMappings) {
      SCOPED_TRACE(std::to_string(m.prog) + "/" + std::to_string(m.vers) + "/" + std::to_string(m.prot));
      EXPECT_EQ(getport(c, m.prog, m.vers, m.prot), expected_port(m.which));
    }
    expect_dump(c);
  }
  // The portmapper's port answers the other programs too.
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/e", d.path.c_str(), nullptr), 0);
  rpc_conn c;
  ASSERT_TRUE(c.open(port));
  const mnt_result m = mnt(c, "/e");
  EXPECT_EQ(m.status, 0u);
  EXPECT_EQ(getattr(c, m.fh).attr.type, 2u);
}

TEST(Portmap, GetportThatDoesNotDecodeIsDropped) {
  ASSERT_TRUE(start_test_server(0));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  bytes two_words;
  put32(&two_words, PROG_NFS);
  put32(&two_words, 3);
  bytes eleven_bytes = two_words;
  eleven_bytes.insert(eleven_bytes.end(), {0, 0, 0});
  for (const bytes& args : {bytes{}, two_words, eleven_bytes}) {
    SCOPED_TRACE(args.size());
    const uint32_t xid = c.next_xid++;
    ASSERT_TRUE(c.send_raw(with_mark(rpc_call_record(xid, kPortmapProg, 2, PMAP_GETPORT, args))));
    bytes reply;
    EXPECT_FALSE(c.recv_record(&reply, 300)) << "a reply of " << reply.size() << " bytes";
    // The connection goes on: the next call gets its own reply.
    EXPECT_EQ(getport(c, PROG_NFS, 3, RPC_PROTO_TCP), static_cast<uint32_t>(vorlix_nfs_port()));
  }
  // Three words are enough; the port word of the mapping is not needed.
  bytes three_words = two_words;
  put32(&three_words, 6);
  const bytes r = pmap_call(c, PMAP_GETPORT, three_words);
  ASSERT_EQ(r.size(), 28u);
  EXPECT_EQ(get32(r, 24), static_cast<uint32_t>(vorlix_nfs_port()));
}

TEST(Portmap, OtherProcedures) {
  ASSERT_TRUE(start_test_server(0));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  bytes mapping;
  for (uint32_t w : {100003u, 3u, 6u, 2049u}) put32(&mapping, w);
  struct proc_case {
    const char* what;
    uint32_t proc;
    bytes args;
    uint32_t accept;
  };
  const proc_case cases[] = {
      {"NULL", PMAP_NULL, {}, 0},
      {"SET", PMAP_SET, mapping, 3},
      {"UNSET", PMAP_UNSET, mapping, 3},
      {"CALLIT", PMAP_CALLIT, mapping, 3},
      {"procedure 6", 6, {}, 3},
      {"procedure 0xFFFFFFFF", 0xFFFFFFFF, {}, 3},
  };
  for (const proc_case& k : cases) {
    SCOPED_TRACE(k.what);
    const bytes r = pmap_call(c, k.proc, k.args);
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(accept_stat(r), k.accept);
  }
  // Nothing was registered.
  EXPECT_EQ(getport(c, 100003, 3, 6), static_cast<uint32_t>(vorlix_nfs_port()));
  expect_dump(c);
}

TEST(Portmap, RepliesWriteNoDebugLine) {
  // The switch is read when the server starts.
  setenv("VORLIX_RDPDBG", "1", 1);
  ASSERT_TRUE(start_test_server(0));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  testing::internal::CaptureStderr();
  (void)getport(c, 100003, 3, 6);
  (void)pmap_call(c, PMAP_DUMP);
  (void)pmap_call(c, PMAP_SET);
  const std::string quiet = testing::internal::GetCapturedStderr();
  // The switch is on: NFS's NULL on the same connection writes its line.
  testing::internal::CaptureStderr();
  const bytes null_reply = nfs_call(c, 0, {});
  const std::string loud = testing::internal::GetCapturedStderr();
  unsetenv("VORLIX_RDPDBG");
  debug_read_env();
  EXPECT_EQ(quiet, "");
  EXPECT_EQ(null_reply.size(), kReplyBody);
  EXPECT_EQ(loud, "RDPDBG reply proc=0 len=24\n");
}

// ---- rpcbind versions 3 and 4 ----------------------------------------------------

enum : uint32_t {
  RPCB_GETADDR = PMAPPROC_GETADDR,
  RPCB_DUMP = PMAPPROC_DUMP,
  RPCB_CALLIT = PMAPPROC_CALLIT,
  RPCB_GETTIME = PMAPPROC_GETTIME,
  RPCB_UADDR2TADDR = PMAPPROC_UADDR2TADDR,
  RPCB_TADDR2UADDR = PMAPPROC_TADDR2UADDR,
  RPCB_GETVERSADDR = PMAPPROC_GETVERSADDR,
  RPCB_INDIRECT = PMAPPROC_INDIRECT,
  RPCB_GETADDRLIST = PMAPPROC_GETADDRLIST,
  RPCB_GETSTAT = PMAPPROC_GETSTAT,
};

const char* netid(uint32_t prot) { return prot == RPC_PROTO_UDP ? "udp" : "tcp"; }

TEST(Rpcbind, GetaddrAndGetversaddr) {
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  const uint32_t nfs = static_cast<uint32_t>(vorlix_nfs_port());
  const uint32_t mnt = static_cast<uint32_t>(vorlix_mount_port());
  struct addr_case {
    uint32_t prog, vers;
    const char* netid;
    uint32_t exact;  // the port of the exact version, 0 for none
    uint32_t any;    // the port GETADDR answers (any version of the program)
  };
  const addr_case cases[] = {
      {100003, 3, "tcp", nfs, nfs},
      {100003, 3, "", nfs, nfs},  // the empty netid: the call's own transport
      {100003, 3, "udp", 0, 0},
      {100003, 2, "tcp", 0, nfs},
      {100003, 0, "tcp", 0, nfs},
      {100003, 3, "tcp6", 0, 0},
      {100005, 1, "tcp", mnt, mnt},
      {100005, 3, "tcp", mnt, mnt},
      {100000, 4, "tcp", static_cast<uint32_t>(port), static_cast<uint32_t>(port)},
      {100021, 4, "tcp", 0, 0},
  };
  rpc_conn c;
  ASSERT_TRUE(c.open(port));
  for (uint32_t vers : {3u, 4u}) {
    for (const addr_case& k : cases) {
      SCOPED_TRACE(testing::Message() << "v" << vers << " " << k.prog << "/" << k.vers << "/" << k.netid);
      EXPECT_EQ(string_reply(call(c, kPortmapProg, vers, RPCB_GETADDR, rpcb_arg(k.prog, k.vers, k.netid))),
                uaddr(k.any));
      if (vers == 4) {
        EXPECT_EQ(string_reply(call(c, kPortmapProg, 4, RPCB_GETVERSADDR, rpcb_arg(k.prog, k.vers, k.netid))),
                  uaddr(k.exact));
      }
    }
  }
  // Arguments that do not decode get no reply; the connection goes on.
  const uint32_t xid = c.next_xid++;
  bytes cut = rpcb_arg(100003, 3, "tcp");
  cut.resize(14);
  ASSERT_TRUE(c.send_raw(with_mark(rpc_call_record(xid, kPortmapProg, 4, RPCB_GETADDR, cut))));
  bytes reply;
  EXPECT_FALSE(c.recv_record(&reply, 300));
  EXPECT_EQ(string_reply(call(c, kPortmapProg, 3, RPCB_GETADDR, rpcb_arg(100003, 3, "tcp"))), uaddr(nfs));
}

TEST(Rpcbind, DumpAndAddressList) {
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  rpc_conn c;
  ASSERT_TRUE(c.open(port));
  for (uint32_t vers : {3u, 4u}) {
    SCOPED_TRACE(vers);
    bytes expected;
    for (const mapping_case& m : kListed) {
      if (expected_port(m.which) == 0) continue;
      put32(&expected, 1);
      put32(&expected, m.prog);
      put32(&expected, m.vers);
      put_string(&expected, netid(m.prot));
      put_string(&expected, uaddr(expected_port(m.which)));
      put_string(&expected, "unknown");
    }
    put32(&expected, 0);
    const bytes r = call(c, kPortmapProg, vers, RPCB_DUMP, {});
    ASSERT_GE(r.size(), 24u);
    EXPECT_EQ(accept_stat(r), 0u);
    EXPECT_EQ(bytes(r.begin() + 24, r.end()), expected);
  }
  // GETADDRLIST: every address of one program and version, the netid of the
  // argument not looked at.
  for (const auto& [prog, vers] : {std::pair{100005u, 3u}, {100003u, 3u}, {100000u, 2u}, {100003u, 2u}}) {
    SCOPED_TRACE(testing::Message() << prog << "/" << vers);
    bytes expected;
    for (const mapping_case& m : kListed) {
      if (m.prog != prog || m.vers != vers || expected_port(m.which) == 0) continue;
      put32(&expected, 1);
      put_string(&expected, uaddr(expected_port(m.which)));
      put_string(&expected, netid(m.prot));
      put32(&expected, m.prot == RPC_PROTO_UDP ? 1 : 3);
      put_string(&expected, "inet");
      put_string(&expected, netid(m.prot));
    }
    put32(&expected, 0);
    const bytes r = call(c, kPortmapProg, 4, RPCB_GETADDRLIST, rpcb_arg(prog, vers, "udp"));
    ASSERT_GE(r.size(), 24u);
    EXPECT_EQ(bytes(r.begin() + 24, r.end()), expected);
  }
}

TEST(Rpcbind, AddressConversionTimeStatAndRefusals) {
  ASSERT_TRUE(start_test_server(0));
  rpc_conn c;
  ASSERT_TRUE(c.open(vorlix_nfs_port()));
  const bytes taddr = {2, 0, 8, 1, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t vers : {3u, 4u}) {
    SCOPED_TRACE(vers);
    // UADDR2TADDR: a netbuf (maxlen, then the socket address).
    bytes good;
    put32(&good, 16);
    put_opaque(&good, taddr.data(), taddr.size());
    bytes empty;
    put32(&empty, 0);
    put32(&empty, 0);
    for (const auto& [text, body] : {std::pair<std::string, bytes>{"127.0.0.1.8.1", good}, {"127.0.0.1.8", empty},
                                     {"127.0.0.1.8.256", empty}, {"127.0.0.1.8.1.", empty}, {"", empty}}) {
      SCOPED_TRACE(text);
      const bytes r = call(c, kPortmapProg, vers, RPCB_UADDR2TADDR, string_arg(text));
      ASSERT_GE(r.size(), 24u);
      EXPECT_EQ(bytes(r.begin() + 24, r.end()), body);
    }
    // TADDR2UADDR: the family in either byte order; anything else is "".
    bytes swapped = taddr;
    std::swap(swapped[0], swapped[1]);
    const bytes v6 = {10, 0, 8, 1, 0, 0, 0, 0};
    for (const auto& [sa, text] : {std::pair<bytes, std::string>{taddr, "127.0.0.1.8.1"}, {swapped, "127.0.0.1.8.1"},
                                   {v6, ""}, {bytes{2, 0, 8}, ""}}) {
      bytes netbuf;
      put32(&netbuf, 16);
      put_opaque(&netbuf, sa.data(), sa.size());
      EXPECT_EQ(string_reply(call(c, kPortmapProg, vers, RPCB_TADDR2UADDR, netbuf)), text);
    }
    // GETTIME: the server's clock, seconds since 1970.
    const bytes t = call(c, kPortmapProg, vers, RPCB_GETTIME, {});
    ASSERT_EQ(t.size(), 28u);
    EXPECT_NEAR(static_cast<double>(get32(t, 24)), static_cast<double>(time(nullptr)), 60.0);
    // Nothing is registered or forwarded over TCP.
    for (uint32_t proc : {1u, 2u, uint32_t{RPCB_CALLIT}, 13u}) {
      SCOPED_TRACE(proc);
      const bytes r = call(c, kPortmapProg, vers, proc, rpcb_arg(100003, 3, "tcp"));
      ASSERT_EQ(r.size(), 24u);
      EXPECT_EQ(accept_stat(r), 3u);
    }
  }
  // Version 4's own procedures: version 3 does not have them.
  for (uint32_t proc : {RPCB_GETVERSADDR, RPCB_INDIRECT, RPCB_GETADDRLIST, RPCB_GETSTAT}) {
    SCOPED_TRACE(proc);
    const bytes r = call(c, kPortmapProg, 3, proc, rpcb_arg(100003, 3, "tcp"));
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(accept_stat(r), 3u);
  }
  EXPECT_EQ(accept_stat(call(c, kPortmapProg, 4, RPCB_INDIRECT, rpcb_arg(100003, 3, "tcp"))), 3u);
  // GETSTAT: three zeroed rpcb_stat records (13 counters, two counts, two
  // empty lists each).
  const bytes st = call(c, kPortmapProg, 4, RPCB_GETSTAT, {});
  EXPECT_EQ(st, [&] {
    bytes e(st.begin(), st.begin() + std::min<size_t>(st.size(), 24));
    e.resize(24 + 3 * 17 * 4, 0);
    return e;
  }());
}

}  // namespace
