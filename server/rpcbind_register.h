// Registration with the host's rpcbind, for a server that cannot run its
// own portmapper because the host's holds port 111: each program, version
// and transport served is registered at start (after any stale
// registrations of the same programs are removed) and removed at stop.
// Called by the lifecycle only, from the controlling thread.
#pragma once

// The portmapper port that asks for the automatic choice (the value of
// VORLIX_PORTMAP_AUTO): the own portmapper on PORTMAP_PORT when it is free,
// else registration with the host's rpcbind.
constexpr int SRV_PORTMAP_AUTO = -111;

// True when the portmapper port can be bound, over TCP and UDP, on every
// address the server listens on (G_SRV.binds).
bool rpcbind_own_port_free();
// After a start: when auto_portmap asked for the automatic choice and no
// own portmapper runs, registers what is served with the host's rpcbind;
// then writes the note saying which was done.
void rpcbind_note_start(bool auto_portmap);
// Removes what rpcbind_note_start registered; nothing when it registered
// nothing.
void rpcbind_unregister();
// The note of the last start ("" when there is nothing to say).
const char* rpcbind_note();
