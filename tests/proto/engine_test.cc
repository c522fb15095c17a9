// The connection engine over real loopback TCP: record marking, call header
// and credential decoding, counting, dispatch, the write refusal, the debug
// line and the two waits that end a silent connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plat/plat.h"
#include "proto/rpc.h"
#include "proto/stats.h"
#include "state/config.h"
#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

constexpr uint32_t kPortmap = PROG_PORTMAP;
constexpr uint32_t kNfs = PROG_NFS;
constexpr uint32_t kMount = PROG_MOUNT;

// One engine on a connected loopback socket pair. The engine runs on a
// thread of its own and closes its side when it returns, as the server's
// connection threads do; the test talks through `client`.
struct engine_conn {
  plat_sock listener = PLAT_INVALID_SOCK;
  plat_sock server = PLAT_INVALID_SOCK;
  rpc_conn client;
  std::thread engine;
  std::atomic<bool> done{false};
  std::atomic<int> result{-1};
  std::atomic<bool> left_open{false};

  bool start() {
    if (plat_net_init() != 0) return false;
    if (plat_listen_tcp4("127.0.0.1", 0, 4, &listener) != 0) return false;
    if (!client.open(plat_sock_port(listener))) return false;
    if (plat_poll1(listener, 1, 5000) <= 0) return false;
    server = plat_accept(listener);
    if (server == PLAT_INVALID_SOCK) return false;
    plat_set_nodelay(server);
    plat_set_nodelay(client.s);
    engine = std::thread([this] {
      result = vorlix_serve_conn(server);
      // The engine leaves the socket to its caller.
      left_open = plat_sock_port(server) > 0;
      plat_sock_close(server);
      done = true;
    });
    return true;
  }

  // True when the engine returned 0 within timeout_ms and left its socket open.
  bool ended_within(int timeout_ms) {
    for (int i = 0; i < timeout_ms / 10 && !done; i++) plat_sleep_ms(10);
    return done && result == 0 && left_open;
  }

  // Exactly n raw bytes from the engine, record marks included.
  bool recv_raw(bytes* out, size_t n) {
    out->assign(n, 0);
    return sock_recv_exact(client.s, out->data(), n, 5000) == 0;
  }

  ~engine_conn() {
    plat_sock_close(client.s);
    client.s = PLAT_INVALID_SOCK;
    if (engine.joinable()) engine.join();
    if (!done) plat_sock_close(server);
    plat_sock_close(listener);
  }
};

// AUTH_SYS parameters: stamp, machine name, uid, gid, no extra groups.
bytes auth_sys(const std::string& machine, uint32_t uid) { return auth_sys_body(0x1234, machine, uid, 100); }

// The six words of an accepted reply.
bytes accepted(uint32_t xid, uint32_t accept_stat) { return words({xid, 1, 0, 0, 0, accept_stat}); }

// Sends one record with a single last-fragment mark and reads one reply.
bool exchange(engine_conn* c, const bytes& rec, bytes* reply) {
  return c->client.send_raw(with_mark(rec)) && c->client.recv_record(reply);
}

TEST(EngineFraming, FragmentsAreJoinedIntoOneRecord) {
  // Procedure 22 answers PROC_UNAVAIL only when the procedure word, split
  // across the fragments at byte 22, is put back together.
  const bytes rec = rpc_call_record({.xid = 0x0A0B0C0D, .proc = 22});
  ASSERT_EQ(rec.size(), 40u);
  const std::vector<std::vector<size_t>> cases = {
      {22, 0, 18},     // empty middle fragment
      {0, 22, 0, 18},  // empty first fragment
      {40, 0},         // whole call, then an empty last fragment
      {1, 38, 1},
      {4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
  };
  engine_conn c;
  ASSERT_TRUE(c.start());
  for (const auto& lens : cases) {
    SCOPED_TRACE(testing::PrintToString(lens));
    ASSERT_TRUE(c.client.send_raw(fragmented(rec, lens)));
    bytes reply;
    ASSERT_TRUE(c.client.recv_record(&reply));
    EXPECT_EQ(reply, accepted(0x0A0B0C0D, 3));
  }
}

TEST(EngineFraming, PipelinedCallsAreAnsweredInOrder) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  bytes burst;
  for (uint32_t xid = 1; xid <= 5; xid++) {
    const bytes m = with_mark(rpc_call_record({.xid = xid, .proc = xid % 2 ? 0u : 22u}));
    burst.insert(burst.end(), m.begin(), m.end());
  }
  ASSERT_TRUE(c.client.send_raw(burst));
  for (uint32_t xid = 1; xid <= 5; xid++) {
    bytes reply;
    ASSERT_TRUE(c.client.recv_record(&reply));
    EXPECT_EQ(reply, accepted(xid, xid % 2 ? 0u : 3u));
  }
}

