// Server lifecycle: the bind address rule, start and stop of the listeners,
// bind failures, admission of connections and the statistics.
#include <gtest/gtest.h>
#include <signal.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#endif

#include "plat/plat.h"
#include "proto/protocol.h"
#include "proto/stats.h"
#include "state/config.h"
#include "state/secret.h"
#include "state/server_rec.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "util/sha256.h"
#include "vorlix.h"

namespace {

const char kZeroStats[] =
    "{\"connections\":0,\"connections_total\":0,\"rpc_calls\":0,\"mounts\":0,\"auth_sys_max_uid\":0}";

constexpr uint32_t kNfsProg = PROG_NFS;
constexpr uint32_t kMountProg = PROG_MOUNT;
constexpr uint32_t kPortmapProg = PROG_PORTMAP;

// True when something on 127.0.0.1 accepts connections on the port.
bool accepts(int port) {
  plat_sock s;
  if (plat_connect_tcp4("127.0.0.1", port, nullptr, &s) != 0) return false;
  plat_sock_close(s);
  return true;
}

// True when the port can be bound for listening again, that is, nothing
// listens on it any more.
bool bindable(int port) {
  plat_sock s;
  if (plat_listen_tcp4("127.0.0.1", port, 1, &s) != 0) return false;
  plat_sock_close(s);
  return true;
}

// A NULL call answered with an accepted, successful empty reply.
bool null_call(rpc_conn* c, uint32_t prog, uint32_t vers) {
  bytes reply;
  if (!c->call(prog, vers, 0, {}, &reply)) return false;
  return reply.size() == kReplyBody && get32(reply, 8) == 0 && get32(reply, 20) == 0;
}

bool null_call_on(int port, uint32_t prog = kNfsProg, uint32_t vers = 3) {
  rpc_conn c;
  return c.open(port) && null_call(&c, prog, vers);
}

void use_system_ports() {
  ASSERT_EQ(vorlix_config("nfs_port", "0"), 0);
  ASSERT_EQ(vorlix_config("mount_port", "0"), 0);
}

}  // namespace

TEST(ServerStart, BindAddressRule) {
  use_system_ports();
  const char* refused[] = {nullptr,       "",           "255.255.255.255", "224.0.0.1",  "239.1.2.3",
                           "1.2.3",       "1.2.3.4x",   "256.1.1.1",       "127.0.0.1 ", "a.b.c.d",
                           "127.0.0.1/8", "1.2.3.4.5",  " 127.0.0.1",      "ff02::1",    "[::1]",
                           "127.0.0.1,",  ",127.0.0.1", "127.0.0.1,127.0.0.1",
                           "127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5,127.0.0.6,127.0.0.7,127.0.0.8,127.0.0.9"};
  for (const char* a : refused) {
    SCOPED_TRACE(a ? a : "(null)");
    EXPECT_EQ(vorlix_start(a, 0, 0, 0), -1);
    EXPECT_EQ(vorlix_last_code(), -1);
    EXPECT_EQ(std::string(vorlix_last_error()).rfind("bind address", 0), 0u) << vorlix_last_error();
    EXPECT_EQ(vorlix_is_running(), 0);
  }

  // Every address of one family or both, and several addresses at once:
  // each listened on, on the same ports.
  struct accepted {
    const char* bind;
    bool v6;
    bool to[3];  // listened on 127.0.0.1, 127.0.0.2, ::1
  };
  const accepted rows[] = {
      {"0.0.0.0", false, {true, true, false}},           {"127.0.0.1,127.0.0.2", false, {true, true, false}},
      {"::", true, {true, true, true}},                  {"::1", true, {false, false, true}},
      {"127.0.0.1,::1", true, {true, false, true}},      {"::,127.0.0.1", true, {true, true, true}},
      {"0.0.0.0,::", true, {true, true, true}},          {"0.0.0.0,::1,127.0.0.1", true, {true, true, true}},
  };
  for (const accepted& r : rows) {
    SCOPED_TRACE(r.bind);
    if (r.v6 && !has_ipv6_loopback()) continue;
    ASSERT_EQ(vorlix_start(r.bind, 0, 0, 0), 0) << vorlix_last_error();
    EXPECT_EQ(std::string(vorlix_last_error()).rfind(std::string("listening ") + r.bind + " nfs=", 0), 0u);
    const char* const targets[] = {"127.0.0.1", "127.0.0.2", "::1"};
    for (int i = 0; i < 3; i++) {
      plat_addr to;
      ASSERT_EQ(plat_addr_parse(targets[i], &to), 0);
      plat_sock c;
      const bool connected = plat_connect_tcp(to, vorlix_nfs_port(), &c) == 0;
      if (connected) plat_sock_close(c);
      EXPECT_EQ(connected, r.to[i]) << targets[i];
    }
    vorlix_stop();
  }

  // 240.0.0.1 passes the rule; this machine has no such interface, so the
  // bind itself may fail.
  const int r = vorlix_start("240.0.0.1", 0, 0, 0);
  EXPECT_NE(r, -1);
  if (r == 0) vorlix_stop();
  EXPECT_EQ(vorlix_is_running(), 0);

  // Ports outside 0..65535 are refused by name, never wrapped into another
  // port; a negative portmapper port means none.
  const struct {
    int nfs, mount, portmap;
    const char* message;
  } bad_ports[] = {
      {70000, 0, 0, "nfs_port out of range 0..65535"},
      {-1, 0, 0, "nfs_port out of range 0..65535"},
      {0, 65536, 0, "mount_port out of range 0..65535"},
      {0, -5, 0, "mount_port out of range 0..65535"},
      {0, 0, 70000, "portmap_port out of range 0..65535"},
  };
  for (const auto& b : bad_ports) {
    SCOPED_TRACE(b.message);
    EXPECT_EQ(vorlix_start("127.0.0.1", b.nfs, b.mount, b.portmap), -1);
    EXPECT_STREQ(vorlix_last_error(), b.message);
    EXPECT_EQ(vorlix_is_running(), 0);
  }

  // The refusals left nothing behind: a good address starts.
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  EXPECT_EQ(vorlix_is_running(), 1);
  vorlix_stop();
}

