// The client records and the mount list.
#include "state/clients.h"

#include <atomic>
#include <cstring>

#include "plat/plat.h"
#include "state/log.h"
#include "util/json.h"

struct client_rec {
  plat_addr addr{};
  std::atomic<int32_t> conns{0};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> bytes_read{0};
  std::atomic<uint64_t> last_call_mono{0};
  std::atomic<uint64_t> last_read_mono{0};
  std::atomic<uint64_t> reading_id{0};
  // The file being read, changed under the table's lock when reading_id
  // changes.
  std::string reading;
};

namespace {

// Enough for every connection at once (at most 1024, four per client by
// default); a record without connections is reused, the one heard from
// least recently first.
constexpr int kClients = 512;
client_rec s_clients[kClients];

constexpr int kMountsMax = 1024;
// A client not heard from for this long is taken as gone, with its mounts.
constexpr uint64_t kGoneMs = 24ull * 3600 * 1000;
// A file read within this long is the one the client is reading now.
constexpr uint64_t kReadingMs = 10000;

struct mount_rec {
  plat_addr addr;
  std::string path;
  int64_t since_unix_ms;
  uint64_t since_mono;
};
std::vector<mount_rec> s_mounts;

plat_mutex* clients_lock() {
  static plat_static_mutex m;
  return m.get();
}

thread_local client_rec* t_current = nullptr;

client_rec* find_rec(const plat_addr& addr) {
  for (client_rec& c : s_clients) {
    if (plat_addr_eq(c.addr, addr) && (c.conns.load() > 0 || c.last_call_mono.load() != 0)) return &c;
  }
  return nullptr;
}

// When the client at addr was last heard from (monotonic), 0 when not known.
uint64_t last_heard(const plat_addr& addr) {
  const client_rec* c = find_rec(addr);
  return c == nullptr ? 0 : c->last_call_mono.load(std::memory_order_relaxed);
}

// Drops the mounts of clients gone for a day. Under the lock.
void drop_gone(uint64_t now) {
  for (size_t i = 0; i < s_mounts.size();) {
    uint64_t seen = last_heard(s_mounts[i].addr);
    if (seen < s_mounts[i].since_mono) seen = s_mounts[i].since_mono;
    if (now > seen && now - seen > kGoneMs) {
      s_mounts.erase(s_mounts.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      i++;
    }
  }
}

// The wall-clock time of a monotonic one in the past.
int64_t wall_of(uint64_t mono, uint64_t mono_now, int64_t wall_now) {
  return wall_now - static_cast<int64_t>(mono_now - mono);
}

}  // namespace

client_rec* clients_conn_open(const plat_addr& addr) {
  plat_guard g(clients_lock());
  client_rec* c = find_rec(addr);
  if (c == nullptr) {
    for (client_rec& r : s_clients) {
      if (r.conns.load() > 0) continue;
      if (c == nullptr || r.last_call_mono.load() < c->last_call_mono.load()) c = &r;
    }
    if (c == nullptr) return nullptr;
    c->addr = addr;
    c->calls.store(0);
    c->bytes_read.store(0);
    c->last_call_mono.store(plat_now_ms());
    c->last_read_mono.store(0);
    c->reading_id.store(0);
    c->reading.clear();
  }
  c->conns.fetch_add(1);
  return c;
}

void clients_conn_close(client_rec* c) {
  if (c != nullptr) c->conns.fetch_sub(1);
}

client_rec* clients_current() { return t_current; }
void clients_set_current(client_rec* c) { t_current = c; }

void clients_note_call(client_rec* c, uint64_t mono_ms) {
  c->calls.fetch_add(1, std::memory_order_relaxed);
  c->last_call_mono.store(mono_ms, std::memory_order_relaxed);
}

void clients_note_read(client_rec* c, uint64_t fileid, const char* export_path, const char* rel, int64_t bytes) {
  if (bytes > 0) c->bytes_read.fetch_add(static_cast<uint64_t>(bytes), std::memory_order_relaxed);
  c->last_read_mono.store(c->last_call_mono.load(std::memory_order_relaxed), std::memory_order_relaxed);
  const uint64_t id = fileid == 0 ? 1 : fileid;
  if (c->reading_id.load(std::memory_order_relaxed) == id) return;
  plat_guard g(clients_lock());
  c->reading_id.store(id, std::memory_order_relaxed);
  c->reading = std::string(export_path) + (strcmp(export_path, "/") == 0 ? "" : "/") + rel;
}

void clients_mount(const plat_addr& addr, const char* export_path) {
  int64_t wall = 0;
  int offset = 0;
  plat_wall_clock(&wall, &offset);
  const uint64_t now = plat_now_ms();
  plat_guard g(clients_lock());
  drop_gone(now);
  for (mount_rec& m : s_mounts) {
    if (plat_addr_eq(m.addr, addr) && m.path == export_path) {
      m.since_mono = now;
      return;
    }
  }
  // A full list gives up its oldest entry.
  if (s_mounts.size() >= static_cast<size_t>(kMountsMax)) s_mounts.erase(s_mounts.begin());
  s_mounts.push_back(mount_rec{addr, export_path, wall, now});
}

void clients_umount(const plat_addr& addr, const char* export_path) {
  plat_guard g(clients_lock());
  for (size_t i = 0; i < s_mounts.size(); i++) {
    if (plat_addr_eq(s_mounts[i].addr, addr) && s_mounts[i].path == export_path) {
      s_mounts.erase(s_mounts.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void clients_umount_all(const plat_addr& addr) {
  plat_guard g(clients_lock());
  for (size_t i = 0; i < s_mounts.size();) {
    if (plat_addr_eq(s_mounts[i].addr, addr)) {
      s_mounts.erase(s_mounts.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      i++;
    }
  }
}

std::vector<mount_entry> clients_mounts() {
  std::vector<mount_entry> out;
  plat_guard g(clients_lock());
  drop_gone(plat_now_ms());
  for (const mount_rec& m : s_mounts) out.push_back(mount_entry{m.addr, m.path, m.since_unix_ms});
  return out;
}

std::string clients_status_json() {
  int64_t wall = 0;
  int offset = 0;
  plat_wall_clock(&wall, &offset);
  const uint64_t now = plat_now_ms();
  const std::vector<mount_entry> mounts = clients_mounts();
  sbuf_owner b;
  sb_puts(&b.b, "\"clients\":[");
  {
    plat_guard g(clients_lock());
    bool first = true;
    for (const client_rec& c : s_clients) {
      const int32_t conns = c.conns.load();
      if (conns <= 0) continue;
      sb_puts(&b.b, first ? "{\"address\":" : ",{\"address\":");
      first = false;
      json_put_string(&b.b, log_ip(c.addr).c_str());
      sb_printf(&b.b, ",\"connections\":%d,\"exports\":[", static_cast<int>(conns));
      bool first_export = true;
      for (const mount_entry& m : mounts) {
        if (!plat_addr_eq(m.addr, c.addr)) continue;
        if (!first_export) sb_puts(&b.b, ",");
        first_export = false;
        json_put_string(&b.b, m.path.c_str());
      }
      const uint64_t last = c.last_call_mono.load();
      sb_printf(&b.b, "],\"calls\":%llu,\"bytes_read\":%llu,\"last_call\":",
                static_cast<unsigned long long>(c.calls.load()), static_cast<unsigned long long>(c.bytes_read.load()));
      json_put_string(&b.b, log_time_text(wall_of(last, now, wall)).c_str());
      const uint64_t read_at = c.last_read_mono.load();
      const bool reading = read_at != 0 && now >= read_at && now - read_at < kReadingMs && !c.reading.empty();
      sb_puts(&b.b, ",\"reading\":");
      json_put_string(&b.b, reading ? c.reading.c_str() : "");
      sb_puts(&b.b, "}");
    }
  }
  sb_puts(&b.b, "],\"mounts\":[");
  bool first = true;
  for (const mount_entry& m : mounts) {
    sb_puts(&b.b, first ? "{\"client\":" : ",{\"client\":");
    first = false;
    json_put_string(&b.b, log_ip(m.addr).c_str());
    sb_puts(&b.b, ",\"export\":");
    json_put_string(&b.b, m.path.c_str());
    sb_puts(&b.b, ",\"since\":");
    json_put_string(&b.b, log_time_text(m.since_unix_ms).c_str());
    sb_puts(&b.b, "}");
  }
  sb_puts(&b.b, "]");
  return std::string(reinterpret_cast<const char*>(b.b.data), b.b.len);
}
