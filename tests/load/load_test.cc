// The server under load, through real loopback connections: many clients
// reading and listing at once at the connection limit, and many thousands of
// connections one after another, which must leave no descriptor, thread or
// memory behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plat/plat.h"
#include "proto/stats.h"
#include "tests/e2e/nfs_client.h"
#include "tests/load/load_support.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

using namespace wire;
using load::list_all;
using load::listing;

// What one reading client checks in a READ reply of the file `content`.
std::string check_read(const read_result& r, const std::string& content, uint64_t off, uint32_t count) {
  const uint64_t size = content.size();
  if (r.status != NFS3_OK) return "READ status " + std::to_string(r.status);
  if (!r.well_formed) return "READ reply malformed";
  const uint64_t want = off >= size ? 0 : std::min<uint64_t>(count, size - off);
  if (r.count != want) {
    return "READ at " + std::to_string(off) + " count " + std::to_string(count) + " answered " +
           std::to_string(r.count) + " bytes, not " + std::to_string(want);
  }
  if (r.eof != (off + want >= size)) return "READ at " + std::to_string(off) + " has the wrong eof";
  if (r.attr.size != size) return "READ attributes carry the wrong size";
  if (!load::data_is(r.data, content, off)) {
    return "READ at " + std::to_string(off) + " answered other bytes than the file's";
  }
  return "";
}

TEST(LoadReaders, SixtyFourClientsReadAndListAtOnceAndTheSixtyFifthIsRefused) {
  constexpr int kClients = 64;
  constexpr int kSmallFiles = 40;
  constexpr uint64_t kReadMs = 10000;
  temp_dir t;
  // Not a multiple of any read size, so reads at the end come out short.
  const std::string content = load::pattern(3 * 1048576 + 12345);
  t.write("data.bin", content);
  std::set<std::string> expected = {".", "..", "data.bin"};
  for (int i = 0; i < kSmallFiles; i++) {
    const std::string name = "small" + std::to_string(i);
    t.write(name, name);
    expected.insert(name);
  }
  ASSERT_EQ(vorlix_config("max_connections", "64"), 0);
  // All the clients share one address, which may hold every slot here.
  ASSERT_EQ(vorlix_config("max_per_client", "64"), 0);
  ASSERT_TRUE(export_and_start("/load", t.path));

  std::atomic<int> ready{0};
  std::atomic<int> reading{0};
  std::atomic<bool> go{false};
  std::atomic<uint64_t> deadline{0};
  std::atomic<uint64_t> reads{0}, listings{0};
  load::failures fail;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; i++) {
    clients.emplace_back([&, i] {
      // Half the clients come in on the MOUNT port: every port serves every
      // program, and both count against the one limit.
      rpc_conn c;
      if (!c.open(i % 2 ? vorlix_mount_port() : vorlix_nfs_port())) return fail.add("connect failed");
      // A safety bound only: with 128 busy threads on a few cores (and more
      // so under a sanitizer) a reply may take seconds.
      c.reply_wait_ms = 60000;
      const mnt_result m = mnt(c, "/load");
      if (m.status != 0) return fail.add("MNT failed");
      const lookup_result l = lookup(c, m.fh, "data.bin");
      if (l.status != NFS3_OK || l.obj.size != content.size()) return fail.add("LOOKUP of data.bin failed");
      ready++;
      for (int w = 0; w < 6000 && !go; w++) plat_sleep_ms(10);
      if (!go) return;
      load::rng rng(static_cast<uint64_t>(i) + 1);
      // Counts from one byte to the largest a client may ask for; offsets
      // anywhere in the file and a little past its end.
      static const uint32_t kCounts[] = {1, 3, 4096, 65536, 131071, 1048576};
      for (int it = 0; it < 1000000 && plat_now_ms() < deadline.load(); it++) {
        if (it % 16 == 15) {
          const listing all = list_all(c, m.fh, 1024 + 512 * static_cast<uint32_t>(i % 8));
          if (!all.why.empty()) return fail.add(all.why);
          const std::set<std::string> got(all.names.begin(), all.names.end());
          if (got != expected || all.names.size() != expected.size()) {
            return fail.add("listing of " + std::to_string(all.names.size()) + " names differs from the folder");
          }
          // The listed handle of the file is the one LOOKUP gave.
          const auto at = std::find(all.names.begin(), all.names.end(), "data.bin") - all.names.begin();
          if (all.handles[static_cast<size_t>(at)] != l.fh) return fail.add("listed handle differs from LOOKUP's");
          listings++;
          continue;
        }
        const uint32_t count = it % 5 == 4 ? static_cast<uint32_t>(1 + rng.below(200000)) : kCounts[rng.below(6)];
        const uint64_t off = rng.below(content.size() + 100);
        const read_result r = read(c, l.fh, off, count);
        if (r.raw.empty()) {
          return fail.add(std::string("no reply to a READ: ") +
                          (c.closed_within(0) ? "the server closed the connection" : "none within the wait"));
        }
        const std::string why = check_read(r, content, off, count);
        if (!why.empty()) return fail.add(why);
        reads++;
        if (it == 0) reading++;
      }
    });
  }
  const bool all_ready = load::eventually([&] { return ready == kClients || fail.count > 0; }, 60000);
  // The reading time starts once every client has read, so that none has
  // stopped before the others start (a slowed-down build takes a while).
  deadline = plat_now_ms() + 60000 + kReadMs;
  go = true;
  EXPECT_TRUE(all_ready && ready == kClients) << fail.message();
  EXPECT_TRUE(load::eventually([&] { return reading == kClients || fail.count > 0; }, 60000));
  deadline = plat_now_ms() + kReadMs;
  EXPECT_EQ(vorlix_client_count(), kClients);

  // While the 64 read, one more client on either port is closed at once,
  // before anything is answered. (It is tested once all of them are reading:
  // a connection idle for seconds, as one waiting for the start may be, would
  // make room for it instead.)
  for (const int port : {vorlix_nfs_port(), vorlix_mount_port()}) {
    rpc_conn extra;
    if (!extra.open(port)) {
      ADD_FAILURE() << "connect to port " << port << " failed";
      continue;
    }
    (void)extra.send_raw(with_mark(rpc_call_record(7, kNfsProg, 3, 0, {})));
    bytes got;
    EXPECT_TRUE(extra.read_until_closed(&got, 10000)) << "port " << port;
    EXPECT_TRUE(got.empty()) << "port " << port;
  }
  EXPECT_EQ(vorlix_client_count(), kClients);

  for (std::thread& th : clients) th.join();
  EXPECT_EQ(fail.count, 0) << fail.message();
  EXPECT_GT(reads.load(), 0u);
  EXPECT_GT(listings.load(), 0u);
  EXPECT_TRUE(load::client_count_becomes(0)) << vorlix_stats_json();
  // Refused connections are not counted as admitted.
  EXPECT_EQ(stats_get("connections_total"), kClients);
}

