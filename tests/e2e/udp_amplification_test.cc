// UDP replies are no lever for reflection: a reply larger than its datagram
// goes only to a source that an export admits; to any other source the
// server sends nothing larger than what it received. Every procedure served
// over UDP, from an admitted address and from a stranger's.
#include <gtest/gtest.h>

#include <string>

#include "nfs_client.h"

using namespace wire;

namespace {

struct udp_peer {
  plat_sock s = PLAT_INVALID_SOCK;
  explicit udp_peer(const char* local_ip) { (void)plat_udp_open4(local_ip, 0, &s); }
  ~udp_peer() { plat_sock_close(s); }
  udp_peer(const udp_peer&) = delete;
  udp_peer& operator=(const udp_peer&) = delete;

  // Sends the datagram to 127.0.0.1:port; true with the reply of the same
  // xid when one comes within wait_ms.
  bool exchange(int port, const bytes& d, bytes* reply, int wait_ms) {
    if (plat_udp_send(s, d.data(), d.size(), 0x7F000001u, port) != static_cast<int64_t>(d.size())) return false;
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(wait_ms);
    for (int i = 0; i < 16; i++) {
      const uint64_t now = plat_now_ms();
      if (now >= end || plat_poll1(s, 1, static_cast<int>(end - now)) <= 0) return false;
      reply->assign(65536, 0);
      uint32_t from = 0;
      int fport = 0;
      const int64_t n = plat_udp_recv(s, reply->data(), reply->size(), &from, &fport);
      if (n < 4) continue;
      reply->resize(static_cast<size_t>(n));
      if (get32(*reply, 0) == get32(d, 0)) return true;
    }
    return false;
  }
};

bytes rpcb_arg(uint32_t prog, uint32_t vers) {
  bytes a = words({prog, vers});
  put_string(&a, "udp");
  put_string(&a, "");
  put_string(&a, "");
  return a;
}

enum target { PORTMAP, MOUNT };

struct proc_case {
  const char* name;
  target to;
  uint32_t prog, vers, proc;
  bytes args;
  bool larger;  // the reply to an admitted source is larger than the call
  bool silent;  // and so is the one a stranger would get: it gets none
};

}  // namespace

