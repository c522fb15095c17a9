// The portmapper, rpcbind and MOUNT over UDP, one datagram per call:
// answers from the bound address and port, the allow lists with the
// datagram's source as the client, CALLIT answered only for the NULL
// procedure of the server's own programs, silence for everything that does
// not decode, and the listeners' end with the server's stop.
#include <gtest/gtest.h>

#include <string>

#include "nfs_client.h"
#include "state/server_rec.h"

using namespace wire;

namespace {

// A UDP socket of the test on a loopback address.
struct udp_client {
  plat_sock s = PLAT_INVALID_SOCK;
  uint32_t xid = 0x5000;
  explicit udp_client(const char* local_ip = "127.0.0.1") { (void)plat_udp_open4(local_ip, 0, &s); }
  ~udp_client() { plat_sock_close(s); }
  udp_client(const udp_client&) = delete;
  udp_client& operator=(const udp_client&) = delete;

  // Sends one datagram to 127.0.0.1:port and takes the first that comes back
  // within wait_ms; false when none does. *from_port: its source port.
  bool exchange(int port, const bytes& datagram, bytes* reply, int wait_ms = 5000, int* from_port = nullptr) {
    if (plat_udp_send(s, datagram.data(), datagram.size(), 0x7F000001u, port) != static_cast<int64_t>(datagram.size()))
      return false;
    if (plat_poll1(s, 1, wait_ms) <= 0) return false;
    reply->assign(65536, 0);
    uint32_t from = 0;
    int fport = 0;
    const int64_t n = plat_udp_recv(s, reply->data(), reply->size(), &from, &fport);
    if (n < 0 || from != 0x7F000001u) return false;
    reply->resize(static_cast<size_t>(n));
    if (from_port != nullptr) *from_port = fport;
    return true;
  }
  bytes call(int port, uint32_t prog, uint32_t vers, uint32_t proc, const bytes& args = {}) {
    bytes reply;
    const uint32_t id = ++xid;
    if (!exchange(port, rpc_call_record(id, prog, vers, proc, args), &reply) || get32(reply, 0) != id) return {};
    return reply;
  }
};

TEST(Udp, PortmapperAnswersFromItsPort) {
  // The lists larger than their calls go only to a source an export admits.
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/e", d.path.c_str(), "127.0.0.1/32"), 0);
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  EXPECT_EQ(G_SRV.bound_portmap_udp_port.load(), port);
  EXPECT_EQ(G_SRV.bound_mount_udp_port.load(), vorlix_mount_port());
  udp_client c;
  bytes reply;
  int from_port = 0;
  ASSERT_TRUE(c.exchange(port, rpc_call_record(7, kPortmapProg, 2, 0, {}), &reply, 5000, &from_port));
  EXPECT_EQ(reply, words({7, 1, 0, 0, 0, 0}));
  EXPECT_EQ(from_port, port);
  struct getport_case {
    uint32_t prog, vers, prot;
    int port;
  };
  const getport_case cases[] = {
      {100005, 3, 17, vorlix_mount_port()}, {100005, 1, 17, vorlix_mount_port()}, {100005, 3, 6, vorlix_mount_port()},
      {100003, 3, 17, 0},                   {100003, 3, 6, vorlix_nfs_port()},    {100000, 2, 17, port},
  };
  for (const getport_case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.prog << "/" << k.vers << "/" << k.prot);
    const bytes r = c.call(port, kPortmapProg, 2, 3, words({k.prog, k.vers, k.prot, 0}));
    ASSERT_EQ(r.size(), 28u);
    EXPECT_EQ(get32(r, 24), static_cast<uint32_t>(k.port));
  }
  // rpcbind: the empty netid stands for UDP, the transport of the call.
  for (const auto& [prog, expected] : {std::pair<uint32_t, std::string>{100005, uaddr(vorlix_mount_port())},
                                       {100003, ""}}) {
    bytes a = words({prog, 3});
    put_string(&a, "");
    put_string(&a, "");
    put_string(&a, "");
    const bytes r = c.call(port, kPortmapProg, 4, 9, a);  // GETVERSADDR
    ASSERT_GE(r.size(), 28u);
    EXPECT_EQ(std::string(r.begin() + 28, r.begin() + 28 + get32(r, 24)), expected);
  }
  // DUMP over UDP is the same list as over TCP.
  rpc_conn t;
  ASSERT_TRUE(t.open(port));
  for (uint32_t vers : {2u, 3u, 4u}) {
    const bytes u = c.call(port, kPortmapProg, vers, 4);
    const bytes v = call(t, kPortmapProg, vers, 4, {});
    ASSERT_GT(u.size(), 28u);
    EXPECT_EQ(bytes(u.begin() + 4, u.end()), bytes(v.begin() + 4, v.end()));
  }
}

