// Readiness and state reports to the service manager that started the
// process (systemd's notification socket), in the platform layer.
#pragma once

// ---- Service manager notification ----------------------------------------------

// Sends state, lines such as "READY=1\nSTATUS=listening ...", as one
// datagram to the socket named by $NOTIFY_SOCKET (a path, or an abstract
// name written with a leading '@'), where the system has such a socket.
// 1 when it was sent, 0 when no manager asked for reports (no
// $NOTIFY_SOCKET, or a system without them: Windows), -1 when the send
// failed. Never blocks for long and prints nothing.
int plat_notify(const char* state);