TEST(EngineFraming, NullReplyIsOneRecordWithExactMark) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  // Arguments after NULL are ignored.
  ASSERT_TRUE(c.client.send_raw(with_mark(rpc_call_record({.xid = 77, .args = words({1, 2, 3})}))));
  bytes raw;
  ASSERT_TRUE(c.recv_raw(&raw, 28));
  bytes expected = words({0x80000018});
  const bytes body = accepted(77, 0);
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(raw, expected);
  // Nothing follows the reply: the next bytes are the next call's mark.
  ASSERT_TRUE(c.client.send_raw(with_mark(rpc_call_record({.xid = 78}))));
  ASSERT_TRUE(c.recv_raw(&raw, 8));
  EXPECT_EQ(raw, words({0x80000018, 78}));
}

TEST(EngineFraming, RecordOfMaximumSizeIsRead) {
  // A NULL call padded so that its two fragments add up to exactly 8 MiB.
  bytes rec = rpc_call_record({.xid = 9});
  rec.resize(RPC_MAX_RECORD, 0xEE);
  engine_conn c;
  ASSERT_TRUE(c.start());
  ASSERT_TRUE(c.client.send_raw(fragmented(rec, {RPC_MAX_RECORD / 2, RPC_MAX_RECORD / 2})));
  bytes reply;
  ASSERT_TRUE(c.client.recv_record(&reply, 30000));
  EXPECT_EQ(reply, accepted(9, 0));
  // The connection goes on after the large record.
  ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 10}), &reply));
  EXPECT_EQ(reply, accepted(10, 0));
}

TEST(EngineFraming, RecordOverMaximumEndsConnectionWithNothingSent) {
  struct over_case {
    const char* name;
    bool full_first;  // send a not-last fragment of the whole 8 MiB first
    uint32_t mark;    // the mark that takes the record past the limit
  };
  const over_case cases[] = {
      {"one fragment one byte too long", false, 0x80000000u | (RPC_MAX_RECORD + 1)},
      {"second fragment of one byte", true, 0x80000001u},
      {"not-last fragment one byte too long", false, RPC_MAX_RECORD + 1},
      {"largest fragment length", false, 0xFFFFFFFFu},
  };
  for (const over_case& k : cases) {
    SCOPED_TRACE(k.name);
    engine_conn c;
    ASSERT_TRUE(c.start());
    bytes out;
    if (k.full_first) {
      bytes rec = rpc_call_record({.xid = 3});
      rec.resize(RPC_MAX_RECORD, 0);
      put32(&out, RPC_MAX_RECORD);
      out.insert(out.end(), rec.begin(), rec.end());
    }
    put32(&out, k.mark);
    ASSERT_TRUE(c.client.send_raw(out));
    bytes got;
    EXPECT_TRUE(c.client.read_until_closed(&got, 30000));
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(c.ended_within(5000));
  }
}