TEST(Udp, MountChecksTheSourceAgainstTheAllowLists) {
#ifdef _WIN32
  // Wine gives 127.0.0.1 as the source of every loopback datagram, so no
  // other client can be played here; Windows itself gives the sender's.
  if (running_under_wine()) GTEST_SKIP() << "Wine does not report the source address of loopback datagrams";
#endif
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/local", d.mkdir("local").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/lan", d.mkdir("lan").c_str(), "127.0.0.0/24"), 0);
  ASSERT_TRUE(start_test_server());
  const int mport = vorlix_mount_port();
  udp_client here("127.0.0.1"), other("127.0.0.2");
  struct mnt_case {
    const char* path;
    uint32_t from_here, from_other;
  };
  for (const mnt_case& k : {mnt_case{"/local", 0, 13}, {"/lan", 0, 0}, {"/none", 2, 2}}) {
    SCOPED_TRACE(k.path);
    for (auto [c, expected] : {std::pair<udp_client*, uint32_t>{&here, k.from_here}, {&other, k.from_other}}) {
      const bytes r = c->call(mport, kMountProg, 3, MNT_MNT, string_arg(k.path));
      ASSERT_EQ(r.size(), expected == 0 ? 72u : 28u);
      EXPECT_EQ(status_of(r), expected);
      // The handle from a datagram works over TCP, for a client the export admits.
      if (expected == 0) {
        rpc_conn n;
        ASSERT_TRUE(n.open(vorlix_nfs_port()));
        EXPECT_EQ(getattr(n, bytes(r.begin() + 32, r.begin() + 64)).status, 0u);
      }
      EXPECT_EQ(status_of(c->call(mport, kMountProg, 1, MNT_MNT, string_arg(k.path))), 13u);
    }
  }
  // EXPORT, versions 1 and 3, lists what the source may see, as over TCP.
  for (auto [from, c] : {std::pair<const char*, udp_client*>{"127.0.0.1", &here}, {"127.0.0.2", &other}}) {
    rpc_conn t;
    ASSERT_TRUE(t.open(mport, from));
    const bytes over_tcp = call(t, kMountProg, 3, MNT_EXPORT, {});
    for (uint32_t vers : {1u, 3u}) {
      const bytes r = c->call(mport, kMountProg, vers, MNT_EXPORT);
      ASSERT_GE(r.size(), 28u);
      EXPECT_EQ(bytes(r.begin() + 4, r.end()), bytes(over_tcp.begin() + 4, over_tcp.end()));
    }
  }
}

// Over UDP, NFS is not served and everything that does not decode as a call
// is dropped without a reply; the listener goes on.
TEST(Udp, UndecodableDatagramsGetNoReply) {
  ASSERT_TRUE(start_test_server());
  const int mport = vorlix_mount_port();
  udp_client c;
  bytes big_cred = words({9, 0, 2, kMountProg, 3, 0, 1, 401});
  big_cred.resize(big_cred.size() + 404, 0);
  const bytes silent[] = {
      {},
      {1, 2, 3},
      words({9, 1, 0, 0, 0, 0}),                      // a reply
      words({9, 0, 2, kMountProg, 3}),                // cut before the procedure
      words({9, 0, 2, kMountProg, 3, 0, 0}),          // cut inside the credential
      big_cred,                                       // credential over 400 bytes
      rpc_call_record(9, kPortmapProg, 2, 3, words({100003, 3})),  // GETPORT cut short
  };
  for (const bytes& d : silent) {
    SCOPED_TRACE(d.size());
    bytes reply;
    EXPECT_FALSE(c.exchange(mport, d, &reply, 300)) << "a reply of " << reply.size() << " bytes";
  }
  const bytes nfs = c.call(mport, kNfsProg, 3, 0);
  EXPECT_EQ(nfs, words({c.xid, 1, 0, 0, 0, 1}));  // PROG_UNAVAIL
  const bytes mount = c.call(mport, kMountProg, 3, 0);
  EXPECT_EQ(mount, words({c.xid, 1, 0, 0, 0, 0}));
}

