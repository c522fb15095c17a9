// The event log and the status through the C interface: the lines a host
// receives through its callback for mounts from an allowed and a refused
// address (their fields, not their whole text), the level that holds lines
// back, the log file, and the status and mount list that name the client.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/fixture.h"
#include "tests/support/rpc_client.h"
#include "vorlix.h"

namespace {

constexpr uint32_t kMountProg = 100005;
constexpr uint32_t kMnt = 1;

struct logged {
  int level;
  std::string line;
};

void collect(int level, const char* line, void* user) {
  static_cast<std::vector<logged>*>(user)->push_back({level, line});
}

// The fields of a line: its time and level by those names, then its
// key=value pairs (quoted values unquoted).
std::map<std::string, std::string> fields_of(const std::string& line) {
  std::map<std::string, std::string> f;
  size_t at = line.find(' ');
  f["time"] = line.substr(0, at);
  const size_t lv = line.find(' ', at + 1);
  f["level"] = line.substr(at + 1, lv - at - 1);
  at = lv;
  while (at != std::string::npos && at < line.size()) {
    const size_t eq = line.find('=', at + 1);
    if (eq == std::string::npos) break;
    const std::string key = line.substr(at + 1, eq - at - 1);
    std::string value;
    size_t i = eq + 1;
    if (i < line.size() && line[i] == '"') {
      for (i++; i < line.size() && line[i] != '"'; i++) {
        if (line[i] == '\\') i++;
        value += line[i];
      }
      i++;
    } else {
      while (i < line.size() && line[i] != ' ') value += line[i++];
    }
    f[key] = value;
    at = i < line.size() ? i : std::string::npos;
  }
  return f;
}

// The first logged line whose fields include all of want.
bool has_event(const std::vector<logged>& lines, const std::map<std::string, std::string>& want) {
  for (const logged& l : lines) {
    const auto f = fields_of(l.line);
    bool all = true;
    for (const auto& [k, v] : want) all = all && f.count(k) != 0 && f.at(k) == v;
    if (all) return true;
  }
  return false;
}

// MNT of path from local_ip; the MOUNT status, or -1 when no reply came.
int mount_from(const char* local_ip, const std::string& path) {
  rpc_conn c;
  bytes args;
  put_string(&args, path);
  bytes r;
  if (!c.open(vorlix_mount_port(), local_ip) || !c.call(kMountProg, 3, kMnt, args, &r)) return -1;
  return static_cast<int>(get32(r, kReplyBody));
}

}  // namespace

TEST(EventLog, MountsFromAnAllowedAndARefusedAddress) {
#ifdef _WIN32
  if (running_under_wine()) GTEST_SKIP() << "Wine does not bind 127.0.0.2";
#endif
  temp_dir d;
  std::vector<logged> lines;
  vorlix_set_log_callback(collect, &lines);
  ASSERT_EQ(vorlix_log_level("info"), 0);
  ASSERT_GE(vorlix_add_export("/open", d.mkdir("open").c_str(), "127.0.0.1"), 0);
  ASSERT_TRUE(start_test_server()) << vorlix_last_error();

  EXPECT_EQ(mount_from(nullptr, "/open"), 0);
  EXPECT_EQ(mount_from("127.0.0.2", "/open"), 13);
  EXPECT_EQ(mount_from(nullptr, "/nothing"), 2);
  vorlix_stop();
  vorlix_set_log_callback(nullptr, nullptr);

  std::string all;
  for (const logged& l : lines) all += l.line + "\n";
  SCOPED_TRACE(all);
  EXPECT_TRUE(has_event(lines, {{"event", "export_added"}, {"export", "/open"}, {"allow", "127.0.0.1"}}));
  EXPECT_TRUE(has_event(lines, {{"event", "start"}, {"level", "info"}}));
  EXPECT_TRUE(has_event(lines, {{"event", "listening"}, {"service", "mount"}, {"transport", "tcp"},
                                {"address", "127.0.0.1"}, {"port", std::to_string(0 + vorlix_mount_port())}}));
  EXPECT_TRUE(has_event(lines, {{"event", "mount"}, {"level", "info"}, {"client", "127.0.0.1"}, {"export", "/open"}}));
  EXPECT_TRUE(has_event(lines, {{"event", "mount_refused"},
                                {"level", "warn"},
                                {"client", "127.0.0.2"},
                                {"export", "/open"},
                                {"reason", "not in the allow list"}}));
  EXPECT_TRUE(has_event(lines, {{"event", "mount_refused"}, {"client", "127.0.0.1"}, {"reason", "no such export"}}));
  EXPECT_TRUE(has_event(lines, {{"event", "stop"}}));
  // Every line starts with its time: date, time with milliseconds, offset.
  for (const logged& l : lines) {
    const std::string t = fields_of(l.line)["time"];
    ASSERT_EQ(t.size(), 29u) << l.line;
    EXPECT_EQ(t[10], 'T');
    EXPECT_EQ(t[19], '.');
    EXPECT_TRUE(t[23] == '+' || t[23] == '-') << l.line;
    EXPECT_EQ(t[26], ':');
  }
}

