// The folder tree and exports shared by the fuzz targets, the seed writer and
// the replay program: a temporary folder with files, folders and links,
// exported as a folder ("/data"), a single file ("/one") and a folder that
// admits another network only ("/lan"). The handle secret is fixed and the
// exports are added first thing in the process, so a handle (and so every
// seed that carries one) is the same in every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t FUZZ_CLIENT = 0x7F000001u;        // 127.0.0.1, admitted by /data and /one
constexpr uint32_t FUZZ_OTHER_CLIENT = 0x0A010203u;  // 10.1.2.3, admitted by /lan only
constexpr const char* FUZZ_SECRET = "fuzz";

// Makes the temporary tree once per process (it is removed at exit) and
// returns its root, or "" when it could not be made.
const std::string& fuzz_tree_root();
// Makes the tree, fixes the secret and adds the three exports, once per
// process; every path of the tree is then in the handle map. False on failure.
bool fuzz_exports_ready();
// The 32-byte handle of rel inside an export, or "" when there is none.
std::string fuzz_handle(const char* export_path, const char* rel);
// Removes every live export (the console target starts each input afresh).
void fuzz_remove_all_exports();

// Paths of the tree relative to the export /data, for seeds and set-up.
constexpr const char* FUZZ_DATA_PATHS[] = {
    "",          "hello.txt", "big.bin",    "empty.txt",    "sub",   "sub/inner.txt",
    "sub/deep",  "sub/deep/leaf.txt",       "nothing",      "link",  "dirlink",
    "outside",   "dangling",  "fifo",
};
