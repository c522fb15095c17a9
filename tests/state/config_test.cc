// Configuration keys, the secret, the last-error record and version, and the
// procedure table queries of the control interface.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "state/config.h"
#include "state/last_error.h"
#include "state/secret.h"
#include "state/server_rec.h"
#include "tests/support/fixture.h"
#include "vorlix.h"

namespace {

struct numeric_key {
  const char* name;
  int32_t config_rec::*field;
  int32_t def;
};

const numeric_key kNumericKeys[] = {
    {"idle_timeout_ms", &config_rec::idle_timeout_ms, 120000},
    {"read_timeout_ms", &config_rec::read_timeout_ms, 30000},
    {"max_connections", &config_rec::max_connections, 64},
    {"max_per_client", &config_rec::max_per_client, 0},
    {"nfs_port", &config_rec::nfs_port, 2049},
    {"mount_port", &config_rec::mount_port, 20048},
    {"portmap_port", &config_rec::portmap_port, 0},
};

int32_t config_rec::*field_of(const char* key) {
  for (const numeric_key& k : kNumericKeys) {
    if (key != nullptr && strcmp(key, k.name) == 0) return k.field;
  }
  return nullptr;
}

bool same_config(const config_rec& a, const config_rec& b) { return memcmp(&a, &b, sizeof a) == 0; }

std::string secret_now() {
  return std::string(reinterpret_cast<const char*>(fh_secret()), static_cast<size_t>(fh_secret_len()));
}

TEST(ConfigErrors, InitialStateAndQueriesLeaveTheRecord) {
  EXPECT_STREQ(vorlix_last_error(), "");
  EXPECT_EQ(vorlix_last_code(), 0);
  EXPECT_STREQ(vorlix_version(), "1.0.0");
  const char* where = vorlix_last_error();
  ASSERT_EQ(vorlix_config("nfs_port", "0"), 0);
  EXPECT_EQ(vorlix_last_error(), where);  // the same buffer for the life of the process
  EXPECT_STREQ(where, "nfs_port = 0");
  // Pure queries do not record an outcome.
  ASSERT_EQ(vorlix_config("bogus", "1"), -1);
  (void)vorlix_version();
  (void)vorlix_stats_json();
  (void)vorlix_is_running();
  (void)vorlix_export_count();
  vorlix_stop();
  EXPECT_EQ(vorlix_last_code(), -1);
  EXPECT_STREQ(vorlix_last_error(), "unknown key");
}

TEST(ConfigErrors, LongMessagesAreCut) {
  const std::string big(3000, 'm');
  set_error(-4, "%s!", big.c_str());
  EXPECT_EQ(vorlix_last_code(), -4);
  EXPECT_EQ(std::string(vorlix_last_error()), big.substr(0, 1023));
}

TEST(Config, KeysValuesAndMessages) {
  struct config_case {
    const char* key;
    const char* value;
    int code;
    const char* message;
    int32_t stored;  // the field's value after a successful call
  };
  const config_case cases[] = {
      {nullptr, "1", -1, "key required", 0},
      {nullptr, nullptr, -1, "key required", 0},
      {"IDLE_TIMEOUT_MS", "5000", -1, "unknown key", 0},
      {"Nfs_Port", "1", -1, "unknown key", 0},
      {"Secret", "abc", -1, "unknown key", 0},
      {"nfs_port ", "1", -1, "unknown key", 0},
      {"", "1", -1, "unknown key", 0},
      {"timeout", nullptr, -1, "unknown key", 0},
      // Bounds of every numeric key.
      {"idle_timeout_ms", "999", -1, "idle_timeout_ms out of range 1000..3600000", 0},
      {"idle_timeout_ms", "1000", 0, "idle_timeout_ms = 1000", 1000},
      {"idle_timeout_ms", "3600000", 0, "idle_timeout_ms = 3600000", 3600000},
      {"idle_timeout_ms", "3600001", -1, "idle_timeout_ms out of range 1000..3600000", 0},
      {"read_timeout_ms", "999", -1, "read_timeout_ms out of range 1000..3600000", 0},
      {"read_timeout_ms", "1000", 0, "read_timeout_ms = 1000", 1000},
      {"read_timeout_ms", "3600000", 0, "read_timeout_ms = 3600000", 3600000},
      {"read_timeout_ms", "3600001", -1, "read_timeout_ms out of range 1000..3600000", 0},
      {"max_connections", "0", -1, "max_connections out of range 1..1024", 0},
      {"max_connections", "1", 0, "max_connections = 1", 1},
      {"max_connections", "1024", 0, "max_connections = 1024", 1024},
      {"max_connections", "1025", -1, "max_connections out of range 1..1024", 0},
      {"max_per_client", "-1", -1, "max_per_client must be a whole number 0..1024", 0},
      {"max_per_client", "0", 0, "max_per_client = 0", 0},
      {"max_per_client", "1024", 0, "max_per_client = 1024", 1024},
      {"max_per_client", "1025", -1, "max_per_client out of range 0..1024", 0},
      {"nfs_port", "-1", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "65535", 0, "nfs_port = 65535", 65535},
      {"nfs_port", "65536", -1, "nfs_port out of range 0..65535", 0},
      {"nfs_port", "abc", -1, "nfs_port must be a whole number 0..65535", 0},
      {"mount_port", "-1", -1, "mount_port must be a whole number 0..65535", 0},
      {"mount_port", "0", 0, "mount_port = 0", 0},
      {"mount_port", "65535", 0, "mount_port = 65535", 65535},
      {"mount_port", "65536", -1, "mount_port out of range 0..65535", 0},
      {"portmap_port", "-1", -1, "portmap_port must be a whole number 0..65535", 0},
      {"portmap_port", "111", 0, "portmap_port = 111", 111},
      {"portmap_port", "65535", 0, "portmap_port = 65535", 65535},
      {"portmap_port", "65536", -1, "portmap_port out of range 0..65535", 0},
      // A value is a whole decimal number and nothing else: no blanks,
      // signs, other bases or text after it.
      {"nfs_port", "00080", 0, "nfs_port = 80", 80},
      {"nfs_port", " \t\n2050", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "+2051", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "2052abc", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "20 53", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "2054 ", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "-0", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "0x10", -1, "nfs_port must be a whole number 0..65535", 0},
      {"nfs_port", "99999999999999999999", -1, "nfs_port out of range 0..65535", 0},
      {"max_connections", "-", -1, "max_connections must be a whole number 1..1024", 0},
      {"max_connections", "+-5", -1, "max_connections must be a whole number 1..1024", 0},
      {"max_connections", "8x", -1, "max_connections must be a whole number 1..1024", 0},
      {"idle_timeout_ms", "-1000", -1, "idle_timeout_ms must be a whole number 1000..3600000", 0},
      {"idle_timeout_ms", "-2147483648", -1, "idle_timeout_ms must be a whole number 1000..3600000", 0},
  };
  for (const config_case& k : cases) {
    SCOPED_TRACE(testing::Message() << (k.key ? k.key : "(null)") << " = " << (k.value ? k.value : "(null)"));
    const config_rec before = G_CFG;
    EXPECT_EQ(vorlix_config(k.key, k.value), k.code);
    EXPECT_EQ(vorlix_last_code(), k.code);
    EXPECT_STREQ(vorlix_last_error(), k.message);
    if (k.code == 0) {
      EXPECT_EQ(G_CFG.*field_of(k.key), k.stored);
    } else {
      EXPECT_TRUE(same_config(G_CFG, before));
    }
  }
}

TEST(Config, NullAndEmptyValuesResetToDefaults) {
  for (const numeric_key& k : kNumericKeys) {
    for (const char* reset : {static_cast<const char*>(nullptr), ""}) {
      SCOPED_TRACE(testing::Message() << k.name << (reset ? " empty" : " null"));
      ASSERT_EQ(vorlix_config(k.name, "1000"), 0);
      ASSERT_EQ(G_CFG.*k.field, 1000);
      EXPECT_EQ(vorlix_config(k.name, reset), 0);
      EXPECT_EQ(vorlix_last_code(), 0);
      EXPECT_EQ(std::string(vorlix_last_error()), std::string(k.name) + " reset");
      EXPECT_EQ(G_CFG.*k.field, k.def);
    }
  }
}

TEST(Config, PerClientCapDefaultsToAQuarterOfTheLimitAndAtLeastFour) {
  struct cap_case {
    const char* max_connections;
    const char* max_per_client;
    int32_t cap;
  };
  const cap_case cases[] = {
      {"64", "0", 16},   {"64", nullptr, 16}, {"1024", "0", 256}, {"15", "0", 4},
      {"1", "0", 4},     {"17", "0", 4},      {"20", "0", 5},     {"64", "5", 5},
      {"2", "1024", 1024},
  };
  for (const cap_case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.max_connections << " / " << (k.max_per_client ? k.max_per_client : "(null)"));
    ASSERT_EQ(vorlix_config("max_connections", k.max_connections), 0);
    ASSERT_EQ(vorlix_config("max_per_client", k.max_per_client), 0);
    EXPECT_EQ(config_per_client_cap(), k.cap);
  }
}