TEST(EventLog, TheLevelHoldsLinesBack) {
  temp_dir d;
  std::vector<logged> lines;
  vorlix_set_log_callback(collect, &lines);
  ASSERT_EQ(vorlix_log_level("warn"), 0);
  ASSERT_GE(vorlix_add_export("/open", d.mkdir("open").c_str(), "127.0.0.1"), 0);
  ASSERT_TRUE(start_test_server()) << vorlix_last_error();
  EXPECT_EQ(mount_from(nullptr, "/open"), 0);
  EXPECT_EQ(mount_from(nullptr, "/nothing"), 2);
  vorlix_stop();
  vorlix_set_log_callback(nullptr, nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(fields_of(lines[0].line)["event"], "mount_refused");
  EXPECT_EQ(vorlix_log_level("loud"), -1);
  EXPECT_NE(std::string(vorlix_last_error()).find("error, warn, info or debug"), std::string::npos);
}

TEST(EventLog, AFileIsAppendedToAndReopenedAfterARotation) {
  temp_dir d;
  const std::string file = d.at("server.log");
  ASSERT_EQ(vorlix_log_level("info"), 0);
  ASSERT_EQ(vorlix_log_output(file.c_str(), 0, 0), 0) << vorlix_last_error();
  const char* kv[] = {"n", "1"};
  vorlix_log_event(2, "first", kv, 1);
  // As logrotate does: the file is moved away, then the server told.
  ASSERT_EQ(plat_rename_over(file.c_str(), (file + ".1").c_str()), 0);
  vorlix_log_event(2, "second", kv, 1);
  ASSERT_EQ(vorlix_log_output(file.c_str(), 0, 0), 0);
  vorlix_log_event(2, "third", kv, 1);
  ASSERT_EQ(vorlix_log_output(nullptr, 0, 0), 0);
  vorlix_log_event(2, "fourth", kv, 1);
  const auto read_all = [](const std::string& path) {
    std::string text;
    if (plat_file* f = plat_fopen_read(path.c_str())) {
      char buf[4096];
      const int64_t n = plat_fread_at(f, 0, buf, sizeof buf);
      if (n > 0) text.assign(buf, static_cast<size_t>(n));
      plat_fclose(f);
    }
    return text;
  };
  const std::string old_text = read_all(file + ".1");
  const std::string new_text = read_all(file);
  EXPECT_NE(old_text.find(" info event=first n=1\n"), std::string::npos) << old_text;
  EXPECT_NE(old_text.find(" info event=second n=1\n"), std::string::npos) << old_text;
  EXPECT_NE(new_text.find(" info event=third n=1\n"), std::string::npos) << new_text;
  EXPECT_EQ(new_text.find("fourth"), std::string::npos) << new_text;
  // A file that cannot be opened is refused, in words.
  EXPECT_EQ(vorlix_log_output(d.at("no/such/folder/x.log").c_str(), 0, 0), -1);
  EXPECT_NE(std::string(vorlix_last_error()).find("cannot be opened"), std::string::npos);
}

TEST(EventLog, ARotatedFileKeepsItsGenerations) {
  temp_dir d;
  const std::string file = d.at("r.log");
  ASSERT_EQ(vorlix_log_level("info"), 0);
  ASSERT_EQ(vorlix_log_output(file.c_str(), 200, 2), 0);
  const char* kv[] = {"filler", "0123456789012345678901234567890123456789"};
  for (int i = 0; i < 40; i++) vorlix_log_event(2, "line", kv, 1);
  ASSERT_EQ(vorlix_log_output(nullptr, 0, 0), 0);
  plat_statbuf st;
  EXPECT_EQ(plat_stat(file.c_str(), &st, 1), 0);
  EXPECT_LT(st.size, 400);
  EXPECT_EQ(plat_stat((file + ".1").c_str(), &st, 1), 0);
  EXPECT_EQ(plat_stat((file + ".2").c_str(), &st, 1), 0);
  EXPECT_NE(plat_stat((file + ".3").c_str(), &st, 1), 0);
}

TEST(Status, NamesTheClientAndItsMounts) {
  temp_dir d;
  ASSERT_GE(vorlix_add_export("/open", d.mkdir("open").c_str(), "127.0.0.1"), 0);
  ASSERT_TRUE(start_test_server()) << vorlix_last_error();
  rpc_conn c;
  bytes args;
  put_string(&args, "/open");
  bytes r;
  ASSERT_TRUE(c.open(vorlix_mount_port()));
  ASSERT_TRUE(c.call(kMountProg, 3, kMnt, args, &r));
  ASSERT_EQ(get32(r, kReplyBody), 0u);
  const std::string json = vorlix_status_json();
  EXPECT_NE(json.find("\"running\":1"), std::string::npos) << json;
  EXPECT_NE(json.find("\"uptime_s\":"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"address\":\"127.0.0.1\",\"connections\":1,\"exports\":[\"/open\"],\"calls\":1,"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"mounts\":[{\"client\":\"127.0.0.1\",\"export\":\"/open\",\"since\":\"20"), std::string::npos)
      << json;
  // UMNT takes the entry off the list.
  ASSERT_TRUE(c.call(kMountProg, 3, 3, args, &r));
  EXPECT_NE(std::string(vorlix_status_json()).find("\"mounts\":[]"), std::string::npos);
  vorlix_stop();
}
