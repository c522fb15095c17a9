// The per-client share of the connection slots: a host that no export
// admits cannot keep an admitted client out, however it paces its calls;
// one address holds at most its cap; a call that stalls makes room like an
// idle connection.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "plat/plat.h"
#include "proto/protocol.h"
#include "state/server_rec.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

// One NULL call of the NFS program on a fresh connection from 127.0.0.1:
// true when it is answered. The wait for the reply is long, so that a loaded
// machine is not taken for a refusal (a refused connection is closed at once).
bool served_once(int port) {
  rpc_conn c;
  c.reply_wait_ms = 20000;
  bytes reply;
  return c.open(port, "127.0.0.1") && c.call(PROG_NFS, NFS_V3, 0, {}, &reply);
}

// How an attacking connection spends its slot.
enum attack_kind {
  NULL_EVERY_2S,       // a whole portmapper NULL call every 2 s
  ONE_BYTE_EVERY_550MS  // a call trickled in one byte at a time
};

// Connections from one address, driven by one loop: each sends its next
// piece when it is due, and is opened again when the server has closed it.
struct attacker {
  attack_kind kind;
  int port;
  const char* from;
  std::vector<std::unique_ptr<rpc_conn>> conns;
  std::vector<uint64_t> due;
  std::vector<size_t> sent;  // bytes of the current call sent (trickle)
  bytes call = with_mark(rpc_call_record(9, PROG_PORTMAP, PORTMAP_V2, 0, {}));

  attacker(attack_kind k, int p, const char* f, int n) : kind(k), port(p), from(f) {
    const uint64_t now = plat_now_ms();
    for (int i = 0; i < n; i++) {
      conns.push_back(std::make_unique<rpc_conn>());
      (void)conns.back()->open(port, from);
      // Spread over the period, so that the server sees a steady trickle.
      due.push_back(now + static_cast<uint64_t>(i) * (kind == NULL_EVERY_2S ? 30 : 8));
      sent.push_back(0);
    }
  }

  uint64_t period() const { return kind == NULL_EVERY_2S ? 2000 : 550; }

  // Sends what is due now; a connection whose send fails is opened again.
  void tick() {
    const uint64_t now = plat_now_ms();
    for (size_t i = 0; i < conns.size(); i++) {
      if (now < due[i]) continue;
      due[i] = now + period();
      rpc_conn& c = *conns[i];
      bool ok;
      if (kind == NULL_EVERY_2S) {
        ok = c.send_raw(call);
        // Replies are read off, so that they never fill a window.
        unsigned char buf[512];
        for (int k = 0; k < 16 && plat_recv_nowait(c.s, buf, sizeof buf) > 0; k++) {
        }
      } else {
        ok = c.send_raw(bytes(call.begin() + static_cast<ptrdiff_t>(sent[i]),
                              call.begin() + static_cast<ptrdiff_t>(sent[i] + 1)));
        sent[i] = (sent[i] + 1) % call.size();
      }
      if (!ok) {
        plat_sock_close(c.s);
        c.s = PLAT_INVALID_SOCK;
        sent[i] = 0;
        (void)c.open(port, from);
      }
    }
  }

  // Runs the attack for ms milliseconds (in 20 ms turns, bounded in count).
  void run_for(int ms) {
    const uint64_t end = plat_now_ms() + static_cast<uint64_t>(ms);
    for (int turn = 0; turn < ms / 20 + 1 && plat_now_ms() < end; turn++) {
      tick();
      plat_sleep_ms(20);
    }
  }
};