TEST(EngineDecode, UndecodableRecordsAreDroppedAndConnectionStays) {
  bytes reply_shaped = words({5, 1, 0, 0, 0, 0});
  bytes header_only = words({5, 0, 2, kNfs});
  bytes long_cred = rpc_call_record({.xid = 5, .cred_flavor = 1, .cred = bytes(401, 'a')});
  bytes long_verf = rpc_call_record({.xid = 5, .verf = bytes(401, 'v')});
  bytes long_cred_bad_flavor = rpc_call_record({.xid = 5, .cred_flavor = 6, .cred = bytes(401, 'a')});
  bytes cut_cred = words({5, 0, 2, kNfs, 3, 0, 1, 100, 0, 0});
  bytes no_verf = words({5, 0, 2, kNfs, 3, 0, 0, 0});
  struct drop_case {
    const char* name;
    bytes marked;
  };
  const drop_case cases[] = {
      {"single empty last fragment", words({0x80000000u})},
      {"message type REPLY", with_mark(reply_shaped)},
      {"message type 2", with_mark(rpc_call_record({.xid = 5, .msg_type = 2}))},
      {"xid only", with_mark(words({5}))},
      {"header cut after prog", with_mark(header_only)},
      {"credential body of 401 bytes", with_mark(long_cred)},
      {"verifier body of 401 bytes", with_mark(long_verf)},
      {"401-byte body of an unknown flavour", with_mark(long_cred_bad_flavor)},
      {"credential cut short", with_mark(cut_cred)},
      {"verifier missing", with_mark(no_verf)},
  };
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 100;
  for (const drop_case& k : cases) {
    SCOPED_TRACE(k.name);
    const int64_t calls = stats_get("rpc_calls");
    ASSERT_TRUE(c.client.send_raw(k.marked));
    // The first reply that arrives belongs to the call sent after the dropped record.
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid}), &reply));
    EXPECT_EQ(reply, accepted(xid, 0));
    EXPECT_EQ(stats_get("rpc_calls"), calls + 1);
  }
  EXPECT_FALSE(c.done);
}

TEST(EngineDecode, AuthBodiesOfFourHundredBytesAreAccepted) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  bytes reply;
  ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 1, .cred = bytes(400, 'c'), .verf = bytes(400, 'v')}), &reply));
  EXPECT_EQ(reply, accepted(1, 0));
  // The verifier's flavour is not examined.
  ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 2, .verf_flavor = 6, .verf = bytes(8, 'v')}), &reply));
  EXPECT_EQ(reply, accepted(2, 0));
}

TEST(EngineDecode, OtherRpcVersionsGetMismatchReply) {
  struct vers_case {
    uint32_t rpcvers;
    bytes cred;  // not read when the version is wrong
  };
  const vers_case cases[] = {{0, {}}, {1, {}}, {3, {}}, {3, bytes(401, 'x')}, {0xFFFFFFFFu, {}}};
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 0xFFFFFFF0u;
  for (const vers_case& k : cases) {
    SCOPED_TRACE(k.rpcvers);
    const int64_t calls = stats_get("rpc_calls");
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .rpcvers = k.rpcvers, .cred = k.cred}), &reply));
    EXPECT_EQ(reply, words({xid, 1, 1, 0, 2, 2}));
    EXPECT_EQ(stats_get("rpc_calls"), calls);
  }
}

TEST(EngineDecode, UnknownCredentialFlavoursGetBadCred) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 0;
  for (uint32_t flavor : {2u, 3u, 6u, 390003u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(flavor);
    const int64_t calls = stats_get("rpc_calls");
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .cred_flavor = flavor, .cred = bytes(8, 'k')}), &reply));
    EXPECT_EQ(reply, words({xid, 1, 1, 1, 1}));
    EXPECT_EQ(stats_get("rpc_calls"), calls);
  }
}