TEST(ServerStart, ListensOnSystemChosenPorts) {
  use_system_ports();
  EXPECT_STREQ(vorlix_stats_json(), kZeroStats);
  EXPECT_EQ(vorlix_nfs_port(), 0);
  EXPECT_EQ(vorlix_mount_port(), 0);
  EXPECT_EQ(vorlix_is_running(), 0);

  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  const int nfs = vorlix_nfs_port();
  const int mnt = vorlix_mount_port();
  EXPECT_GT(nfs, 0);
  EXPECT_GT(mnt, 0);
  EXPECT_NE(nfs, mnt);
  EXPECT_EQ(vorlix_portmap_port(), 0);
  EXPECT_EQ(vorlix_is_running(), 1);
  EXPECT_EQ(vorlix_last_code(), 0);
  EXPECT_EQ(std::string(vorlix_last_error()),
            "listening 127.0.0.1 nfs=" + std::to_string(nfs) + " mount=" + std::to_string(mnt) + " portmap=0");

  // Every program answers on every port.
  EXPECT_TRUE(null_call_on(nfs));
  EXPECT_TRUE(null_call_on(mnt));
  EXPECT_TRUE(null_call_on(nfs, kMountProg, 3));
  vorlix_stop();
}

TEST(ServerStart, PortArgumentsWinOverConfiguredPorts) {
  const int cfg = free_port();
  const int nfs = free_port();
  const int mnt = free_port();
  const int pmp = free_port();
  ASSERT_GT(cfg, 0);
  ASSERT_EQ(vorlix_config("nfs_port", std::to_string(cfg).c_str()), 0);
  ASSERT_EQ(vorlix_config("mount_port", "0"), 0);

  ASSERT_EQ(vorlix_start("127.0.0.1", nfs, mnt, pmp), 0) << vorlix_last_error();
  EXPECT_EQ(vorlix_nfs_port(), nfs);
  EXPECT_EQ(vorlix_mount_port(), mnt);
  EXPECT_EQ(vorlix_portmap_port(), pmp);
  EXPECT_EQ(std::string(vorlix_last_error()), "listening 127.0.0.1 nfs=" + std::to_string(nfs) +
                                                  " mount=" + std::to_string(mnt) + " portmap=" + std::to_string(pmp));
  EXPECT_TRUE(null_call_on(pmp, kPortmapProg, 2));
  EXPECT_FALSE(accepts(cfg));
  vorlix_stop();

  // A portmapper argument of 0 takes the configured port; a negative one
  // opens no portmapper listener, whatever is configured.
  ASSERT_EQ(vorlix_config("nfs_port", "0"), 0);
  ASSERT_EQ(vorlix_config("portmap_port", std::to_string(pmp).c_str()), 0);
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0) << vorlix_last_error();
  EXPECT_EQ(vorlix_portmap_port(), pmp);
  EXPECT_TRUE(null_call_on(pmp, kPortmapProg, 2));
  vorlix_stop();
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, -1), 0);
  EXPECT_EQ(vorlix_portmap_port(), 0);
  EXPECT_NE(std::string(vorlix_last_error()).find(" portmap=0"), std::string::npos);
  EXPECT_FALSE(accepts(pmp));
  vorlix_stop();
}