TEST(LoadChurn, TenThousandConnectionsInARowLeaveNothingBehind) {
  constexpr int kWarmUp = 200;
  constexpr int kConnections = 10000;
  ASSERT_EQ(vorlix_config("max_connections", "1024"), 0);
  // One admitted address makes every connection; a connection just closed
  // may still hold its slot when the next comes.
  ASSERT_EQ(vorlix_config("max_per_client", "1024"), 0);
  temp_dir t;
  ASSERT_GE(vorlix_add_export("/churn", t.path.c_str(), "127.0.0.1/32"), 0);
  ASSERT_TRUE(start_test_server());
  const int port = vorlix_nfs_port();
  const load::resources before;
  ASSERT_GT(before.fds0, 0);
  ASSERT_GT(before.threads0, 0);

  // Each connection makes one NULL call, or none at all and just closes.
  int failed = 0;
  const uint64_t limit = plat_now_ms() + 240000;
  auto churn = [&](int n) {
    for (int i = 0; i < n && plat_now_ms() < limit; i++) {
      rpc_conn c;
      if (!c.open(port)) {
        failed++;
        continue;
      }
      bytes reply;
      if (i % 2 == 0 && (!c.call(kNfsProg, 3, 0, {}, &reply) || reply.size() != kReplyBody)) failed++;
    }
  };
  // Every connection made so far is admitted (the last may still wait to be
  // accepted when its client has already gone), its thread has ended and its
  // descriptor is closed.
  auto settled = [&](int64_t admitted) {
    return load::eventually([&] { return stats_get("connections_total") == admitted; }, 15000) && before.back();
  };
  // A first round lets the allocator and the thread library set up what
  // they keep for reuse, so that the memory compared below is steady.
  churn(kWarmUp);
  ASSERT_TRUE(settled(kWarmUp)) << before.report() << ", " << vorlix_stats_json();
  const long rss0 = load::rss_kib();

  churn(kConnections);
  EXPECT_LT(plat_now_ms(), limit) << "the connections took too long to run at all";
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(settled(kWarmUp + kConnections)) << before.report() << ", " << vorlix_stats_json();
  // A leak of a few KiB per connection shows; sanitizers keep freed
  // memory aside on purpose (and find leaks themselves).
  const long rss1 = load::rss_kib();
  if (!load::kSanitized) {
    EXPECT_LT(rss1 - rss0, 20 * 1024) << "VmRSS " << rss0 << " KiB before, " << rss1 << " after";
  }
  vorlix_stop();
}

}  // namespace