TEST(EngineDecode, AuthSysUidRaisesTheMaximum) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  EXPECT_EQ(stats_get("auth_sys_max_uid"), 0);
  struct uid_case {
    const char* name;
    bytes cred;
    int64_t max_after;
  };
  bytes name_only;
  put32(&name_only, 1);
  put_string(&name_only, "host");
  bytes long_name;
  put32(&long_name, 1);
  put_string(&long_name, std::string(300, 'm'));
  put32(&long_name, 7000);
  const uid_case cases[] = {
      {"uid 1000", auth_sys("host", 1000), 1000},
      {"smaller uid 5", auth_sys("host", 5), 1000},
      {"body without a uid", name_only, 1000},
      {"long machine name", long_name, 7000},
      {"uid above 2^31 counts as unsigned", auth_sys("box", 0xFFFFFFFEu), 4294967294},
      {"uid 0 afterwards", auth_sys("", 0), 4294967294},
  };
  uint32_t xid = 0;
  for (const uid_case& k : cases) {
    SCOPED_TRACE(k.name);
    const int64_t calls = stats_get("rpc_calls");
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .cred_flavor = 1, .cred = k.cred}), &reply));
    EXPECT_EQ(reply, accepted(xid, 0));
    EXPECT_EQ(stats_get("auth_sys_max_uid"), k.max_after);
    EXPECT_EQ(stats_get("rpc_calls"), calls + 1);
  }
  const std::string json = vorlix_stats_json();
  EXPECT_NE(json.find("\"auth_sys_max_uid\":4294967294"), std::string::npos) << json;
  EXPECT_NE(json.find("\"rpc_calls\":6,"), std::string::npos) << json;
}

TEST(EngineStats, UnknownKeysChangeNothing) {
  stats_add("rpc_calls", 3);
  stats_add("auth_sys_max_uid", 50);
  stats_add("auth_sys_max_uid", 20);
  stats_add("RPC_CALLS", 100);
  stats_add("rpc_calls ", 100);
  stats_add("", 100);
  stats_add(nullptr, 100);
  EXPECT_EQ(stats_get("rpc_calls"), 3);
  EXPECT_EQ(stats_get("auth_sys_max_uid"), 50);
  EXPECT_EQ(stats_get("RPC_CALLS"), 0);
  EXPECT_EQ(stats_get("nothing"), 0);
  EXPECT_EQ(stats_get(nullptr), 0);
  EXPECT_STREQ(vorlix_stats_json(),
               "{\"connections\":0,\"connections_total\":0,\"rpc_calls\":3,\"mounts\":0,\"auth_sys_max_uid\":50}");
}

// An unknown program gets PROG_UNAVAIL; a version that is not served of a
// served program gets PROG_MISMATCH with the lowest and highest versions
// served. Both are counted.
TEST(EngineDispatch, UnservedProgramsAndVersions) {
  struct prog_case {
    uint32_t prog;
    uint32_t vers;
    uint32_t low, high;  // 0, 0: PROG_UNAVAIL
  };
  const prog_case cases[] = {
      {kNfs, 2, 3, 3},     {kNfs, 4, 3, 3},     {kMount, 0, 1, 3}, {kMount, 4, 1, 3},
      {kPortmap, 1, 2, 4}, {kPortmap, 5, 2, 4}, {100021, 4, 0, 0}, {0, 0, 0, 0},      {0xFFFFFFFFu, 3, 0, 0},
  };
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 500;
  for (const prog_case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.prog << " v" << k.vers);
    const int64_t calls = stats_get("rpc_calls");
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .prog = k.prog, .vers = k.vers, .args = words({1, 2})}),
                         &reply));
    bytes expected = accepted(xid, k.high == 0 ? 1 : 2);
    if (k.high != 0) {
      put32(&expected, k.low);
      put32(&expected, k.high);
    }
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(stats_get("rpc_calls"), calls + 1);
  }
}

TEST(EngineDispatch, EachServedProgramAnswersNull) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 0;
  for (uint32_t prog : {kPortmap, kMount, kNfs}) {
    SCOPED_TRACE(prog);
    bytes reply;
    ASSERT_TRUE(
        exchange(&c, rpc_call_record({.xid = ++xid, .prog = prog, .vers = prog == kPortmap ? 2u : 3u}), &reply));
    EXPECT_EQ(reply, accepted(xid, 0));
  }
  EXPECT_EQ(stats_get("rpc_calls"), 3);
}