TEST(Config, PortmapResetMeansNoPortmapListener) {
  ASSERT_EQ(vorlix_config("portmap_port", "0"), 0);
  ASSERT_EQ(vorlix_config("portmap_port", "5555"), 0);
  ASSERT_EQ(vorlix_config("portmap_port", nullptr), 0);
  EXPECT_EQ(G_CFG.portmap_port, 0);
  ASSERT_TRUE(start_test_server(0));
  EXPECT_EQ(vorlix_portmap_port(), 0);
  EXPECT_GT(vorlix_nfs_port(), 0);
  vorlix_stop();
}

TEST(Config, Secret) {
  EXPECT_EQ(fh_secret_len(), 0u);
  const std::string s64(64, 'k');
  ASSERT_EQ(vorlix_config("secret", s64.c_str()), 0);
  EXPECT_STREQ(vorlix_last_error(), "secret set (64 bytes)");
  EXPECT_EQ(secret_now(), s64);

  const std::string s65 = "z" + std::string(64, 'y');
  EXPECT_EQ(vorlix_config("secret", s65.c_str()), -1);
  EXPECT_EQ(vorlix_last_code(), -1);
  EXPECT_STREQ(vorlix_last_error(), "secret too long (max 64)");
  EXPECT_EQ(secret_now(), s64);

  // Bytes are kept as given, UTF-8 included.
  const std::string utf8 = "p\xc3\xa4ss w\xe2\x82\xac";
  ASSERT_EQ(vorlix_config("secret", utf8.c_str()), 0);
  EXPECT_STREQ(vorlix_last_error(), "secret set (10 bytes)");
  EXPECT_EQ(secret_now(), utf8);

  EXPECT_EQ(vorlix_config("secret", nullptr), 0);
  EXPECT_STREQ(vorlix_last_error(), "secret reset");
  EXPECT_EQ(fh_secret_len(), 0u);

  ASSERT_EQ(vorlix_config("secret", "a"), 0);
  EXPECT_STREQ(vorlix_last_error(), "secret set (1 bytes)");
  EXPECT_EQ(vorlix_config("secret", ""), 0);
  EXPECT_STREQ(vorlix_last_error(), "secret reset");
  EXPECT_EQ(fh_secret_len(), 0u);
}

