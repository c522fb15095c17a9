// The platform layer: the only code that calls the operating system.
// Sockets, polling, threads, locks, clocks, file status, canonical paths,
// directory enumeration and positional reads. Every operation reports failure
// by its result (0/-1 or null) and prints nothing. All operations may be
// called from any thread; a plat_dir or plat_file belongs to its opener.
// Each concern has a header of its own, all included here: addr.h (IP
// addresses of either family, this host's addresses), fs.h (file
// status, paths, enumeration, reads), held.h (folders and files held
// open), logfile.h (the wall clock and appended files), net.h (TCP and
// UDP sockets), thread.h (threads, locks, time, randomness), process.h
// (console and process), service.h (the system service), notify.h
// (reports to the service manager) and desktop.h (what the settings page
// needs: networks, the browser, drives, a file replaced, a reload asked)
// and local_channel.h (the status channel only administrators open). The implementations are in
// plat/posix/ and plat/win32/, one file per concern.
#pragma once

#include "plat/addr.h"
#include "plat/desktop.h"
#include "plat/fs.h"
#include "plat/held.h"
#include "plat/local_channel.h"
#include "plat/logfile.h"
#include "plat/net.h"
#include "plat/notify.h"
#include "plat/process.h"
#include "plat/service.h"
#include "plat/thread.h"
