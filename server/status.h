// The server's own events and its status: the start's log lines, and the
// status text of vorlix_status_json.
#pragma once

// Logs the start and one line per address, port and transport listened on.
void server_log_start(const char* bind_ip);
// The status as vorlix_status_json describes it; the text lives until the
// next call (one caller at a time).
const char* server_status_json();
