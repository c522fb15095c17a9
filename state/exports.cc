// Export table, allow lists and the export control operations.
#include "state/exports.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "plat/plat.h"
#include "state/config.h"
#include "state/last_error.h"
#include "state/log.h"
#include "state/server_rec.h"
#include "util/json.h"
#include "util/sha256.h"

namespace {

struct export_table {
  export_rec recs[MAX_EXPORTS];
  int32_t count = 0;
};

export_table G_EXP;

plat_mutex* exp_lock() {
  static plat_static_mutex m;
  return m.get();
}

// This host's addresses, what an empty allow list admits; under the lock.
constexpr int kMaxHostAddrs = 64;
plat_addr s_host[kMaxHostAddrs];
int s_nhost = 0;

bool is_host_addr(const plat_addr& a) {
  // Read on first use where neither a start nor an export has read them.
  if (s_nhost == 0) s_nhost = plat_host_addrs(s_host, kMaxHostAddrs);
  for (int i = 0; i < s_nhost; i++) {
    if (plat_addr_eq(s_host[i], a)) return true;
  }
  return false;
}

// The two words of an address, in the layout of export_net.
struct addr_words {
  uint64_t w[2];
};
addr_words words_of(const plat_addr& a) {
  addr_words x;
  memcpy(x.w, a.b, 16);
  return x;
}

// The network of an address and a prefix length 0..128 over all 16 bytes.
export_net net_of(const plat_addr& a, unsigned prefix) {
  plat_addr m{};
  for (unsigned i = 0; i < 16; i++) {
    const unsigned bits = prefix >= 8 * (i + 1) ? 8 : (prefix > 8 * i ? prefix - 8 * i : 0);
    m.b[i] = static_cast<unsigned char>(0xFF00u >> bits);
  }
  export_net n;
  const addr_words aw = words_of(a);
  const addr_words mw = words_of(m);
  for (int k = 0; k < 2; k++) {
    n.mask[k] = mw.w[k];
    n.net[k] = aw.w[k] & mw.w[k];
  }
  return n;
}

// The prefix length of a network's mask.
unsigned prefix_of(const export_net& n) {
  unsigned char m[16];
  memcpy(m, n.mask, 16);
  unsigned p = 0;
  for (unsigned char c : m) {
    while (c & 0x80) {
      p++;
      c = static_cast<unsigned char>(c << 1);
    }
  }
  return p;
}

// Counts the allow lists changed in place, so that decisions kept about a
// slot and generation can tell that they may be out of date.
std::atomic<uint64_t> s_allow_epoch{0};

bool live(int i) { return i < G_EXP.count && !G_EXP.recs[i].removed; }

// The D9 rule for export paths.
bool export_path_ok(const char* p) {
  if (p == nullptr || p[0] != '/') return false;
  const size_t n = strlen(p);
  if (n < 1 || n > 1023) return false;
  for (size_t i = 1; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c > 0x7F || c == '\\') return false;
  }
  if (n > 1 && p[n - 1] == '/') return false;
  for (size_t i = 0; i + 2 < n; i++) {
    if (p[i] == '/' && p[i + 1] == '.' && p[i + 2] == '.' && (p[i + 3] == '/' || p[i + 3] == 0)) return false;
  }
  return true;
}

uint64_t fsid_of(const std::string& local) {
  unsigned char d[32];
  nfss_sha_buf(local.data(), local.size(), d);
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | d[i];
  return v;
}

bool allows(const export_rec* e, const plat_addr& addr) {
  if (e->ncidrs == 0) return is_host_addr(addr);
  const addr_words a = words_of(addr);
  for (int i = 0; i < e->ncidrs; i++) {
    const export_net& n = e->nets[i];
    if (((a.w[0] & n.mask[0]) == n.net[0]) && ((a.w[1] & n.mask[1]) == n.net[1])) return true;
  }
  return false;
}

// Reads an IPv6 network's address part (at most 63 characters, holding a
// ':'); false when it is not one.
bool read_ipv6(const char* s, size_t n, plat_addr* out) {
  char text[64];
  if (n >= sizeof text || memchr(s, ':', n) == nullptr) return false;
  memcpy(text, s, n);
  text[n] = 0;
  return plat_addr_parse(text, out) == 0;
}

