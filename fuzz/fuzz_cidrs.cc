// The allow-list parser and the address check. Input: a 4-byte address
// (first octet first), then the list text (up to the first zero byte).
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state/exports.h"
#include "util/xdr.h"
#include "vorlix.h"

namespace {

void expect(bool ok) {
  if (!ok) abort();
}

// A prefix mask has all its one bits first, so its complement is a run of
// low one bits (2^k - 1), which shares no bit with itself plus one.
bool is_prefix_mask(uint32_t m) {
  const uint32_t inv = ~m;
  return (inv & (inv + 1)) == 0;
}

// The last four bytes of a network's words, an IPv4 network's own part, and
// whether the first twelve are those of the IPv4-mapped block.
uint32_t v4_part(const uint64_t (&w)[2]) {
  unsigned char b[16];
  memcpy(b, w, 16);
  return be32_get(b + 12);
}
bool mapped_block(const export_net& n) {
  static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  unsigned char net[16], mask[16];
  memcpy(net, n.net, 16);
  memcpy(mask, n.mask, 16);
  for (int i = 0; i < 12; i++) {
    if (mask[i] != 0xFF || net[i] != kPrefix[i]) return false;
  }
  return true;
}

// When the whole text is one plain "a.b.c.d" or "a.b.c.d/p" the system's own
// parser accepts, the list parser must give exactly that network.
void check_plain_item(const std::string& text, int r, const export_rec& e) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789./") != std::string::npos) return;
  const size_t slash = text.find('/');
  const std::string addr = text.substr(0, slash);
  unsigned char a[4];
  if (inet_pton(AF_INET, addr.c_str(), a) != 1) return;
  uint32_t mask = 0xFFFFFFFFu;
  if (slash != std::string::npos) {
    const std::string pre = text.substr(slash + 1);
    if (pre.empty() || pre.size() > 2 || pre.find_first_not_of("0123456789") != std::string::npos) return;
    const int p = atoi(pre.c_str());
    if (p > 32) return;
    mask = p == 0 ? 0u : 0xFFFFFFFFu << (32 - p);
  }
  expect(r == 0 && e.ncidrs == 1 && mapped_block(e.nets[0]) && v4_part(e.nets[0].mask) == mask &&
         v4_part(e.nets[0].net) == (be32_get(a) & mask));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t addr = be32_get(data);
  const char* raw = reinterpret_cast<const char*>(data + 4);
  const std::string text(raw, strnlen(raw, size - 4));

  export_rec e{};
  const int r = parse_cidrs(text.c_str(), &e);
  expect(r == 0 || r == -1);
  expect(e.ncidrs >= 0 && e.ncidrs <= MAX_CIDRS);
  bool any = false;
  for (int i = 0; i < e.ncidrs; i++) {
    const export_net& n = e.nets[i];
    expect((n.net[0] & ~n.mask[0]) == 0 && (n.net[1] & ~n.mask[1]) == 0);
    if (!mapped_block(n)) continue;  // "*" or an IPv6 network
    expect(is_prefix_mask(v4_part(n.mask)));
    any = any || ((addr ^ v4_part(n.net)) & v4_part(n.mask)) == 0;
  }
  check_plain_item(text, r, e);

  int allowed = -1;
  const int rc = vorlix_cidr_allows(text.c_str(), addr, &allowed);
  if (r != 0) {
    expect(rc == -1 && vorlix_last_code() == -1);
    return 0;
  }
  expect(rc == 0 && vorlix_last_code() == 0);
  // An empty list admits this host's addresses, loopback among them; a list
  // of IPv4 networks only, exactly the addresses inside one of them.
  bool only_v4 = true;
  for (int i = 0; i < e.ncidrs; i++) only_v4 = only_v4 && mapped_block(e.nets[i]);
  if (e.ncidrs == 0 && addr == 0x7F000001u) expect(allowed == 1);
  if (e.ncidrs > 0 && only_v4) expect(allowed == (any ? 1 : 0));
  expect(exports_allows(&e, addr) == allowed);
  expect(vorlix_cidr_allows(text.c_str(), addr, nullptr) == -1);
  return 0;
}