TEST(Config, EveryKeyNeedsAStoppedServer) {
  ASSERT_EQ(vorlix_config("secret", "before-start"), 0);
  ASSERT_TRUE(start_test_server(0));
  const config_rec before = G_CFG;
  const char* keys[] = {"idle_timeout_ms", "read_timeout_ms", "max_connections", "max_per_client",
                        "nfs_port",        "mount_port",      "portmap_port",    "secret"};
  for (const char* key : keys) {
    for (const char* value : {"2000", "", static_cast<const char*>(nullptr)}) {
      SCOPED_TRACE(testing::Message() << key << " = " << (value ? value : "(null)"));
      EXPECT_EQ(vorlix_config(key, value), -2);
      EXPECT_EQ(vorlix_last_code(), -2);
      EXPECT_EQ(std::string(vorlix_last_error()), std::string(key) + " needs a stopped server");
    }
  }
  // A too-long secret is refused for the state before its length is looked at.
  EXPECT_EQ(vorlix_config("secret", std::string(65, 's').c_str()), -2);
  EXPECT_STREQ(vorlix_last_error(), "secret needs a stopped server");
  EXPECT_TRUE(same_config(G_CFG, before));
  EXPECT_EQ(secret_now(), "before-start");

  EXPECT_EQ(vorlix_config("no_such_key", "1"), -1);
  EXPECT_STREQ(vorlix_last_error(), "unknown key");
  EXPECT_EQ(vorlix_config("NFS_PORT", nullptr), -1);
  EXPECT_STREQ(vorlix_last_error(), "unknown key");
  EXPECT_EQ(vorlix_config(nullptr, "1"), -1);
  EXPECT_STREQ(vorlix_last_error(), "key required");

  vorlix_stop();
  EXPECT_EQ(vorlix_config("max_connections", "3"), 0);
  EXPECT_EQ(G_CFG.max_connections, 3);
}

