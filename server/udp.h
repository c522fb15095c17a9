// The UDP listeners: MOUNT on the MOUNT port and the portmapper on the
// portmapper port, one datagram per call, each served by a thread of its own
// while the server runs. Called by the lifecycle only, from the controlling
// thread, in this order: open (before running is set), start (after), stop.
#pragma once

// Opens the UDP sockets on every bound address (G_SRV.binds): the bound
// MOUNT port and, when there is one, the bound portmapper port (and its
// network's broadcast address where needed), and publishes their ports. 0,
// or -3 with the error recorded ("bind mount %d failed (ADDRESS)" / "bind
// portmap %d failed (ADDRESS)") and nothing left open.
int udp_listeners_open();
// Starts one thread per open socket. 0, or -1 when a thread could not be
// started (those started end once running is cleared).
int udp_listeners_start();
// Waits for the threads (running must be clear) and closes the sockets.
void udp_listeners_stop();
