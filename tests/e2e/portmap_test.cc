// The minimal portmapper on the wire: GETPORT for the three TCP mappings,
// DUMP, dropped calls and unknown procedures, with and without a portmapper
// port of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "nfs_client.h"
#include "server/config.h"

using namespace wire;

namespace {

enum : uint32_t { PMAP_NULL = 0, PMAP_SET = 1, PMAP_UNSET = 2, PMAP_GETPORT = 3, PMAP_DUMP = 4, PMAP_CALLIT = 5 };

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

// A port no one listens on now, found by binding port 0 and closing again.
int free_port() {
  plat_net_init();
  plat_sock s = PLAT_INVALID_SOCK;
  if (plat_listen_tcp4("127.0.0.1", 0, 1, &s) != 0) return -1;
  const int port = plat_sock_port(s);
  plat_sock_close(s);
  return port;
}

// Starts the server with a portmapper listener on a free port; a port taken
// between the probe and the start is retried a few times.
int start_with_portmapper() {
  for (int attempt = 0; attempt < 5; attempt++) {
    const int port = free_port();
    if (port > 0 && start_test_server(port)) return port;
  }
  return -1;
}

struct mapping_case {
  uint32_t prog, vers, prot;
  int which;  // 0: none, 1: NFS, 2: MOUNT, 3: the portmapper
};
const mapping_case kMappings[] = {
    {100003, 3, 6, 1},  {100003, 3, 0, 1},  {100003, 3, 17, 0}, {100003, 2, 6, 0}, {100003, 4, 6, 0},
    {100005, 3, 6, 2},  {100005, 3, 0, 2},  {100005, 3, 17, 0}, {100005, 1, 6, 0}, {100000, 2, 6, 3},
    {100000, 2, 0, 3},  {100000, 2, 17, 0}, {100000, 3, 6, 0},  {100000, 4, 6, 0}, {100021, 4, 6, 0},
    {123456, 1, 6, 0},  {0, 0, 0, 0},
};

uint32_t expected_port(int which) {
  switch (which) {
    case 1: return static_cast<uint32_t>(vorlix_nfs_port());
    case 2: return static_cast<uint32_t>(vorlix_mount_port());
    case 3: return static_cast<uint32_t>(vorlix_portmap_port());
    default: return 0;
  }
}

void expect_dump(rpc_conn& c, uint32_t port) {
  const bytes r = pmap_call(c, PMAP_DUMP);
  ASSERT_EQ(r.size(), 48u);
  EXPECT_EQ(accept_stat(r), 0u);
  const uint32_t words[] = {1, 100000, 2, 6, port, 0};
  for (size_t i = 0; i < 6; i++) EXPECT_EQ(get32(r, 24 + 4 * i), words[i]) << "word " << i;
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
      EXPECT_EQ(getport(c, m.prog, m.vers, m.prot), m.which == 3 ? 0u : expected_port(m.which));
    }
    expect_dump(c, 0);
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
    expect_dump(c, static_cast<uint32_t>(port));
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
  put32(&two_words, 100003);
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
    EXPECT_EQ(getport(c, 100003, 3, 6), static_cast<uint32_t>(vorlix_nfs_port()));
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
  expect_dump(c, 0);
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
  const std::string log = testing::internal::GetCapturedStderr();
  unsetenv("VORLIX_RDPDBG");
  debug_read_env();
  EXPECT_EQ(log.find("RDPDBG"), std::string::npos) << log;
}

}  // namespace