// Reads the address part "%u.%u.%u.%u" with nothing after the fourth number,
// each number at most 255. Numbers too large for 32 bits are refused.
bool read_ipv4(const char* s, size_t n, uint32_t* out) {
  uint32_t v = 0;
  size_t i = 0;
  for (int part = 0; part < 4; part++) {
    // Like %u: leading white space and an optional sign are skipped.
    while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\v' || s[i] == '\f' || s[i] == '\r')) i++;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (i >= n || s[i] < '0' || s[i] > '9') return false;
    uint64_t x = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
      x = x * 10 + static_cast<uint64_t>(s[i++] - '0');
      if (x > 0xFFFFFFFFull) return false;
    }
    if (neg) x = (0x100000000ull - x) & 0xFFFFFFFFull;
    if (x > 255) return false;
    v = (v << 8) | static_cast<uint32_t>(x);
    if (part < 3) {
      if (i >= n || s[i] != '.') return false;
      i++;
    }
  }
  if (i != n) return false;
  *out = v;
  return true;
}

}  // namespace

export_rec* exports_lock_get(int32_t* count) {
  plat_lock(exp_lock());
  if (count != nullptr) *count = G_EXP.count;
  return G_EXP.recs;
}

void exports_unlock() { plat_unlock(exp_lock()); }

int exports_find(const char* path) {
  if (path == nullptr) return -1;
  plat_guard g(exp_lock());
  for (int i = 0; i < G_EXP.count; i++) {
    if (!G_EXP.recs[i].removed && strcmp(G_EXP.recs[i].path, path) == 0) return i;
  }
  return -1;
}

int exports_snapshot_by_path(const char* path, export_rec* snap) {
  plat_guard g(exp_lock());
  const int i = exports_find(path);
  if (i >= 0) *snap = G_EXP.recs[i];
  return i;
}

void export_net_text(const export_net& n, char* out) {
  const unsigned p = prefix_of(n);
  if (p == 0) {
    strcpy(out, "*");
    return;
  }
  plat_addr a;
  memcpy(a.b, n.net, 16);
  plat_addr_text(a, out);
  const bool v4 = plat_addr_is_v4(a) && p >= 96;
  const size_t len = strlen(out);
  snprintf(out + len, 6, "/%u", v4 ? p - 96 : p);
}

int exports_allows(const export_rec* e, const plat_addr& addr) { return allows(e, addr) ? 1 : 0; }
int exports_allows(const export_rec* e, uint32_t addr) { return allows(e, plat_addr_v4(addr)) ? 1 : 0; }

void exports_read_host_addrs() {
  plat_addr found[kMaxHostAddrs];
  const int n = plat_host_addrs(found, kMaxHostAddrs);
  plat_guard g(exp_lock());
  memcpy(s_host, found, sizeof(plat_addr) * static_cast<size_t>(n));
  s_nhost = n;
}

int exports_admits(uint32_t idx, uint64_t gen, const plat_addr& addr) {
  plat_guard g(exp_lock());
  if (idx >= static_cast<uint32_t>(G_EXP.count) || G_EXP.recs[idx].removed || G_EXP.recs[idx].gen != gen) return -1;
  return allows(&G_EXP.recs[idx], addr) ? 1 : 0;
}

int exports_admit_any(const plat_addr& addr) {
  plat_guard g(exp_lock());
  for (int i = 0; i < G_EXP.count; i++) {
    if (!G_EXP.recs[i].removed && allows(&G_EXP.recs[i], addr)) return 1;
  }
  return 0;
}