TEST(EngineDispatch, EveryListenerAnswersEveryProgram) {
  ASSERT_TRUE(start_test_server(0));
  for (int port : {vorlix_nfs_port(), vorlix_mount_port()}) {
    SCOPED_TRACE(port);
    rpc_conn c;
    ASSERT_TRUE(c.open(port));
    bytes reply;
    ASSERT_TRUE(c.call(kNfs, 3, 0, {}, &reply));
    EXPECT_EQ(reply, accepted(1, 0));
    ASSERT_TRUE(c.call(kMount, 3, 0, {}, &reply));
    EXPECT_EQ(reply, accepted(2, 0));
    ASSERT_TRUE(c.call(kPortmap, 2, 0, {}, &reply));
    EXPECT_EQ(reply, accepted(3, 0));
  }
  vorlix_stop();
}

TEST(EngineDispatch, WritingProceduresAreRefusedWhateverTheArguments) {
  const bytes junk(1000, 0xFF);
  const bytes fake_handle = [] {
    bytes b;
    put_opaque(&b, "0123456789abcdef0123456789abcdef", 32);
    put_string(&b, "name");
    return b;
  }();
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 0;
  for (uint32_t proc : {2u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 21u}) {
    for (const bytes* args : {&junk, &fake_handle, static_cast<const bytes*>(nullptr)}) {
      SCOPED_TRACE(testing::Message() << "proc " << proc << " args " << (args ? args->size() : 0));
      bytes reply;
      ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .proc = proc, .args = args ? *args : bytes{}}), &reply));
      bytes expected = accepted(xid, 0);
      const bytes status_and_falses = proc == 14 ? words({30, 0, 0, 0, 0}) : words({30, 0, 0, 0});
      expected.insert(expected.end(), status_and_falses.begin(), status_and_falses.end());
      EXPECT_EQ(reply, expected);
      EXPECT_EQ(reply.size(), proc == 14 ? 44u : 40u);
    }
  }
  // With an AUTH_SYS credential the refusal is the same.
  bytes reply;
  ASSERT_TRUE(
      exchange(&c, rpc_call_record({.xid = 999, .proc = 7, .cred_flavor = 1, .cred = auth_sys("h", 0)}), &reply));
  EXPECT_EQ(reply, words({999, 1, 0, 0, 0, 0, 30, 0, 0, 0}));
}

TEST(EngineDispatch, ProceduresOutsideTheTableGetProcUnavail) {
  engine_conn c;
  ASSERT_TRUE(c.start());
  uint32_t xid = 0;
  for (uint32_t proc : {22u, 23u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(proc);
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = ++xid, .proc = proc, .args = words({0, 0})}), &reply));
    EXPECT_EQ(reply, accepted(xid, 3));
  }
}

TEST(EngineDebug, ReplyLineForEveryNfsReplyOnly) {
  ASSERT_EQ(setenv("VORLIX_RDPDBG", "1", 1), 0);
  debug_read_env();
  engine_conn c;
  ASSERT_TRUE(c.start());
  testing::internal::CaptureStderr();
  bytes reply;
  bool ok = exchange(&c, rpc_call_record({.xid = 1, .proc = 0}), &reply) &&  // NULL
            exchange(&c, rpc_call_record({.xid = 2, .proc = 22}), &reply) &&  // PROC_UNAVAIL
            exchange(&c, rpc_call_record({.xid = 3, .proc = 7}), &reply) &&   // WRITE refused
            exchange(&c, rpc_call_record({.xid = 4, .proc = 14}), &reply) &&  // RENAME refused
            exchange(&c, rpc_call_record({.xid = 5, .prog = kMount, .proc = 0}), &reply) &&
            exchange(&c, rpc_call_record({.xid = 6, .prog = kPortmap, .vers = 2, .proc = 0}), &reply) &&
            exchange(&c, rpc_call_record({.xid = 7, .vers = 2, .proc = 0}), &reply) &&
            exchange(&c, rpc_call_record({.xid = 8, .rpcvers = 3}), &reply);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ok);
  EXPECT_EQ(err,
            "RDPDBG reply proc=0 len=24\n"
            "RDPDBG reply proc=22 len=24\n"
            "RDPDBG reply proc=7 len=40\n"
            "RDPDBG reply proc=14 len=44\n");

  // The variable is read once, not for every reply: taking it away changes
  // nothing until it is read again (as the next start does).
  ASSERT_EQ(unsetenv("VORLIX_RDPDBG"), 0);
  testing::internal::CaptureStderr();
  ok = exchange(&c, rpc_call_record({.xid = 9}), &reply);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "RDPDBG reply proc=0 len=24\n");
  EXPECT_TRUE(ok);
  debug_read_env();
  testing::internal::CaptureStderr();
  ok = exchange(&c, rpc_call_record({.xid = 10}), &reply);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(ok);
}

