// Listing snapshots and kept enumerations belong to one folder: two folders
// of one export with the same file number (as on two file systems the
// export spans) never share them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plat/plat.h"
#include "proto/dircache.h"
#include "tests/support/fixture.h"

namespace {

TEST(Dircache, FoldersWithTheSameFileNumberKeepTheirOwnListings) {
  temp_dir t;
  t.write("a/only-in-a", "1");
  t.write("b/only-in-b", "2");
  export_rec e{};
  e.local = std::make_shared<const std::string>(canonical_path(t.path));
  e.fsid = 5;
  // Both folders described with one file number.
  plat_statbuf st{};
  st.is_dir = 1;
  st.fileid = 7;
  const unsigned char now[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  dir_snapshot a;
  dircache_start(e, "a", st, now, &a);
  ASSERT_TRUE(a.names != nullptr);
  ASSERT_EQ(a.names->count(), 1u);
  EXPECT_STREQ(a.names->name(0), "only-in-a");

  // The second folder resumed with the first one's verifier: its own names.
  dir_snapshot b;
  ASSERT_EQ(dircache_resume(e, "b", st, now, a.verf, &b), 0);
  ASSERT_TRUE(b.names != nullptr);
  ASSERT_EQ(b.names->count(), 1u);
  EXPECT_STREQ(b.names->name(0), "only-in-b");

  // And its enumeration is its own, not the one kept for the first folder.
  plat_dir* d = dircache_cursor_take(e, "b", st, a.verf);
  ASSERT_TRUE(d != nullptr);
  const char* first = plat_readdir(d);
  ASSERT_TRUE(first != nullptr);
  EXPECT_STREQ(first, "only-in-b");
  plat_closedir(d);
  dircache_clear();
}

TEST(Dircache, AFolderOnAnotherFileSystemKeepsItsOwnListing) {
  temp_dir t;
  t.write("a/first", "1");
  export_rec e{};
  e.local = std::make_shared<const std::string>(canonical_path(t.path));
  e.fsid = 5;
  plat_statbuf st{};
  st.is_dir = 1;
  st.fileid = 7;
  st.dev = 1;
  const unsigned char now[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  dir_snapshot kept;
  dircache_start(e, "a", st, now, &kept);
  ASSERT_TRUE(kept.names != nullptr);
  t.write("a/second", "2");
  // The same folder goes on on its snapshot; a folder at the same place with
  // the same file number on another file system (one mounted there since)
  // is listed afresh.
  dir_snapshot same;
  ASSERT_EQ(dircache_resume(e, "a", st, now, kept.verf, &same), 0);
  EXPECT_EQ(same.names->count(), 1u);
  plat_statbuf other = st;
  other.dev = 2;
  dir_snapshot mounted;
  ASSERT_EQ(dircache_resume(e, "a", other, now, kept.verf, &mounted), 0);
  EXPECT_EQ(mounted.names->count(), 2u);
  dircache_clear();
}

}  // namespace
