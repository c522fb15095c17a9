// What several files of the Windows platform layer share: the system
// headers as they are set up here, socket handles, UTF-8/UTF-16
// conversion, the error left for a refusal, descriptions of files and
// folders, and the walk beneath a root that opens each name inside the
// folder held before it. Included before any other system header.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "plat/plat.h"

namespace plat_win32 {

// The error left for a refusal decided here (not a plain folder or file, a
// name the system would read otherwise): not a transient failure.
constexpr DWORD kRefused = ERROR_ACCESS_DENIED;

inline SOCKET sock_of(plat_sock s) { return static_cast<SOCKET>(s); }

// ---- UTF-8 and UTF-16 (unicode.cc) ------------------------------------------

// UTF-8 to a new UTF-16 string (free with free), or null. Malformed input
// turns into replacement characters rather than failing.
wchar_t* wide(const char* s);
// UTF-16 to a new UTF-8 string (free with free), or null.
char* narrow(const wchar_t* w);

// ---- Error words (error.cc) ---------------------------------------------------

// Puts the system's words for a Windows or Windows Sockets error number,
// then the number, into out: "Access is denied. (error 5)"; just
// "(error N)" when the system has no words for it.
void error_text(unsigned long code, char* out, size_t outlen);

// Puts "WHAT: WORDS (error N)" for the error code into err; returns -1.
int fail_with(const char* what, unsigned long code, char* err, size_t errlen);

// Frees a converted string when the scope ends.
struct wstr {
  wchar_t* p;
  explicit wstr(const char* s) : p(wide(s)) {}
  ~wstr() { free(p); }
  wstr(const wstr&) = delete;
  wstr& operator=(const wstr&) = delete;
};

// ---- Descriptions, names and walks (fs.cc) ----------------------------------

// What a description is made of, from an open handle or from an enumeration.
struct file_desc {
  DWORD attrs;      // the described object's attributes (folder bit)
  DWORD own_attrs;  // the path's own attributes (link and read-only bits)
  uint64_t size, fileid;
  uint32_t nlink;
  uint64_t written, accessed, created;  // file times
  bool delete_pending = false;          // deleted, gone once its last handle closes
};

// attrs with the reparse-point bit cleared unless the reparse point, of
// that tag, is a link (plat_reparse_tag_is_link): the bit then means a link.
DWORD link_bit_only(DWORD attrs, DWORD tag);
// The path's own attributes (GetFileAttributesW, INVALID_FILE_ATTRIBUTES
// on failure), the reparse-point bit only for a link; the tag is read by
// a look at the name in its folder only when the bit is set.
DWORD path_attributes(const wchar_t* w);

// Fills the status record from a description.
void fill_stat(plat_statbuf* st, const file_desc& f);

// Describes an open object from its basic, standard and internal (file
// number) information: what GetFileInformationByHandle reads, without the
// volume's serial number, which Wine takes a millisecond to find. False on
// failure.
bool describe(HANDLE h, file_desc* d);

// A name that the system would read as something other than one plain
// entry of the folder: a separator or drive/stream colon inside it, a
// wildcard, a control character, a trailing dot or space (which the system
// strips, so "a." would name "a"), or a device name.
bool unsafe_component(const char* s, size_t n);

// Joins a folder and a name with one backslash ("" stays the name alone).
char* join_path(const char* dir, const char* name, size_t name_len);

// The present full path of an open object, links resolved, as a new
// UTF-16 string (free with free) in the form paths are given in: without
// the "\\?\" prefix, and \\?\UNC\server\share as \\server\share.
// Null on failure.
wchar_t* final_path(HANDLE h);

// What a walk beneath a root opens a name for: a folder on the way (which
// needs only traverse rights, so that a folder that may be traversed but
// not listed hides nothing below it), a folder to list, anything to
// describe (also when what is described is kept held after: attribute
// rights only, so that looking at a file never opens its data, which can
// set off a virus scan or the download of a file kept online only), or a
// file to read.
// kLook: a folder on the way that is also kept to ask for the next name in
// it (traverse and list rights; held folders prove where they lie so).
enum open_for { kTraverse, kList, kDescribe, kRead, kLook };

// Opens `name` (n bytes of UTF-8) inside the folder `parent`, or the path
// `w` itself when parent is null (the root of a walk), without following a
// final reparse point. Everything is opened with full sharing, so nobody
// is kept from renaming or deleting what a call holds; a name is opened
// relative to its parent's handle, so it is looked up in that very folder
// even when the folder has been renamed since or its old path now leads
// elsewhere. Invalid handle on failure, with the thread's last error set.
HANDLE open_held(HANDLE parent, const char* name, size_t n, const wchar_t* w, open_for p);

// The folders held open along a walk beneath a root, with the file number
// of each; all closed at the end. listed[i] says whether h[i] may be asked
// for the names in it (opened for kLook, not refused that).
struct held_walk {
  static constexpr int kMax = 512;
  HANDLE h[kMax];
  uint64_t id[kMax];
  bool listed[kMax];
  int n = 0;
  HANDLE top() const { return n > 0 ? h[n - 1] : nullptr; }
  ~held_walk() {
    for (int i = 0; i < n; i++) {
      if (h[i] != INVALID_HANDLE_VALUE) CloseHandle(h[i]);  // one taken over is left invalid
    }
  }
};

// Opens with open_held and reads the object's information. The
// reparse-point bit is taken from the opened object and from the path's
// own attributes (`w` is the full path): some systems open the target of a
// link even when asked for the link itself, and then only the path's
// attributes tell. Invalid handle on failure.
HANDLE open_and_describe(HANDLE parent, const char* name, size_t n, const wchar_t* w, open_for p, file_desc* fd);

// Holds the folder `name` of the walk's last held folder (or the path
// itself when nothing is held yet) open after checking that it is a folder
// on disk and not a reparse point. `path` is its full path. False when it
// is not.
bool hold_plain_dir(const char* name, size_t n, const char* path, open_for p, held_walk* hw);

// Walks rel ("/" separators) beneath root one component at a time: the
// root and every component but the last must be plain folders (no reparse
// point) and stay held open in *hw, each opened inside the one before it
// for `way` (kTraverse, or kLook; a folder that may be traversed but not
// listed is then opened for traverse only).
// Returns the full path of the last component (the root itself when rel is
// empty, and the folder when rel ends in "/"), a new string, and points
// *last at that component in rel ("" when the held folder on top is the
// object itself: that one is opened for `end_dir`, every other for
// traverse only). Null when the walk is refused.
char* walk_beneath(const char* root, const char* rel, held_walk* hw, open_for end_dir, const char** last,
                   open_for way = kTraverse);
// A new handle on the folder open as dir, for asking it for names (list
// rights), counted as an open. Null on failure.
HANDLE reopen_to_list(HANDLE dir);

// ---- Files (fs.cc) -----------------------------------------------------------

// Keeps an open handle only when it is a file on disk (not a device, pipe or
// folder) and, when `refuse_link` is set, neither the opened object nor the
// path `w` is a reparse point; false (handle closed) otherwise.
bool plain_file(HANDLE h, bool refuse_link, const wchar_t* w);

// Reads up to len bytes at off from h (a file open for reading), as
// plat_fread_at does: the count, 0 at or past the end, -1 on failure.
int64_t read_at(HANDLE h, uint64_t off, void* dst, uint64_t len);

}  // namespace plat_win32

namespace plat_win32 {

// A new socket of the family, type and protocol that child processes do
// not inherit (net.cc).
SOCKET new_socket(int family, int type, int protocol);

// Calls fn for every unicast address of every interface that is up: the
// address, its on-link prefix length, whether the interface is a loopback
// one, and user (addr.cc).
void each_up_address(void (*fn)(const sockaddr*, int, bool, void*), void* user);

}  // namespace plat_win32
