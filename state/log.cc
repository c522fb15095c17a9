// The event log: its levels, line format and sinks.
#include "state/log.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "plat/plat.h"
#include "state/last_error.h"

std::atomic<int> g_log_threshold{-1};

namespace {

constexpr const char* kLevelNames[] = {"error", "warn", "info", "debug"};

// What the sinks are; changed and read under the lock.
struct log_sinks {
  int level = LOG_INFO;
  bool to_stderr = false;
  std::string path;
  plat_append* file = nullptr;
  int64_t rotate_bytes = 0;
  int keep = 0;
  log_callback fn = nullptr;
  void* user = nullptr;
  // Lines not written to standard error because its reader fell behind,
  // since the last line that was.
  uint64_t stderr_dropped = 0;
};
log_sinks s_sinks;

plat_mutex* log_lock() {
  static plat_static_mutex m;
  return m.get();
}

// Sets the threshold from the sinks: the level when any sink is set.
void update_threshold() {
  const bool any = s_sinks.to_stderr || s_sinks.file != nullptr || s_sinks.fn != nullptr;
  g_log_threshold.store(any ? s_sinks.level : -1, std::memory_order_relaxed);
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

std::string time_text(int64_t unix_ms, int offset_min) {
  const int64_t local = unix_ms + static_cast<int64_t>(offset_min) * 60000;
  int64_t days = local / 86400000;
  int64_t rest = local % 86400000;
  if (rest < 0) {
    rest += 86400000;
    days--;
  }
  int y, mo, d;
  civil_from_days(days, &y, &mo, &d);
  const int off = offset_min < 0 ? -offset_min : offset_min;
  char buf[48];
  snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", y, mo, d,
           static_cast<int>(rest / 3600000), static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60),
           static_cast<int>(rest % 1000), offset_min < 0 ? '-' : '+', off / 60, off % 60);
  return buf;
}

void put_value(std::string* line, const std::string& v) {
  bool quote = v.empty();
  for (unsigned char c : v) quote = quote || c <= ' ' || c == '"' || c == '=' || c == 0x7F;
  if (!quote) {
    *line += v;
    return;
  }
  *line += '"';
  for (unsigned char c : v) {
    if (c == '"' || c == '\\') {
      *line += '\\';
      *line += static_cast<char>(c);
    } else if (c < ' ' || c == 0x7F) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      *line += esc;
    } else {
      *line += static_cast<char>(c);
    }
  }
  *line += '"';
}

// The file's name for generation i (0: the file itself).
std::string generation(const std::string& path, int i) { return i == 0 ? path : path + "." + std::to_string(i); }

// Moves the file to FILE.1 (and older ones one further) and opens a new
// one, once it has grown past its size. Under the lock.
void rotate_if_due() {
  if (s_sinks.file == nullptr || s_sinks.rotate_bytes <= 0) return;
  const int64_t size = plat_append_size(s_sinks.file);
  if (size < s_sinks.rotate_bytes) return;
  plat_append_close(s_sinks.file);
  for (int i = s_sinks.keep; i >= 1; i--) {
    (void)plat_rename_over(generation(s_sinks.path, i - 1).c_str(), generation(s_sinks.path, i).c_str());
  }
  s_sinks.file = plat_append_open(s_sinks.path.c_str());
  update_threshold();
}

std::string format_line(log_level lv, const char* event, const log_field* fields, size_t n);

// Writes the line to standard error, or counts it as dropped when the reader
// there has fallen behind (a pipe nobody reads: the threads that log must
// not wait on it). The first line written after a drop is preceded by one
// that says how many went. Under the lock.
void write_stderr(const std::string& line) {
  std::string whole = line;
  if (whole.size() > PLAT_STDERR_LINE_MAX - 1) whole.resize(PLAT_STDERR_LINE_MAX - 1);
  whole += '\n';
  if (s_sinks.stderr_dropped > 0) {
    const std::string count = std::to_string(s_sinks.stderr_dropped);
    const log_field f[] = {{"count", count.c_str()}, {"reason", "the reader of standard error fell behind"}};
    const std::string said = format_line(LOG_WARN, "log_lines_dropped", f, 2) + "\n";
    if (plat_stderr_try_write(said.data(), said.size()) == 0) {
      s_sinks.stderr_dropped++;
      return;
    }
    s_sinks.stderr_dropped = 0;
  }
  if (plat_stderr_try_write(whole.data(), whole.size()) == 0) s_sinks.stderr_dropped++;
}

// Writes one finished line to the sinks. Under the lock.
void write_line(int lv, const std::string& line) {
  if (s_sinks.to_stderr) write_stderr(line);
  if (s_sinks.file != nullptr) {
    const std::string whole = line + "\n";
    (void)plat_append_write(s_sinks.file, whole.data(), whole.size());
    rotate_if_due();
  }
  if (s_sinks.fn != nullptr) s_sinks.fn(lv, line.c_str(), s_sinks.user);
}