TEST(ServerStart, SecondStartWhileRunning) {
  use_system_ports();
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  const int nfs = vorlix_nfs_port();
  const int mnt = vorlix_mount_port();

  EXPECT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), -2);
  EXPECT_EQ(vorlix_last_code(), -2);
  EXPECT_STREQ(vorlix_last_error(), "already running");
  EXPECT_EQ(vorlix_is_running(), 1);
  EXPECT_EQ(vorlix_nfs_port(), nfs);
  EXPECT_EQ(vorlix_mount_port(), mnt);
  EXPECT_TRUE(null_call_on(nfs));

  // The configuration is fixed while the server runs.
  EXPECT_EQ(vorlix_config("max_connections", "5"), -2);
  vorlix_stop();
  EXPECT_EQ(vorlix_config("max_connections", "5"), 0);
}

TEST(ServerStart, ListenerThatCannotBindClosesTheOthers) {
  struct row {
    const char* which;
    int held;  // 0 nfs, 1 mount, 2 portmap
  };
  const row rows[] = {{"nfs", 0}, {"mount", 1}, {"portmap", 2}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.which);
    plat_net_init();
    plat_sock holder;
    ASSERT_EQ(plat_listen_tcp4("127.0.0.1", 0, 1, &holder), 0);
    const int held = plat_sock_port(holder);
    int ports[3] = {free_port(), free_port(), free_port()};
    ports[r.held] = held;

    EXPECT_EQ(vorlix_start("127.0.0.1", ports[0], ports[1], ports[2]), -3);
    EXPECT_EQ(vorlix_last_code(), -3);
    EXPECT_EQ(std::string(vorlix_last_error()),
              std::string("bind ") + r.which + " " + std::to_string(held) + " failed (127.0.0.1)");
    EXPECT_EQ(vorlix_is_running(), 0);
    // No listener of this start is left open.
    for (int i = 0; i < 3; i++) {
      if (i == r.held) continue;
      EXPECT_FALSE(accepts(ports[i])) << i;
      EXPECT_TRUE(bindable(ports[i])) << i;
    }
    plat_sock_close(holder);
  }
  // Bound ports are only those of a start that opened all its listeners.
  EXPECT_EQ(vorlix_nfs_port(), 0);
  EXPECT_EQ(vorlix_mount_port(), 0);

  // The failed starts did not leave the server half started.
  use_system_ports();
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  EXPECT_TRUE(null_call_on(vorlix_nfs_port()));
  vorlix_stop();
}

// A start raises the soft limit on open descriptors to the hard one, so
// that the server is not out of descriptors at the common soft limit of
// 1,024 long before the system would refuse.
TEST(ServerStart, RaisesTheDescriptorLimitToTheHardOne) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no descriptor limit";
#else
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 128) GTEST_SKIP() << "the hard limit is too low to lower the soft one";
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const bool started = start_test_server();
  struct rlimit now;
  const int got = getrlimit(RLIMIT_NOFILE, &now);
  vorlix_stop();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(started);
  ASSERT_EQ(got, 0);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  EXPECT_EQ(now.rlim_max, saved.rlim_max);