int parse_cidrs(const char* text, export_rec* e) {
  const size_t n = strlen(text);
  size_t i = 0;
  while (i < n) {
    if (text[i] == ',') {
      i++;
      continue;
    }
    // The item runs to the next comma, at most 127 characters of it.
    size_t end = i;
    while (end < n && text[end] != ',' && end - i < 127) end++;
    size_t next = end;
    if (end < n && text[end] != ',') next = end + 1;  // the character after the 127th is skipped
    size_t len = end - i;
    while (len > 0 && (text[i + len - 1] == ' ' || text[i + len - 1] == '\t')) len--;
    const char* item = text + i;
    i = next;
    if (len == 0 || e->ncidrs >= MAX_CIDRS) continue;
    size_t lead = 0;  // blanks before a "*"
    while (lead < len && (item[lead] == ' ' || item[lead] == '\t')) lead++;
    if (len - lead == 1 && item[lead] == '*') {
      e->nets[e->ncidrs++] = net_of(plat_addr{}, 0);  // every client, of either family
      continue;
    }
    const char* slash = static_cast<const char*>(memchr(item, '/', len));
    const size_t alen = slash ? static_cast<size_t>(slash - item) : len;
    if (alen < 1 || alen > 63) return -1;
    plat_addr addr;
    uint32_t v4 = 0;
    const bool is_v6 = read_ipv6(item, alen, &addr) && !plat_addr_is_v4(addr);
    if (!is_v6) {
      if (!read_ipv4(item, alen, &v4)) return -1;
      addr = plat_addr_v4(v4);
    }
    const unsigned max = is_v6 ? 128 : 32;
    unsigned p = max;
    if (slash != nullptr) {
      const char* pre = slash + 1;
      const size_t plen = len - alen - 1;
      if (plen < 1 || plen > (is_v6 ? 3u : 2u)) return -1;
      p = 0;
      for (size_t k = 0; k < plen; k++) {
        if (pre[k] < '0' || pre[k] > '9') return -1;
        p = p * 10 + static_cast<unsigned>(pre[k] - '0');
      }
      if (p > max) return -1;
    }
    // An IPv4 network covers the IPv4-mapped block: 96 bits of prefix first.
    e->nets[e->ncidrs++] = net_of(addr, is_v6 ? p : 96 + p);
  }
  return 0;
}

int exports_add(const char* export_path, const char* local_path, const char* allow_cidrs) {
  if (!export_path_ok(export_path)) {
    set_error(-1, "export path must be absolute, no '\\\\', no '..' (D9)");
    return -1;
  }
  if (local_path == nullptr || local_path[0] == 0 || strlen(local_path) > 1024) {
    set_error(-1, "local path required");
    return -1;
  }
  owned_cstr resolved(plat_realpath(local_path));
  if (!resolved) {
    set_error(-4, "cannot resolve %s", local_path);
    return -4;
  }
  plat_statbuf st;
  if (plat_stat(resolved.get(), &st, 1) != 0) {
    set_error(-4, "stat failed");
    return -4;
  }
  if (!st.is_dir && !st.is_reg) {
    set_error(-1, "not a file or folder");
    return -1;
  }
  // "This machine" is read again: an address may have come since the start.
  exports_read_host_addrs();
  plat_guard g(exp_lock());
  int slot = -1;
  for (int i = 0; i < G_EXP.count; i++) {
    const export_rec& r = G_EXP.recs[i];
    if (r.removed) {
      if (slot < 0) slot = i;
      continue;
    }
    if (strcmp(r.path, export_path) == 0) {
      set_error(-7, "export path already added");
      return -7;
    }
    if (r.local && *r.local == resolved.get()) {
      set_error(-7, "local path already exported as %s", r.path);
      return -7;
    }
  }
  if (slot < 0) {
    if (G_EXP.count == MAX_EXPORTS) {
      set_error(-6, "too many exports");
      return -6;
    }
    slot = G_EXP.count++;
  }
  export_rec& r = G_EXP.recs[slot];
  r = export_rec{};
  snprintf(r.path, sizeof r.path, "%s", export_path);
  r.local = std::make_shared<const std::string>(resolved.get());
  r.allow_cidrs = std::make_shared<const std::string>(allow_cidrs ? allow_cidrs : "");
  r.ncidrs = 0;
  r.removed = 1;
  if (allow_cidrs != nullptr && allow_cidrs[0] != 0 && parse_cidrs(allow_cidrs, &r) != 0) {
    r.local.reset();
    r.allow_cidrs.reset();
    set_error(-1, "allow_cidrs: not an address or a network");
    return -1;
  }
  r.is_file = st.is_reg ? 1 : 0;
  r.gen = ++G_SRV.gen_counter;
  r.fsid = fsid_of(*r.local);
  r.removed = 0;
  set_error(0, "export %s added (%s)", export_path, r.is_file ? "file" : "folder");
  log_event(LOG_INFO, "export_added",
            {{"export", export_path}, {"local", *r.local}, {"allow", *r.allow_cidrs}, {"slot", std::to_string(slot)}});
  return slot;
}

namespace {

// Reads an allow-list text (null or "" for this machine only) into *out;
// false, with the refusal recorded, when it has an error.
bool read_list(const char* text, export_rec* out) {
  if (text == nullptr || text[0] == 0 || parse_cidrs(text, out) == 0) return true;
  set_error(-1, "allow_cidrs: not an address or a network");
  return false;
}

}  // namespace