TEST(Config, StartUnderWayCountsAsRunning) {
  // The starting flag alone, as while another thread is inside the start.
  G_SRV.starting.store(1);
  EXPECT_EQ(vorlix_config("nfs_port", "1"), -2);
  EXPECT_STREQ(vorlix_last_error(), "nfs_port needs a stopped server");
  EXPECT_EQ(vorlix_config("secret", nullptr), -2);
  EXPECT_STREQ(vorlix_last_error(), "secret needs a stopped server");
  G_SRV.starting.store(0);
  EXPECT_EQ(G_CFG.nfs_port, 2049);
  EXPECT_EQ(vorlix_config("nfs_port", "1"), 0);
}

TEST(ProcTable, WriteFlags) {
  struct flag_case {
    int32_t proc;
    int write;
  };
  const flag_case cases[] = {
      {0, 0},  {1, 0},  {2, 1},  {3, 0},  {4, 0},  {5, 0},  {6, 0},   {7, 1},        {8, 1},       {9, 1},
      {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 0},  {17, 0},       {18, 0},      {19, 0},
      {20, 0}, {21, 1}, {22, -1}, {23, -1}, {1000, -1}, {-1, -1}, {-22, -1}, {INT32_MIN, -1}, {INT32_MAX, -1},
  };
  for (const flag_case& k : cases) {
    EXPECT_EQ(vorlix_proc_is_write(k.proc), k.write) << k.proc;
  }
}

TEST(ProcTable, StatusNames) {
  struct name_case {
    int32_t code;
    const char* name;
  };
  const name_case cases[] = {
      {0, "NFS3_OK"},
      {1, "NFS3ERR_PERM"},
      {2, "NFS3ERR_NOENT"},
      {5, "NFS3ERR_IO"},
      {6, "NFS3ERR_NXIO"},
      {13, "NFS3ERR_ACCES"},
      {17, "NFS3ERR_EXIST"},
      {18, "NFS3ERR_XDEV"},
      {19, "NFS3ERR_NODEV"},
      {20, "NFS3ERR_NOTDIR"},
      {21, "NFS3ERR_ISDIR"},
      {22, "NFS3ERR_INVAL"},
      {27, "NFS3ERR_FBIG"},
      {28, "NFS3ERR_NOSPC"},
      {30, "NFS3ERR_ROFS"},
      {31, "NFS3ERR_MLINK"},
      {63, "NFS3ERR_NAMETOOLONG"},
      {66, "NFS3ERR_NOTEMPTY"},
      {69, "NFS3ERR_DQUOT"},
      {70, "NFS3ERR_STALE"},
      {71, "NFS3ERR_REMOTE"},
      {10001, "NFS3ERR_BADHANDLE"},
      {10002, "NFS3ERR_NOTSYNC"},
      {10003, "NFS3ERR_BADCOOKIE"},
      {10004, "NFS3ERR_NOTSUPP"},
      {10005, "NFS3ERR_TOOSMALL"},
      {10006, "NFS3ERR_SERVERFAULT"},
      {10007, "NFS3ERR_BADTYPE"},
      {10008, "NFS3ERR_JUKEBOX"},
      {3, "NFS3ERR_UNKNOWN"},
      {29, "NFS3ERR_UNKNOWN"},
      {10000, "NFS3ERR_UNKNOWN"},
      {10009, "NFS3ERR_UNKNOWN"},
      {-1, "NFS3ERR_UNKNOWN"},
      {-30, "NFS3ERR_UNKNOWN"},
      {INT32_MIN, "NFS3ERR_UNKNOWN"},
      {INT32_MAX, "NFS3ERR_UNKNOWN"},
  };
  for (const name_case& k : cases) {
    const char* name = vorlix_nfsstat_name(k.code);
    ASSERT_NE(name, nullptr) << k.code;
    EXPECT_STREQ(name, k.name) << k.code;
  }
}