#endif
}

TEST(ServerStop, StopThenStartAgain) {
  use_system_ports();
  vorlix_stop();  // nothing to stop
  EXPECT_EQ(vorlix_is_running(), 0);

  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  const int nfs = vorlix_nfs_port();
  const int mnt = vorlix_mount_port();
  EXPECT_TRUE(null_call_on(nfs));
  vorlix_stop();
  EXPECT_EQ(vorlix_is_running(), 0);
  EXPECT_FALSE(accepts(nfs));
  EXPECT_FALSE(accepts(mnt));
  // The bound ports keep their values after a stop.
  EXPECT_EQ(vorlix_nfs_port(), nfs);
  EXPECT_EQ(vorlix_mount_port(), mnt);
  vorlix_stop();
  EXPECT_EQ(vorlix_is_running(), 0);

  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  EXPECT_EQ(vorlix_is_running(), 1);
  EXPECT_TRUE(null_call_on(vorlix_nfs_port()));
  EXPECT_TRUE(null_call_on(vorlix_mount_port(), kMountProg, 3));
  vorlix_stop();

  // The same ports can be asked for again.
  ASSERT_EQ(vorlix_start("127.0.0.1", nfs, mnt, 0), 0) << vorlix_last_error();
  EXPECT_TRUE(null_call_on(nfs));
  vorlix_stop();
}

TEST(ServerStop, LeavesTheHostsSignalDispositionsAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no SIGPIPE";
#else
  // The host's choice, whatever it inherited: the default action, which ends
  // a process that writes to a connection whose peer has gone.
  signal(SIGPIPE, SIG_DFL);
  use_system_ports();
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  const int nfs = vorlix_nfs_port();
  // A peer that sends many calls and goes away without reading the replies:
  // the server's sends to it fail, and this process lives on.
  {
    plat_sock s;
    ASSERT_EQ(plat_connect_tcp4("127.0.0.1", nfs, nullptr, &s), 0);
    bytes burst;
    for (uint32_t i = 0; i < 200; i++) {
      const bytes call = with_mark(rpc_call_record(i + 1, kNfsProg, 3, 0, {}));
      burst.insert(burst.end(), call.begin(), call.end());
    }
    EXPECT_EQ(plat_send(s, burst.data(), burst.size()), static_cast<int64_t>(burst.size()));
    plat_sock_close(s);
  }
  EXPECT_TRUE(null_call_on(nfs));
  vorlix_stop();
  struct sigaction now;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
#endif
}

TEST(ServerStart, DefaultSecretIsRandomAndKeptAcrossStarts) {
  use_system_ports();
  ASSERT_EQ(fh_secret_len(), 0u);
  const uint64_t before = plat_now_ms();
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  const uint64_t after = plat_now_ms();
  ASSERT_EQ(fh_secret_len(), 32u);
  unsigned char first[SECRET_MAX];
  ASSERT_EQ(fh_secret_copy(first), 32u);
  // Not derived from the clock of the start.
  for (uint64_t t = before; t <= after && t - before < 100000; t++) {
    unsigned char le[8], d[32];
    for (int i = 0; i < 8; i++) le[i] = static_cast<unsigned char>(t >> (8 * i));
    nfss_sha_buf(le, sizeof le, d);
    ASSERT_NE(memcmp(d, first, 32), 0) << t;
  }
  vorlix_stop();

  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  unsigned char second[SECRET_MAX];
  ASSERT_EQ(fh_secret_copy(second), 32u);
  EXPECT_EQ(memcmp(first, second, 32), 0);
  vorlix_stop();
}

TEST(ServerStart, ConfiguredSecretIsKept) {
  use_system_ports();
  ASSERT_EQ(vorlix_config("secret", "abc"), 0);
  ASSERT_EQ(vorlix_start("127.0.0.1", 0, 0, 0), 0);
  unsigned char s[SECRET_MAX];
  ASSERT_EQ(fh_secret_copy(s), 3u);
  EXPECT_EQ(memcmp(s, "abc", 3), 0);
  vorlix_stop();
}

