// Server lifecycle: the listeners' start and stop. Called by the controlling
// thread, one call at a time.
#pragma once

// Binds the listeners on bind_ip (a port of 0 takes the configured one) and
// starts their threads. 0, or -1 for a bad address, -2 when already running,
// -3 when a listener cannot be bound, -8 when a thread cannot start; the
// outcome is recorded (set_error).
int server_start(const char* bind_ip, int nfs_port, int mount_port, int portmap_port);
// Stops the listeners, joining their threads; connections being served end
// on their own. Nothing happens when the server is not running.
void server_stop();
// The one line on how clients find the ports, after the last start.
const char* server_portmap_note();
