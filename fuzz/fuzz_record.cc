// Whole call records through the connection engine, as a connection thread
// hands them over: every service and procedure, with live handles of a small
// exported tree (see fuzz_tree.h). The client is 127.0.0.1, or 10.1.2.3 when
// the top bit of the xid's last byte is set, so that the allow lists are
// exercised both ways. When bit 14 of the xid (0x4000) is set, the record is
// a datagram, processed as the UDP listeners do.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_tree.h"
#include "proto/rpc.h"
#include "util/xdr.h"

namespace {

// Checks what the engine promises about a reply; aborts when it breaks.
void check_reply(const uint8_t* data, size_t size, int r, const sbuf* reply, bool udp) {
  // Records that end the connection come only from a reply that could not
  // be built, which never happens with memory to spare.
  if (r < 0) abort();
  if (reply->len < RPC_MARK || reply->data == nullptr) abort();
  if (r == 0) return;
  const size_t body = reply->len - RPC_MARK;
  const unsigned char* p = reply->data + RPC_MARK;
  // At least xid, REPLY, reply_stat and two more words, all whole words.
  if (size < 8 || body < 20 || body % 4 != 0) abort();
  if (be32_get(p) != be32_get(data) || be32_get(p + 4) != 1) abort();
  if (reply->data[reply->len] != 0) abort();
  // Over UDP, CALLIT and INDIRECT never answer with more than they were sent.
  if (udp && size >= 24 && be32_get(data + 12) == PROG_PORTMAP) {
    const uint32_t proc = be32_get(data + 20);
    if ((proc == 5 || proc == 10) && be32_get(p + 20) == 0 && body > size) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzz_exports_ready()) abort();
  const uint32_t client = size >= 4 && (data[3] & 0x80) != 0 ? FUZZ_OTHER_CLIENT : FUZZ_CLIENT;
  const rpc_peer peer{plat_addr_v4(client), plat_addr_v4(0x7F000001u)};
  sbuf_owner reply;
  static const unsigned char kNoMark[RPC_MARK] = {0, 0, 0, 0};
  sb_reset(&reply.b);
  if (sb_putn(&reply.b, kNoMark, RPC_MARK) != 0) abort();
  const bool udp = size >= 4 && (data[2] & 0x40) != 0;
  const int r = rpc_process_record(data, size, peer, &reply.b, nullptr, udp ? RPC_PROTO_UDP : RPC_PROTO_TCP);
  check_reply(data, size, r, &reply.b, udp);
  return 0;
}