TEST(ServerStop, EstablishedConnectionIsStillServed) {
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  rpc_conn c;
  ASSERT_TRUE(c.open(nfs));
  ASSERT_TRUE(null_call(&c, kNfsProg, 3));
  EXPECT_TRUE(client_count_becomes(1));

  vorlix_stop();
  EXPECT_FALSE(accepts(nfs));
  EXPECT_TRUE(null_call(&c, kNfsProg, 3));
  EXPECT_TRUE(null_call(&c, kMountProg, 3));
  EXPECT_EQ(vorlix_client_count(), 1);

  plat_sock_close(c.s);
  c.s = PLAT_INVALID_SOCK;
  EXPECT_TRUE(client_count_becomes(0));
  EXPECT_STREQ(vorlix_stats_json(),
               "{\"connections\":0,\"connections_total\":1,\"rpc_calls\":3,\"mounts\":0,\"auth_sys_max_uid\":0}");
}

TEST(ServerAdmission, OneConnectionAtATime) {
  ASSERT_EQ(vorlix_config("max_connections", "1"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();

  rpc_conn first;
  ASSERT_TRUE(first.open(nfs));
  ASSERT_TRUE(null_call(&first, kNfsProg, 3));
  EXPECT_EQ(vorlix_client_count(), 1);

  // The second client is accepted and closed at once, without a reply.
  rpc_conn second;
  ASSERT_TRUE(second.open(nfs));
  EXPECT_TRUE(second.closed_within(5000));
  EXPECT_EQ(vorlix_client_count(), 1);
  // The first goes on being served.
  EXPECT_TRUE(null_call(&first, kNfsProg, 3));

  plat_sock_close(first.s);
  first.s = PLAT_INVALID_SOCK;
  ASSERT_TRUE(client_count_becomes(0));

  rpc_conn third;
  ASSERT_TRUE(third.open(nfs));
  EXPECT_TRUE(null_call(&third, kNfsProg, 3));
  EXPECT_EQ(vorlix_client_count(), 1);
  EXPECT_STREQ(vorlix_stats_json(),
               "{\"connections\":1,\"connections_total\":2,\"rpc_calls\":3,\"mounts\":0,\"auth_sys_max_uid\":0}");
  vorlix_stop();
}

TEST(ServerAdmission, LimitIsExactUnderABurst) {
  ASSERT_EQ(vorlix_config("max_connections", "2"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();

  // All connections are made before any of them is served.
  std::vector<std::unique_ptr<rpc_conn>> conns;
  for (int i = 0; i < 8; i++) {
    conns.push_back(std::make_unique<rpc_conn>());
    ASSERT_TRUE(conns.back()->open(nfs));
  }
  int served = 0;
  for (auto& c : conns) served += null_call(c.get(), kNfsProg, 3) ? 1 : 0;
  EXPECT_EQ(served, 2);
  EXPECT_EQ(vorlix_client_count(), 2);
  EXPECT_STREQ(vorlix_stats_json(),
               "{\"connections\":2,\"connections_total\":2,\"rpc_calls\":2,\"mounts\":0,\"auth_sys_max_uid\":0}");
  conns.clear();
  EXPECT_TRUE(client_count_becomes(0));
  vorlix_stop();
}

TEST(ServerAdmission, AtTheLimitTheLongestIdleConnectionMakesRoom) {
  ASSERT_EQ(vorlix_config("max_connections", "2"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  struct room_case {
    const char* name;
    bool older_in_call;  // the older connection has sent half a call
  };
  const room_case cases[] = {
      {"both silent: the older one makes room", false},
      {"the older one in the middle of a call: the younger one makes room", true},
  };
  const bytes call = with_mark(rpc_call_record(7, kNfsProg, 3, 0, {}));
  const auto half = static_cast<ptrdiff_t>(call.size() / 2);
  for (const room_case& k : cases) {
    SCOPED_TRACE(k.name);
    // Two connections fill the limit.
    rpc_conn older, younger;
    ASSERT_TRUE(older.open(nfs));
    if (k.older_in_call) {
      ASSERT_TRUE(older.send_raw(bytes(call.begin(), call.begin() + half)));
    }
    ASSERT_TRUE(client_count_becomes(1));
    plat_sleep_ms(100);
    ASSERT_TRUE(younger.open(nfs));
    ASSERT_TRUE(client_count_becomes(2));
    plat_sleep_ms(static_cast<int>(SRV_EVICT_IDLE_MS) + 500);

    rpc_conn newcomer;
    ASSERT_TRUE(newcomer.open(nfs));
    EXPECT_TRUE(null_call(&newcomer, kNfsProg, 3));
    rpc_conn& gone = k.older_in_call ? younger : older;
    rpc_conn& kept = k.older_in_call ? older : younger;
    EXPECT_TRUE(gone.closed_within(5000));
    if (k.older_in_call) {
      // The call in progress is completed and answered.
      ASSERT_TRUE(kept.send_raw(bytes(call.begin() + half, call.end())));
      bytes reply;
      ASSERT_TRUE(kept.recv_record(&reply));
      EXPECT_EQ(get32(reply, 0), 7u);
    } else {
      EXPECT_TRUE(null_call(&kept, kNfsProg, 3));
    }
    // Never more than the limit.
    EXPECT_EQ(vorlix_client_count(), 2);
    plat_sock_close(kept.s);
    kept.s = PLAT_INVALID_SOCK;
    plat_sock_close(newcomer.s);
    newcomer.s = PLAT_INVALID_SOCK;
    ASSERT_TRUE(client_count_becomes(0));
  }
  EXPECT_EQ(stats_get("connections_total"), 6);
  vorlix_stop();
}

#ifdef __linux__
namespace {

// The backlog of the TCP listener on the port, as the system reports it to
// socket-statistics tools (sock_diag); -1 when there is none.
long listen_backlog(int port) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg;
  memset(&msg, 0, sizeof msg);
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  msg.req.sdiag_family = AF_INET;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = 1u << 10;  // TCP_LISTEN
  long found = -1;
  if (send(fd, &msg, sizeof msg, 0) == static_cast<ssize_t>(sizeof msg)) {
    bool done = false;
    for (int round = 0; round < 1000 && !done; round++) {
      alignas(nlmsghdr) char buf[16384];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      int left = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (ntohs(m->id.idiag_sport) == port) found = static_cast<long>(m->idiag_wqueue);
      }
    }
  }
  close(fd);
  return found;
}

}  // namespace

TEST(ServerStart, ListenersQueueAsManyPendingConnectionsAsTheSystemAllows) {
  std::ifstream f("/proc/sys/net/core/somaxconn");
  long somaxconn = 0;
  ASSERT_TRUE(f >> somaxconn);
  const int pmp = free_port();
  ASSERT_TRUE(start_test_server(pmp));
  for (const int port : {vorlix_nfs_port(), vorlix_mount_port(), vorlix_portmap_port()}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(listen_backlog(port), somaxconn);
  }
  vorlix_stop();
}
#endif

TEST(ServerStop, RestartsWhileClientsComeAndGo) {
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  const int mnt = vorlix_mount_port();
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  // A client that keeps opening connections, making one call on each and
  // closing it, while the server is stopped and started on the same ports.
  std::thread client([&] {
    for (int i = 0; i < 5000 && !done.load(); i++) {
      rpc_conn c;
      if (!c.open(nfs)) {
        plat_sleep_ms(5);
        continue;
      }
      if (null_call(&c, kNfsProg, 3)) answered++;
    }
  });
  for (int round = 0; round < 5; round++) {
    plat_sleep_ms(100);
    vorlix_stop();
    EXPECT_EQ(vorlix_is_running(), 0);
    plat_sleep_ms(50);
    ASSERT_EQ(vorlix_start("127.0.0.1", nfs, mnt, 0), 0) << vorlix_last_error();
  }
  plat_sleep_ms(100);
  done.store(true);
  client.join();
  EXPECT_GT(answered.load(), 0);
  EXPECT_TRUE(null_call_on(nfs));
  vorlix_stop();
  // Every connection that was admitted has been counted out again.
  EXPECT_TRUE(client_count_becomes(0));
}