// CALLIT (version 2) and CALLIT/INDIRECT (versions 3 and 4) are answered over
// UDP for the NULL procedure of the server's own programs only, with the
// program's address and empty results, never larger than the call; anything
// else gets silence.
TEST(Udp, CallitAnswersOnlyNullOfOwnPrograms) {
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  udp_client c;
  const int mport = vorlix_mount_port();
  struct callit_case {
    uint32_t vers, proc;  // of the portmapper
    uint32_t prog, pvers, pproc;
    int answer_port;  // 0: no reply
  };
  const callit_case cases[] = {
      {2, 5, 100005, 3, 0, mport},
      {2, 5, 100005, 1, 0, mport},
      {2, 5, 100003, 3, 0, vorlix_nfs_port()},  // NFS has no UDP port: its TCP port
      {2, 5, 100000, 2, 0, port},
      {3, 5, 100005, 3, 0, mport},
      {4, 5, 100005, 3, 0, mport},
      {4, 10, 100005, 3, 0, mport},
      {2, 5, 100005, 3, 5, 0},  // EXPORT: not NULL
      {2, 5, 100005, 2, 0, mport},  // what libnfs' discovery broadcasts
      {2, 5, 100005, 4, 0, 0},      // a version not served
      {2, 5, 100021, 4, 0, 0},  // another program
      {4, 10, 100003, 3, 1, 0},
      {3, 10, 100005, 3, 0, 0},  // version 3 has no INDIRECT: PROC_UNAVAIL
  };
  for (const callit_case& k : cases) {
    SCOPED_TRACE(testing::Message() << "v" << k.vers << " proc " << k.proc << " " << k.prog << "/" << k.pvers << "/"
                                    << k.pproc);
    bytes args = words({k.prog, k.pvers, k.pproc});
    put_opaque(&args, nullptr, 0);
    const bytes datagram = rpc_call_record(++c.xid, kPortmapProg, k.vers, k.proc, args);
    bytes reply;
    const bool got = c.exchange(port, datagram, &reply, k.answer_port == 0 ? 300 : 5000);
    if (k.vers == 3 && k.proc == 10) {
      ASSERT_TRUE(got);
      EXPECT_EQ(reply, words({c.xid, 1, 0, 0, 0, 3}));
      continue;
    }
    if (k.answer_port == 0) {
      EXPECT_FALSE(got) << "a reply of " << reply.size() << " bytes";
      continue;
    }
    ASSERT_TRUE(got);
    bytes expected = words({c.xid, 1, 0, 0, 0, 0});
    if (k.vers == 2) {
      put32(&expected, static_cast<uint32_t>(k.answer_port));
    } else {
      put_string(&expected, uaddr(k.answer_port));
    }
    put32(&expected, 0);  // no results
    EXPECT_EQ(reply, expected);
    EXPECT_LE(reply.size(), datagram.size());
  }
  // Over TCP, CALLIT is refused as before.
  rpc_conn t;
  ASSERT_TRUE(t.open(port));
  bytes args = words({100005, 3, 0});
  put_opaque(&args, nullptr, 0);
  EXPECT_EQ(accept_stat(call(t, kPortmapProg, 2, 5, args)), 3u);
}

TEST(Udp, ListenersEndWithTheServerAndComeBack) {
  const int port = start_with_portmapper();
  ASSERT_GT(port, 0);
  const int mport = vorlix_mount_port();
  udp_client c;
  ASSERT_EQ(c.call(port, kPortmapProg, 2, 0).size(), 24u);
  vorlix_stop();
  bytes reply;
  EXPECT_FALSE(c.exchange(port, rpc_call_record(1, kPortmapProg, 2, 0, {}), &reply, 300));
  EXPECT_FALSE(c.exchange(mport, rpc_call_record(2, kMountProg, 3, 0, {}), &reply, 300));
  // The ports are free again: a new start binds them.
  ASSERT_EQ(vorlix_start("127.0.0.1", vorlix_nfs_port(), mport, port), 0) << vorlix_last_error();
  EXPECT_EQ(c.call(port, kPortmapProg, 2, 0).size(), 24u);
  EXPECT_EQ(c.call(mport, kMountProg, 1, 0).size(), 24u);
  vorlix_stop();
  // Without a portmapper port there is no portmapper over UDP.
  ASSERT_TRUE(start_test_server(0));
  EXPECT_EQ(G_SRV.bound_portmap_udp_port.load(), 0);
  EXPECT_EQ(G_SRV.bound_mount_udp_port.load(), vorlix_mount_port());
}

}  // namespace