std::string format_line(log_level lv, const char* event, const log_field* fields, size_t n) {
  int64_t now = 0;
  int offset = 0;
  plat_wall_clock(&now, &offset);
  std::string line = time_text(now, offset);
  line += ' ';
  line += kLevelNames[lv];
  line += " event=";
  line += event;
  for (const log_field* f = fields; f != fields + n; f++) {
    line += ' ';
    line += f->key;
    line += '=';
    put_value(&line, f->value);
  }
  return line;
}

// The keys of limited events and when each was last written, with the lines
// held back since. A small table: the oldest entry makes room.
struct limited_rec {
  std::string key;
  uint64_t at = 0;
  uint64_t held = 0;
};
constexpr int kLimitedMax = 128;
constexpr uint64_t kLimitMs = 60000;
limited_rec s_limited[kLimitedMax];

}  // namespace

void log_event_n(log_level lv, const char* event, const log_field* fields, size_t n) {
  if (!log_on(lv)) return;
  const std::string line = format_line(lv, event, fields, n);
  plat_guard g(log_lock());
  if (static_cast<int>(lv) <= s_sinks.level) write_line(lv, line);
}

void log_event(log_level lv, const char* event, std::initializer_list<log_field> fields) {
  log_event_n(lv, event, fields.begin(), fields.size());
}

void log_event_limited(log_level lv, const char* key, const char* event, std::initializer_list<log_field> fields) {
  if (!log_on(lv)) return;
  const uint64_t now = plat_now_ms();
  uint64_t held = 0;
  {
    plat_guard g(log_lock());
    limited_rec* slot = nullptr;
    limited_rec* oldest = &s_limited[0];
    for (limited_rec& r : s_limited) {
      if (!r.key.empty() && r.key == key) {
        slot = &r;
        break;
      }
      if (r.key.empty() || r.at < oldest->at) oldest = &r;
    }
    if (slot != nullptr && now - slot->at < kLimitMs) {
      slot->held++;
      return;
    }
    if (slot == nullptr) {
      slot = oldest;
      slot->key = key;
      slot->held = 0;
    }
    held = slot->held;
    slot->at = now;
    slot->held = 0;
  }
  std::string line = format_line(lv, event, fields.begin(), fields.size());
  if (held > 0) line += " suppressed=" + std::to_string(held);
  plat_guard g(log_lock());
  write_line(lv, line);
}

void log_event_text(int level, const char* event, const char* const* kv, int nfields) {
  const log_level lv = static_cast<log_level>(level < LOG_ERROR ? LOG_ERROR : level > LOG_DEBUG ? LOG_DEBUG : level);
  if (!log_on(lv)) return;
  std::vector<log_field> fields;
  for (int i = 0; kv != nullptr && i < nfields; i++) {
    fields.push_back({kv[2 * i] ? kv[2 * i] : "", kv[2 * i + 1] ? kv[2 * i + 1] : ""});
  }
  log_event_n(lv, event ? event : "", fields.data(), fields.size());
}

void log_descriptors_exhausted(const char* why) {
  log_event_limited(LOG_ERROR, "descriptors", "descriptors_exhausted",
                    {{"reason", why}, {"hint", "raise the open-files limit (LimitNOFILE) or lower max-connections"}});
}

int log_set_level(const char* name) {
  for (int i = 0; i < 4; i++) {
    if (name != nullptr && strcmp(name, kLevelNames[i]) == 0) {
      plat_guard g(log_lock());
      s_sinks.level = i;
      update_threshold();
      set_error(0, "log level %s", name);
      return 0;
    }
  }
  set_error(-1, "log level: expected error, warn, info or debug");
  return -1;
}

const char* log_level_name(int level) { return level >= 0 && level < 4 ? kLevelNames[level] : "off"; }

int log_set_output(const char* path, int64_t rotate_bytes, int keep) {
  plat_append* file = nullptr;
  const bool to_file = path != nullptr && path[0] != 0 && strcmp(path, "-") != 0;
  if (to_file) {
    file = plat_append_open(path);
    if (file == nullptr) {
      char why[256];
      plat_last_failure_text(why, sizeof why);
      set_error(-1, "log file %s cannot be opened for appending: %s", path, why);
      return -1;
    }
  }
  plat_guard g(log_lock());
  plat_append_close(s_sinks.file);
  s_sinks.file = file;
  s_sinks.path = to_file ? path : "";
  s_sinks.rotate_bytes = rotate_bytes;
  s_sinks.keep = keep < 1 ? 1 : keep;
  s_sinks.to_stderr = path != nullptr && strcmp(path, "-") == 0;
  update_threshold();
  set_error(0, "log to %s", to_file ? path : s_sinks.to_stderr ? "standard error" : "nowhere");
  return 0;
}

void log_set_callback(log_callback fn, void* user) {
  plat_guard g(log_lock());
  s_sinks.fn = fn;
  s_sinks.user = user;
  update_threshold();
}

std::string log_ip(const plat_addr& a) {
  char b[PLAT_ADDR_TEXT];
  plat_addr_text(a, b);
  return b;
}

std::string log_time_text(int64_t unix_ms) {
  int64_t now = 0;
  int offset = 0;
  plat_wall_clock(&now, &offset);
  return time_text(unix_ms, offset);
}