TEST(UdpAmplification, LargerRepliesGoOnlyToAdmittedSources) {
#ifdef _WIN32
  if (running_under_wine()) GTEST_SKIP() << "Wine does not report the source address of loopback datagrams";
#endif
  temp_dir d;
  // Many exports make the export list long, for the one source they admit.
  for (int i = 0; i < 64; i++) {
    const std::string name = "e" + std::to_string(i);
    ASSERT_GE(vorlix_add_export(("/" + name).c_str(), d.mkdir(name).c_str(), "127.0.0.1/32"), 0);
  }
  const int pport = start_with_portmapper();
  ASSERT_GT(pport, 0);
  const int mport = vorlix_mount_port();
  const bytes netbuf = [] {
    bytes a = words({16});
    const unsigned char sin[16] = {0, 2, 8, 1, 127, 0, 0, 1};
    put_opaque(&a, sin, sizeof sin);
    return a;
  }();
  const bytes callit_null = words({kMountProg, 3, 0, 0});
  const proc_case cases[] = {
      {"portmap NULL", PORTMAP, kPortmapProg, 2, 0, {}, false, false},
      {"portmap SET", PORTMAP, kPortmapProg, 2, 1, words({400000, 1, 17, 999}), false, false},
      {"portmap UNSET", PORTMAP, kPortmapProg, 2, 2, words({400000, 1, 17, 999}), false, false},
      {"portmap GETPORT", PORTMAP, kPortmapProg, 2, 3, words({kMountProg, 3, 17, 0}), false, false},
      {"portmap DUMP", PORTMAP, kPortmapProg, 2, 4, {}, true, true},
      {"portmap CALLIT", PORTMAP, kPortmapProg, 2, 5, callit_null, false, false},
      {"rpcbind 3 NULL", PORTMAP, kPortmapProg, 3, 0, {}, false, false},
      {"rpcbind 3 SET", PORTMAP, kPortmapProg, 3, 1, rpcb_arg(400000, 1), false, false},
      {"rpcbind 3 UNSET", PORTMAP, kPortmapProg, 3, 2, rpcb_arg(400000, 1), false, false},
      {"rpcbind 3 GETADDR", PORTMAP, kPortmapProg, 3, 3, rpcb_arg(kMountProg, 3), false, false},
      {"rpcbind 3 DUMP", PORTMAP, kPortmapProg, 3, 4, {}, true, true},
      {"rpcbind 3 CALLIT", PORTMAP, kPortmapProg, 3, 5, callit_null, false, false},
      {"rpcbind 3 GETTIME", PORTMAP, kPortmapProg, 3, 6, {}, false, false},
      {"rpcbind 3 UADDR2TADDR", PORTMAP, kPortmapProg, 3, 7, string_arg("127.0.0.1.8.1"), false, false},
      {"rpcbind 3 TADDR2UADDR", PORTMAP, kPortmapProg, 3, 8, netbuf, false, false},
      {"rpcbind 4 NULL", PORTMAP, kPortmapProg, 4, 0, {}, false, false},
      {"rpcbind 4 GETADDR", PORTMAP, kPortmapProg, 4, 3, rpcb_arg(kMountProg, 3), false, false},
      {"rpcbind 4 DUMP", PORTMAP, kPortmapProg, 4, 4, {}, true, true},
      {"rpcbind 4 BCAST", PORTMAP, kPortmapProg, 4, 5, callit_null, false, false},
      {"rpcbind 4 GETTIME", PORTMAP, kPortmapProg, 4, 6, {}, false, false},
      {"rpcbind 4 UADDR2TADDR", PORTMAP, kPortmapProg, 4, 7, string_arg("127.0.0.1.8.1"), false, false},
      {"rpcbind 4 TADDR2UADDR", PORTMAP, kPortmapProg, 4, 8, netbuf, false, false},
      {"rpcbind 4 GETVERSADDR", PORTMAP, kPortmapProg, 4, 9, rpcb_arg(kMountProg, 3), false, false},
      {"rpcbind 4 INDIRECT", PORTMAP, kPortmapProg, 4, 10, callit_null, false, false},
      {"rpcbind 4 GETADDRLIST", PORTMAP, kPortmapProg, 4, 11, rpcb_arg(kMountProg, 3), true, true},
      {"rpcbind 4 GETSTAT", PORTMAP, kPortmapProg, 4, 12, {}, true, true},
      {"mount 1 NULL", MOUNT, kMountProg, 1, 0, {}, false, false},
      {"mount 1 MNT", MOUNT, kMountProg, 1, 1, string_arg("/e0"), false, false},
      {"mount 1 DUMP", MOUNT, kMountProg, 1, 2, {}, false, false},
      {"mount 1 UMNT", MOUNT, kMountProg, 1, 3, string_arg("/e0"), false, false},
      {"mount 1 UMNTALL", MOUNT, kMountProg, 1, 4, {}, false, false},
      {"mount 1 EXPORT", MOUNT, kMountProg, 1, 5, {}, true, false},
      {"mount 3 NULL", MOUNT, kMountProg, 3, 0, {}, false, false},
      {"mount 3 MNT", MOUNT, kMountProg, 3, 1, string_arg("/e0"), true, false},
      // The mount list holds the admitted source's MNT of the row above.
      {"mount 3 DUMP", MOUNT, kMountProg, 3, 2, {}, true, true},
      {"mount 3 UMNT", MOUNT, kMountProg, 3, 3, string_arg("/e0"), false, false},
      {"mount 3 UMNTALL", MOUNT, kMountProg, 3, 4, {}, false, false},
      {"mount 3 EXPORT", MOUNT, kMountProg, 3, 5, {}, true, false},
  };
  udp_peer admitted("127.0.0.1"), stranger("127.0.0.2");
  uint32_t xid = 0x7100;
  for (const proc_case& k : cases) {
    SCOPED_TRACE(k.name);
    const int port = k.to == PORTMAP ? pport : mport;
    const bytes call = rpc_call_record(++xid, k.prog, k.vers, k.proc, k.args);
    bytes reply;
    // The admitted source is answered in full.
    ASSERT_TRUE(admitted.exchange(port, call, &reply, 10000));
    EXPECT_EQ(reply.size() > call.size(), k.larger) << reply.size() << " bytes to " << call.size();
    // A stranger gets nothing larger than its datagram; where the reply
    // would be larger, nothing at all. (The waits leave room for a loaded
    // machine: a reply is sent at once when it is sent at all.)
    const bytes again = rpc_call_record(++xid, k.prog, k.vers, k.proc, k.args);
    bytes to_stranger;
    const bool answered = stranger.exchange(port, again, &to_stranger, k.silent ? 1000 : 10000);
    EXPECT_EQ(answered, !k.silent) << "a reply of " << to_stranger.size() << " bytes to " << again.size();
    if (answered) {
      EXPECT_LE(to_stranger.size(), again.size());
    }
  }
  vorlix_stop();
}