int exports_set_allow(const char* export_path, const char* allow_cidrs) {
  if (export_path == nullptr) {
    set_error(-1, "path required");
    return -1;
  }
  // The new list is read whole before anything changes, so a list with an
  // error leaves the export exactly as it was.
  export_rec parsed{};
  if (!read_list(allow_cidrs, &parsed)) return -1;
  auto text = std::make_shared<const std::string>(allow_cidrs ? allow_cidrs : "");
  plat_guard g(exp_lock());
  const int i = exports_find(export_path);
  if (i < 0) {
    set_error(-4, "no such export");
    return -4;
  }
  export_rec& r = G_EXP.recs[i];
  memcpy(r.nets, parsed.nets, sizeof r.nets);
  r.ncidrs = parsed.ncidrs;
  r.allow_cidrs = std::move(text);
  s_allow_epoch.fetch_add(1, std::memory_order_release);
  log_event(LOG_INFO, "export_changed", {{"export", export_path}, {"allow", *r.allow_cidrs}});
  if (r.ncidrs == 0) {
    set_error(0, "export %s allows this machine only", export_path);
  } else {
    set_error(0, "export %s allows %d network%s", export_path, r.ncidrs, r.ncidrs == 1 ? "" : "s");
  }
  return i;
}

uint64_t exports_allow_epoch() { return s_allow_epoch.load(std::memory_order_acquire); }

int exports_remove(const char* export_path) {
  if (export_path == nullptr) {
    set_error(-1, "path required");
    return -1;
  }
  plat_guard g(exp_lock());
  const int i = exports_find(export_path);
  if (i < 0) {
    set_error(-4, "no such export");
    return -4;
  }
  export_rec& r = G_EXP.recs[i];
  r.removed = 1;
  r.local.reset();
  r.allow_cidrs.reset();
  set_error(0, "export removed");
  log_event(LOG_INFO, "export_removed", {{"export", export_path}});
  return 0;
}

int exports_count() {
  plat_guard g(exp_lock());
  int n = 0;
  for (int i = 0; i < G_EXP.count; i++) n += G_EXP.recs[i].removed ? 0 : 1;
  return n;
}

const char* exports_json(int index) {
  // Grows to hold the whole text; overwritten by the next call.
  static sbuf s_json;
  plat_guard g(exp_lock());
  if (index < 0 || !live(index)) {
    set_error(-4, "no export %d", index);
    return "";
  }
  const export_rec& r = G_EXP.recs[index];
  sbuf_owner b;
  sb_puts(&b.b, "{\"path\":");
  json_put_string(&b.b, r.path);
  sb_puts(&b.b, ",\"local\":");
  json_put_string(&b.b, r.local ? r.local->c_str() : nullptr);
  sb_puts(&b.b, ",\"allow_cidrs\":");
  json_put_string(&b.b, r.allow_cidrs ? r.allow_cidrs->c_str() : nullptr);
  if (sb_printf(&b.b, ",\"is_file\":%d,\"cidrs\":%d,\"generation\":%llu}", r.is_file, r.ncidrs,
                static_cast<unsigned long long>(r.gen)) != 0) {
    set_error(-4, "no export %d", index);
    return "";
  }
  sb_reset(&s_json);
  if (sb_putn(&s_json, b.b.data, b.b.len) != 0) {
    set_error(-4, "no export %d", index);
    return "";
  }
  set_error(0, "export %d", index);
  return reinterpret_cast<const char*>(s_json.data);
}

int exports_cidr_allows(const char* cidrs, const plat_addr& addr, int* allowed) {
  if (allowed == nullptr) {
    set_error(-1, "allowed required");
    return -1;
  }
  export_rec scratch{};
  if (!read_list(cidrs, &scratch)) return -1;
  *allowed = allows(&scratch, addr) ? 1 : 0;
  set_error(0, "allowed=%d", *allowed);
  return 0;
}

int exports_cidr_allows_text(const char* cidrs, const char* addr, int* allowed) {
  plat_addr a;
  if (plat_addr_parse(addr, &a) != 0) {
    set_error(-1, "not an IPv4 or IPv6 address: %s", addr == nullptr ? "(none)" : addr);
    return -1;
  }
  return exports_cidr_allows(cidrs, a, allowed);
}
