// The describing helper: a run gives each name's description as the folder
// enumeration would, names gone as gone, whether the helper or the caller
// read it; a run ended half-way leaves the enumeration to its owner; the
// helper ends on stop and starts again on the next run.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "plat/plat.h"
#include "proto/dir_describe.h"
#include "tests/support/fixture.h"

namespace {

// The names of a folder in enumeration order, and the enumeration.
std::shared_ptr<dir_names> names_of(plat_dir* d) {
  auto n = std::make_shared<dir_names>();
  for (const char* s; (s = plat_readdir(d)) != nullptr;) {
    n->start.push_back(static_cast<uint32_t>(n->blob.size()));
    n->blob.append(s, strlen(s) + 1);
  }
  return n;
}

struct folder {
  temp_dir t;
  plat_dir* d = nullptr;
  std::shared_ptr<dir_names> names;
  explicit folder(int count) {
    // Sizes differ per file, so that a description given for the wrong
    // name shows.
    for (int i = 0; i < count; i++) t.write("f/n-" + std::to_string(i), std::string(static_cast<size_t>(i), 'x'));
    d = plat_opendir(t.at("f").c_str());
    if (d != nullptr) names = names_of(d);
  }
  ~folder() { plat_closedir(d); }
};

// A run over names [from, to) of the folder; the helper may still be
// leaving an earlier test's run, so a few tries over at most a few seconds.
dir_run* start_run(const folder& f, uint64_t from, uint64_t to) {
  dir_run* r = nullptr;
  for (int i = 0; i < 1000 && r == nullptr; i++) {
    r = dir_run_start(f.d, f.names, from, to);
    if (r == nullptr) plat_sleep_ms(1);
  }
  return r;
}

TEST(DirDescribe, ARunDescribesEveryNameAsTheEnumerationDoes) {
  if (!plat_dir_stat_parallel()) {
    folder f(40);
    ASSERT_TRUE(f.d != nullptr);
    EXPECT_EQ(dir_run_start(f.d, f.names, 0, f.names->count()), nullptr);
    GTEST_SKIP() << "descriptions through one enumeration are read one at a time here";
  }
  // Cases: taken in order right away (the caller races the helper), taken
  // after the helper had time for all of them, and a run over a middle part.
  struct run_case {
    const char* what;
    uint64_t from, to;
    bool late;
  } cases[] = {{"in order at once", 0, 200, false}, {"after a pause", 0, 200, true}, {"a middle part", 50, 90, false}};
  for (const run_case& c : cases) {
    SCOPED_TRACE(c.what);
    folder f(200);
    ASSERT_TRUE(f.d != nullptr);
    ASSERT_EQ(f.names->count(), 200u);
    // One name gone after the names were taken: read as gone.
    const uint64_t gone = c.from + 7;
    ASSERT_EQ(std::remove(f.t.at(std::string("f/") + f.names->name(gone)).c_str()), 0);
    dir_run* r = start_run(f, c.from, c.to);
    ASSERT_TRUE(r != nullptr);
    if (c.late) plat_sleep_ms(50);
    plat_statbuf st;
    EXPECT_EQ(dir_run_get(r, c.to, &st), -1);  // past the run
    if (c.from > 0) {
      EXPECT_EQ(dir_run_get(r, c.from - 1, &st), -1);
    }
    for (uint64_t p = c.from; p < c.to; p++) {
      const int got = dir_run_get(r, p, &st);
      if (p == gone) {
        EXPECT_EQ(got, 0) << f.names->name(p);
        continue;
      }
      plat_statbuf want;
      ASSERT_EQ(plat_dir_stat(f.d, f.names->name(p), &want), 0);
      ASSERT_EQ(got, 1) << f.names->name(p);
      EXPECT_EQ(st.fileid, want.fileid) << f.names->name(p);
      EXPECT_EQ(st.size, want.size) << f.names->name(p);
    }
    dir_run_end(r);
  }
}

TEST(DirDescribe, ARunEndedHalfWayLeavesTheEnumerationToItsOwner) {
  if (!plat_dir_stat_parallel()) GTEST_SKIP() << "no runs here";
  for (int round = 0; round < 20; round++) {
    folder f(300);
    ASSERT_TRUE(f.d != nullptr);
    dir_run* r = start_run(f, 0, f.names->count());
    ASSERT_TRUE(r != nullptr);
    plat_statbuf st;
    EXPECT_EQ(dir_run_get(r, 3, &st), 1);
    // Ended, then the enumeration closed by ~folder at once (under the
    // address sanitizer a use after that would show).
    dir_run_end(r);
  }
  dir_run_end(nullptr);
}

TEST(DirDescribe, TheHelperEndsOnStopAndStartsOnTheNextRun) {
  if (!plat_dir_stat_parallel()) GTEST_SKIP() << "no helper here";
  folder f(40);
  ASSERT_TRUE(f.d != nullptr);
  dir_run* r = start_run(f, 0, f.names->count());
  ASSERT_TRUE(r != nullptr);
  EXPECT_EQ(dir_describe_running(), 1);
  // A stop while a run is out waits for the helper to leave it; the run
  // still gives every name.
  dir_describe_stop();
  EXPECT_EQ(dir_describe_running(), 0);
  plat_statbuf st;
  for (uint64_t p = 0; p < f.names->count(); p++) EXPECT_EQ(dir_run_get(r, p, &st), 1) << p;
  dir_run_end(r);
  const uint64_t before = dir_describe_run_count();
  r = dir_run_start(f.d, f.names, 0, f.names->count());
  ASSERT_TRUE(r != nullptr);
  EXPECT_EQ(dir_describe_running(), 1);
  EXPECT_EQ(dir_describe_run_count(), before + 1);
  dir_run_end(r);
  dir_describe_stop();
  dir_describe_stop();  // a second stop does nothing
  EXPECT_EQ(dir_describe_running(), 0);
}

}  // namespace
