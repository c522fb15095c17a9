// The minimal portmapper (version 2): NULL, GETPORT and DUMP over three fixed
// TCP mappings that read the ports bound now.
#include "proto/rpc.h"
#include "server/state.h"

namespace {

constexpr uint32_t kTcp = 6;

uint32_t port_for(uint32_t prog, uint32_t vers) {
  if (prog == PROG_NFS && vers == 3) return static_cast<uint32_t>(G_SRV.bound_nfs_port.load());
  if (prog == PROG_MOUNT && vers == 3) return static_cast<uint32_t>(G_SRV.bound_mount_port.load());
  if (prog == PROG_PORTMAP && vers == 2) return static_cast<uint32_t>(portmap_port_now());
  return 0;
}

}  // namespace

svc_result portmap_serve(rpc_call* call, xdr_enc* reply) {
  switch (call->proc) {
    case 0:
      put_reply_header(reply, call->xid, 0);
      return SVC_REPLY;
    case 3: {
      const uint32_t prog = xd_u32(&call->args);
      const uint32_t vers = xd_u32(&call->args);
      const uint32_t prot = xd_u32(&call->args);
      if (!xd_ok(&call->args)) return SVC_DROP;
      put_reply_header(reply, call->xid, 0);
      xe_u32(reply, (prot == kTcp || prot == 0) ? port_for(prog, vers) : 0u);
      return SVC_REPLY;
    }
    case 4:
      put_reply_header(reply, call->xid, 0);
      xe_bool(reply, 1);
      xe_u32(reply, PROG_PORTMAP);
      xe_u32(reply, 2);
      xe_u32(reply, kTcp);
      xe_u32(reply, static_cast<uint32_t>(portmap_port_now()));
      xe_bool(reply, 0);
      return SVC_REPLY;
    default:
      put_reply_header(reply, call->xid, 3);  // PROC_UNAVAIL
      return SVC_REPLY;
  }
}