TEST(ClientCap, AStrangerCannotLockAnAdmittedClientOut) {
#ifdef _WIN32
  if (running_under_wine()) GTEST_SKIP() << "Wine reports 127.0.0.1 as the peer of every loopback connection";
#endif
  struct attack_case {
    const char* name;
    attack_kind kind;
  };
  const attack_case cases[] = {
      {"a portmapper NULL every 2 s on each of 64 connections", NULL_EVERY_2S},
      {"one byte every 0.55 s on each of 64 connections", ONE_BYTE_EVERY_550MS},
  };
  temp_dir t;
  t.write("f", "x");
  ASSERT_GE(vorlix_add_export("/e", t.path.c_str(), "127.0.0.1/32"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  for (const attack_case& k : cases) {
    SCOPED_TRACE(k.name);
    // The default limit of 64 connections, every one of them taken by the
    // stranger at 127.0.0.2 before the admitted client comes.
    attacker a(k.kind, nfs, "127.0.0.2", 64);
    a.run_for(4000);
    int served = 0;
    constexpr int kAttempts = 12;
    for (int i = 0; i < kAttempts; i++) {
      a.run_for(300);
      served += served_once(nfs) ? 1 : 0;
    }
    EXPECT_EQ(served, kAttempts);
    // The stranger held no more than its few slots.
    EXPECT_LE(vorlix_client_count(), SRV_STRANGER_SLOTS + 1);
  }
  vorlix_stop();
}

TEST(ClientCap, OneAddressHoldsAtMostItsCap) {
#ifdef _WIN32
  if (running_under_wine()) GTEST_SKIP() << "Wine reports 127.0.0.1 as the peer of every loopback connection";
#endif
  ASSERT_EQ(vorlix_config("max_per_client", "3"), 0);
  temp_dir t;
  ASSERT_GE(vorlix_add_export("/e", t.path.c_str(), "127.0.0.0/24"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  // Three connections from 127.0.0.2 are served; a fourth is closed unserved
  // while they are busy (none of them has waited long enough to make room).
  rpc_conn held[3];
  for (rpc_conn& c : held) {
    ASSERT_TRUE(c.open(nfs, "127.0.0.2"));
    bytes reply;
    ASSERT_TRUE(c.call(PROG_NFS, NFS_V3, 0, {}, &reply));
  }
  rpc_conn fourth;
  ASSERT_TRUE(fourth.open(nfs, "127.0.0.2"));
  EXPECT_TRUE(fourth.closed_within(15000));
  // Another address is served meanwhile.
  EXPECT_TRUE(served_once(nfs));
  for (rpc_conn& c : held) {
    bytes reply;
    EXPECT_TRUE(c.call(PROG_NFS, NFS_V3, 0, {}, &reply));
  }
  vorlix_stop();
}

TEST(ClientCap, AStalledCallMakesRoomAtTheLimit) {
  ASSERT_EQ(vorlix_config("max_connections", "2"), 0);
  temp_dir t;
  ASSERT_GE(vorlix_add_export("/e", t.path.c_str(), "127.0.0.1/32"), 0);
  ASSERT_TRUE(start_test_server());
  const int nfs = vorlix_nfs_port();
  // Both slots are taken by connections that sent half a call and stall.
  const bytes call = with_mark(rpc_call_record(7, PROG_NFS, NFS_V3, 0, {}));
  const bytes half(call.begin(), call.begin() + static_cast<ptrdiff_t>(call.size() / 2));
  rpc_conn stalled[2];
  for (rpc_conn& c : stalled) {
    ASSERT_TRUE(c.open(nfs));
    ASSERT_TRUE(c.send_raw(half));
  }
  ASSERT_TRUE(client_count_becomes(2));
  plat_sleep_ms(static_cast<int>(SRV_EVICT_CALL_MS) + 1000);
  // The newcomer takes the place of one of the stalled calls (the one whose
  // first byte the server saw first), which is closed unanswered.
  EXPECT_TRUE(served_once(nfs));
  int closed = 0;
  for (int turn = 0; turn < 75 && closed == 0; turn++) {
    for (rpc_conn& c : stalled) closed += c.closed_within(100) ? 1 : 0;
  }
  EXPECT_EQ(closed, 1);
  EXPECT_LE(vorlix_client_count(), 2);
  vorlix_stop();
}

}  // namespace