TEST(EngineWaits, SilentConnectionEndsAfterIdleWait) {
  ASSERT_EQ(vorlix_config("idle_timeout_ms", "1000"), 0);
  engine_conn c;
  ASSERT_TRUE(c.start());
  bytes reply;
  ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 1}), &reply));
  bytes got;
  EXPECT_TRUE(c.client.read_until_closed(&got, 15000));
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(c.ended_within(5000));
}

TEST(EngineWaits, IdleWaitEndsAtTheFirstByteOfACall) {
  ASSERT_EQ(vorlix_config("idle_timeout_ms", "1000"), 0);
  ASSERT_EQ(vorlix_config("read_timeout_ms", "10000"), 0);
  engine_conn c;
  ASSERT_TRUE(c.start());
  // Six pieces 300 ms apart: the record takes longer than the idle wait,
  // which applies only until its first byte, and less than the read wait.
  const bytes marked = with_mark(rpc_call_record({.xid = 42}));
  const size_t piece = (marked.size() + 5) / 6;
  for (size_t at = 0; at < marked.size(); at += piece) {
    const size_t n = std::min(piece, marked.size() - at);
    ASSERT_TRUE(c.client.send_raw(bytes(marked.begin() + static_cast<ptrdiff_t>(at),
                                        marked.begin() + static_cast<ptrdiff_t>(at + n))));
    plat_sleep_ms(300);
  }
  bytes reply;
  ASSERT_TRUE(c.client.recv_record(&reply));
  EXPECT_EQ(reply, accepted(42, 0));
}

TEST(EngineWaits, ReadWaitBoundsTheWholeCallWhateverItsPace) {
  // Each gap is far shorter than either wait; only the whole call is not.
  ASSERT_EQ(vorlix_config("idle_timeout_ms", "3600000"), 0);
  ASSERT_EQ(vorlix_config("read_timeout_ms", "1000"), 0);
  struct trickle_case {
    const char* name;
    bytes first;  // sent at once
    bytes piece;  // then sent again and again, 100 ms apart
  };
  const trickle_case cases[] = {
      // The mark of a long fragment, then its bytes one at a time.
      {"one byte at a time", words({0x80000000u | 1000}), bytes{0x00}},
      // A record of empty fragments that never ends, one mark at a time.
      {"empty fragments", words({0}), words({0})},
  };
  for (const trickle_case& k : cases) {
    SCOPED_TRACE(k.name);
    engine_conn c;
    ASSERT_TRUE(c.start());
    // A call is answered first, so the connection is past its first call.
    bytes reply;
    ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 4}), &reply));
    const uint64_t start = plat_now_ms();
    ASSERT_TRUE(c.client.send_raw(k.first));
    bool closed = false;
    for (int i = 0; i < 100 && !closed; i++) {
      (void)c.client.send_raw(k.piece);
      closed = c.client.closed_within(100);
    }
    EXPECT_TRUE(closed);
    // About the read wait after the first byte; far less than the 10 s the
    // trickle would go on for.
    EXPECT_LT(plat_now_ms() - start, 6000u);
    EXPECT_TRUE(c.ended_within(5000));
  }
}

