// Who is connected and what they have mounted, for the status view and
// MOUNT DUMP: one record per client address, updated per connection and per
// call with a few relaxed atomic operations, and the mount list (MNT adds,
// UMNT and UMNTALL remove, entries of clients gone for a day are dropped).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plat/plat.h"

struct client_rec;

// Counts a connection of the client at addr in and returns its record,
// which stays the client's while any of its connections is open; null when
// every record is held by connected clients.
client_rec* clients_conn_open(const plat_addr& addr);
// Counts the connection out.
void clients_conn_close(client_rec* c);
// The record of the connection this thread serves (null when none), set by
// the connection engine for the life of the connection.
client_rec* clients_current();
void clients_set_current(client_rec* c);
// A call of the client, begun at mono_ms (plat_now_ms).
void clients_note_call(client_rec* c, uint64_t mono_ms);
// A READ of the client: bytes read from the file fileid at export/rel.
void clients_note_read(client_rec* c, uint64_t fileid, const char* export_path, const char* rel, int64_t bytes);

// The mount list. MNT of export_path by the client: added (once per client
// and path). UMNT: that entry removed. UMNTALL: all of the client's.
void clients_mount(const plat_addr& addr, const char* export_path);
void clients_umount(const plat_addr& addr, const char* export_path);
void clients_umount_all(const plat_addr& addr);

struct mount_entry {
  plat_addr addr;
  std::string path;
  int64_t since_unix_ms;
};
// The mount list now, after dropping the entries of clients not heard from
// for a day.
std::vector<mount_entry> clients_mounts();

// The clients and the mount list as JSON members:
// "clients":[{"address":..,"connections":..,"exports":[..],"calls":..,
// "bytes_read":..,"last_call":..,"reading":..},...],"mounts":[{"client":..,
// "export":..,"since":..},...]. Clients without connections are left out.
std::string clients_status_json();
