// Reaching the server on several addresses and both families: portmapper
// answers name the address the client reached, UDP replies leave from it,
// IPv6 clients are admitted by IPv6 networks and by "this machine", and
// the EXPORT listing names who may mount each export.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nfs_client.h"
#include "state/server_rec.h"

using namespace wire;

namespace {

enum : uint32_t { RPCB_GETADDR = PMAPPROC_GETADDR, RPCB_DUMP = PMAPPROC_DUMP };

// The universal address of a port on an address given as text.
std::string uaddr_on(const std::string& ip, int port) {
  return ip + "." + std::to_string(port >> 8) + "." + std::to_string(port & 255);
}

// Starts the server on the bind text with a portmapper on a free port; the
// port, or -1.
int start_on(const char* bind) {
  vorlix_config("nfs_port", "0");
  vorlix_config("mount_port", "0");
  for (int attempt = 0; attempt < 5; attempt++) {
    const int port = free_port();
    if (port > 0 && vorlix_start(bind, 0, 0, port) == 0) return port;
  }
  return -1;
}

struct stop_at_end {
  ~stop_at_end() {
    vorlix_stop();
    for (int i = vorlix_export_count() > 0 ? 63 : -1; i >= 0; i--) {
      const std::string json = vorlix_export_json(i);
      const size_t at = json.find("\"path\":\"");
      if (at != std::string::npos) vorlix_remove_export(json.substr(at + 8, json.find('"', at + 8) - at - 8).c_str());
    }
  }
};

// Each rpcbind answer names the address the call reached: over each of
// several IPv4 addresses its own, over IPv6 the IPv6 one; a netid of the
// other family gets the first address listened on for that family.
TEST(Reach, PortmapperNamesTheAddressReached) {
  const bool v6 = has_ipv6_loopback();
  stop_at_end stop;
  const int port = start_on(v6 ? "127.0.0.1,127.0.0.2,::1" : "127.0.0.1,127.0.0.2");
  ASSERT_GT(port, 0) << vorlix_last_error();
  const int nfs = vorlix_nfs_port();
  struct addr_case {
    const char* to;
    const char* netid;
    std::string want;
  };
  const addr_case cases[] = {
      {"127.0.0.1", "", uaddr_on("127.0.0.1", nfs)},  {"127.0.0.2", "", uaddr_on("127.0.0.2", nfs)},
      {"127.0.0.2", "tcp", uaddr_on("127.0.0.2", nfs)}, {"127.0.0.2", "udp", ""},
      {"127.0.0.2", "tcp6", v6 ? uaddr_on("::1", nfs) : ""}, {"::1", "", uaddr_on("::1", nfs)},
      {"::1", "tcp6", uaddr_on("::1", nfs)},           {"::1", "tcp", uaddr_on("127.0.0.1", nfs)},
  };
  for (const addr_case& k : cases) {
    if (!v6 && strchr(k.to, ':') != nullptr) continue;
    SCOPED_TRACE(std::string(k.to) + " " + k.netid);
    rpc_conn c;
    ASSERT_TRUE(c.open_to(k.to, port));
    EXPECT_EQ(string_reply(call(c, kPortmapProg, 4, RPCB_GETADDR, rpcb_arg(PROG_NFS, 3, k.netid))), k.want);
  }
  if (!v6) return;
  // The listing names every mapping once per family served.
  rpc_conn c;
  ASSERT_TRUE(c.open_to("::1", port));
  const bytes r = call(c, kPortmapProg, 4, RPCB_DUMP, {});
  ASSERT_GE(r.size(), 24u);
  reply_reader rd(r, 24);
  int tcp = 0, tcp6 = 0;
  for (int i = 0; i < 64 && rd.ok && rd.u32() == 1; i++) {
    rd.u32();
    rd.u32();
    const bytes id = rd.opaque(255);
    const bytes addr = rd.opaque(255);
    rd.opaque(255);
    const std::string netid(id.begin(), id.end()), at(addr.begin(), addr.end());
    if (netid == "tcp") tcp += at.rfind("127.0.0.1.", 0) == 0 ? 1 : 100;
    if (netid == "tcp6") tcp6 += at.rfind("::1.", 0) == 0 ? 1 : 100;
  }
  EXPECT_TRUE(rd.done());
  EXPECT_EQ(tcp, 7);  // the portmapper 4, 3, 2, MOUNT 1, 2, 3, NFS 3
  EXPECT_EQ(tcp6, 7);
}

// Over UDP on an any-address, the reply leaves from the address the call
// was sent to (a client that sent to 127.0.0.2 takes no answer from
// 127.0.0.1), and a CALLIT names that address.
TEST(Reach, UdpAnswersFromTheAddressReached) {
  const bool v6 = has_ipv6_loopback();
  stop_at_end stop;
  const int port = start_on(v6 ? "::" : "0.0.0.0");
  ASSERT_GT(port, 0) << vorlix_last_error();
  const int mount_udp = G_SRV.bound_mount_udp_port.load();
  ASSERT_GT(mount_udp, 0);
  const char* const targets[] = {"127.0.0.2", "127.0.0.1", "::1"};
  for (const char* to : targets) {
    if (!v6 && strchr(to, ':') != nullptr) continue;
    SCOPED_TRACE(to);
    plat_addr dest;
    ASSERT_EQ(plat_addr_parse(to, &dest), 0);
    plat_sock s = PLAT_INVALID_SOCK;
    ASSERT_EQ(plat_udp_open(plat_addr_is_v4(dest) ? plat_addr_v4(0) : plat_addr{}, 0, false, &s), 0);
    for (const auto& [prog, p] : {std::pair{kMountProg, mount_udp}, {kPortmapProg, port}}) {
      // NULL of MOUNT 3, then CALLIT of the portmapper for MOUNT's NULL.
      bytes args;
      if (prog == kPortmapProg) {
        for (uint32_t w : {PROG_MOUNT, 3u, 0u, 0u}) put32(&args, w);
      }
      const bytes call_rec = rpc_call_record(77, prog, prog == kPortmapProg ? 4 : 3,
                                             prog == kPortmapProg ? uint32_t{PMAPPROC_CALLIT} : 0u, args);
      plat_udp_from peer{dest, p, plat_addr{}, 0, !plat_addr_is_v4(dest)};
      ASSERT_EQ(plat_udp_reply(s, call_rec.data(), call_rec.size(), &peer),
                static_cast<int64_t>(call_rec.size()));
      bytes reply(512);
      plat_udp_from from{};
      int64_t n = -2;
      for (int waited = 0; waited < 10000 && n == -2; waited += 10) {
        if (plat_poll1(s, 1, 10) > 0) n = plat_udp_recv_from(s, reply.data(), reply.size(), &from);
      }
      ASSERT_GE(n, 24);
      reply.resize(static_cast<size_t>(n));
#ifdef _WIN32
      // Wine gives 127.0.0.1 as the source of every loopback datagram.
      if (!running_under_wine()) EXPECT_TRUE(plat_addr_eq(from.addr, dest)) << "prog " << prog;
#else
      EXPECT_TRUE(plat_addr_eq(from.addr, dest)) << "prog " << prog;
#endif
      EXPECT_EQ(from.port, p);
      EXPECT_EQ(accept_stat(reply), 0u);
      if (prog == kPortmapProg) {
        reply_reader rd(reply, 24);
        const bytes u = rd.opaque(255);
        EXPECT_EQ(std::string(u.begin(), u.end()), uaddr_on(to, mount_udp));
      }
    }
    plat_sock_close(s);
  }
}

// IPv6 networks admit IPv6 clients; "this machine" admits ::1 as well as
// 127.0.0.1; "*" everyone; the EXPORT listing says who may mount.
TEST(Reach, Ipv6ClientsAndAllowLists) {
  if (!has_ipv6_loopback()) GTEST_SKIP() << "no IPv6 on the loopback interface";
  temp_dir d;
  stop_at_end stop;
  ASSERT_GE(vorlix_add_export("/mine", d.mkdir("mine").c_str(), nullptr), 0);
  ASSERT_GE(vorlix_add_export("/six", d.mkdir("six").c_str(), "::1/128"), 0);
  ASSERT_GE(vorlix_add_export("/four", d.mkdir("four").c_str(), "127.0.0.0/8"), 0);
  ASSERT_GE(vorlix_add_export("/all", d.mkdir("all").c_str(), "*"), 0);
  ASSERT_GT(start_on("127.0.0.1,::1"), 0) << vorlix_last_error();
  struct mnt_case {
    const char* path;
    uint32_t over4, over6;
  };
  const mnt_case cases[] = {{"/mine", 0, 0}, {"/six", 13, 0}, {"/four", 0, 13}, {"/all", 0, 0}};
  rpc_conn c4, c6;
  ASSERT_TRUE(c4.open_to("127.0.0.1", vorlix_mount_port()));
  ASSERT_TRUE(c6.open_to("::1", vorlix_mount_port()));
  for (const mnt_case& k : cases) {
    SCOPED_TRACE(k.path);
    EXPECT_EQ(mnt(c4, k.path).status, k.over4);
    EXPECT_EQ(mnt(c6, k.path).status, k.over6);
  }
  const export_list l = mount_export(c6);
  EXPECT_TRUE(l.well_formed);
  EXPECT_EQ(l.paths, (std::vector<std::string>{"/mine", "/six", "/all"}));
  EXPECT_EQ(l.groups, (std::vector<std::vector<std::string>>{{"(this machine)"}, {"::1/128"}, {"(everyone)"}}));
  // An NFS call over IPv6 with the handle MNT gave.
  const mnt_result m = mnt(c6, "/six");
  ASSERT_EQ(m.status, 0u);
  rpc_conn n6;
  ASSERT_TRUE(n6.open_to("::1", vorlix_nfs_port()));
  EXPECT_EQ(getattr(n6, m.fh).status, 0u);
}

}  // namespace