TEST(ProcTable, JsonListing) {
  const std::string expected =
      "{\"served\":["
      "{\"proc\":0,\"name\":\"NFSPROC3_NULL\",\"write\":0},"
      "{\"proc\":1,\"name\":\"NFSPROC3_GETATTR\",\"write\":0},"
      "{\"proc\":2,\"name\":\"NFSPROC3_SETATTR\",\"write\":1},"
      "{\"proc\":3,\"name\":\"NFSPROC3_LOOKUP\",\"write\":0},"
      "{\"proc\":4,\"name\":\"NFSPROC3_ACCESS\",\"write\":0},"
      "{\"proc\":5,\"name\":\"NFSPROC3_READLINK\",\"write\":0},"
      "{\"proc\":6,\"name\":\"NFSPROC3_READ\",\"write\":0},"
      "{\"proc\":7,\"name\":\"NFSPROC3_WRITE\",\"write\":1},"
      "{\"proc\":8,\"name\":\"NFSPROC3_CREATE\",\"write\":1},"
      "{\"proc\":9,\"name\":\"NFSPROC3_MKDIR\",\"write\":1},"
      "{\"proc\":10,\"name\":\"NFSPROC3_SYMLINK\",\"write\":1},"
      "{\"proc\":11,\"name\":\"NFSPROC3_MKNOD\",\"write\":1},"
      "{\"proc\":12,\"name\":\"NFSPROC3_REMOVE\",\"write\":1},"
      "{\"proc\":13,\"name\":\"NFSPROC3_RMDIR\",\"write\":1},"
      "{\"proc\":14,\"name\":\"NFSPROC3_RENAME\",\"write\":1},"
      "{\"proc\":15,\"name\":\"NFSPROC3_LINK\",\"write\":1},"
      "{\"proc\":16,\"name\":\"NFSPROC3_READDIR\",\"write\":0},"
      "{\"proc\":17,\"name\":\"NFSPROC3_READDIRPLUS\",\"write\":0},"
      "{\"proc\":18,\"name\":\"NFSPROC3_FSSTAT\",\"write\":0},"
      "{\"proc\":19,\"name\":\"NFSPROC3_FSINFO\",\"write\":0},"
      "{\"proc\":20,\"name\":\"NFSPROC3_PATHCONF\",\"write\":0},"
      "{\"proc\":21,\"name\":\"NFSPROC3_COMMIT\",\"write\":1}"
      "],\"refused\":[2,7,8,9,10,11,12,13,14,15,21]}";
  ASSERT_EQ(expected.size(), 1080u);
  const char* first = vorlix_proc_table_json();
  const std::string first_text = first;
  EXPECT_EQ(first_text, expected);
  const char* second = vorlix_proc_table_json();
  EXPECT_EQ(second, first);  // one module-owned buffer
  EXPECT_EQ(std::string(second), first_text);
}

}  // namespace