TEST(EngineMemory, RecordBufferGrowsWithTheBytesNotTheAnnouncedLength) {
  constexpr int kConns = 32;
  constexpr size_t kSent = 1000;
  ASSERT_EQ(rpc_record_bytes(), 0);
  {
    std::vector<std::unique_ptr<engine_conn>> conns;
    for (int i = 0; i < kConns; i++) {
      conns.push_back(std::make_unique<engine_conn>());
      ASSERT_TRUE(conns.back()->start());
      // A fragment announced at the largest size, of which a few bytes come.
      bytes b = words({0x80000000u | (RPC_MAX_RECORD - 4)});
      b.resize(4 + kSent, 0xAB);
      ASSERT_TRUE(conns.back()->client.send_raw(b));
    }
    // Each connection holds at least the bytes it received; wait until the
    // engines hold that many between them, then a little for the others.
    for (int i = 0; i < 1000 && rpc_record_bytes() < static_cast<int64_t>(kConns * kSent); i++) plat_sleep_ms(10);
    plat_sleep_ms(300);
    EXPECT_GE(rpc_record_bytes(), static_cast<int64_t>(kConns * kSent));
    // All of them together hold less than one announced fragment.
    EXPECT_LT(rpc_record_bytes(), static_cast<int64_t>(RPC_MAX_RECORD));
    for (auto& c : conns) {
      plat_sock_close(c->client.s);
      c->client.s = PLAT_INVALID_SOCK;
      EXPECT_TRUE(c->ended_within(5000));
    }
  }
  EXPECT_EQ(rpc_record_bytes(), 0);
}

TEST(EngineWaits, ASendToAPeerThatStopsReadingGivesUpAfterTheSendWait) {
  ASSERT_EQ(plat_net_init(), 0);
  plat_sock listener = PLAT_INVALID_SOCK;
  plat_sock s = PLAT_INVALID_SOCK;
  ASSERT_EQ(plat_listen_tcp4("127.0.0.1", 0, 4, &listener), 0);
  ASSERT_EQ(plat_connect_tcp4("127.0.0.1", plat_sock_port(listener), nullptr, &s), 0);
  ASSERT_GT(plat_poll1(listener, 1, 5000), 0);
  const plat_sock peer = plat_accept(listener);
  ASSERT_NE(peer, PLAT_INVALID_SOCK);
  // More than the buffers of both ends hold; the peer reads nothing.
  const std::vector<unsigned char> reply(64u << 20, 0x5A);
  std::atomic<bool> returned{false};
  std::atomic<int> r{0};
  std::thread sender([&] {
    r = sock_send_all(s, reply.data(), reply.size(), 1000);
    returned = true;
  });
  for (int i = 0; i < 2000 && !returned; i++) plat_sleep_ms(10);
  const bool in_time = returned;
  // A send still waiting is ended so that the test itself ends.
  if (!in_time) plat_sock_shutdown(s);
  sender.join();
  EXPECT_TRUE(in_time);
  EXPECT_EQ(r.load(), -1);
  plat_sock_close(peer);
  plat_sock_close(s);
  plat_sock_close(listener);
}

TEST(EngineWaits, StallInsideFragmentEndsAfterReadWait) {
  // A long idle wait, so that only the read wait can end the connection.
  ASSERT_EQ(vorlix_config("idle_timeout_ms", "3600000"), 0);
  ASSERT_EQ(vorlix_config("read_timeout_ms", "1000"), 0);
  engine_conn c;
  ASSERT_TRUE(c.start());
  // Silence between calls longer than the read wait leaves the connection open.
  plat_sleep_ms(2500);
  EXPECT_FALSE(c.done);
  bytes reply;
  ASSERT_TRUE(exchange(&c, rpc_call_record({.xid = 1}), &reply));
  EXPECT_EQ(reply, accepted(1, 0));
  // A fragment announced as 40 bytes of which 10 arrive.
  bytes partial = with_mark(rpc_call_record({.xid = 2}));
  partial.resize(14);
  ASSERT_TRUE(c.client.send_raw(partial));
  bytes got;
  EXPECT_TRUE(c.client.read_until_closed(&got, 15000));
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(c.ended_within(5000));
}

}  // namespace
