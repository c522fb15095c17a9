// The fattr3 encoder: the seconds and nanoseconds of the modification time,
// before and after 1970, with and without a fraction of a second.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "proto/nfs.h"
#include "util/xdr.h"

namespace {

constexpr size_t kFattr3 = 84;
constexpr size_t kMtime = 68;  // mtime.seconds, then mtime.nseconds

}  // namespace

TEST(Fattr3, ModificationTimeIsFloorDividedIntoSecondsAndNanoseconds) {
  struct row {
    const char* what;
    int64_t mtime;
    int64_t mtime_ns;
    uint32_t seconds;
    uint32_t nseconds;
  };
  const row rows[] = {
      {"2024-01-01 00:00:00.7", 1704067200, 1704067200700000000LL, 1704067200u, 700000000u},
      {"1970-01-01 00:00:00.5", 0, 500000000LL, 0u, 500000000u},
      {"1969-12-31 23:59:59.5", -1, -500000000LL, 0xFFFFFFFFu, 500000000u},
      {"1969-12-31 23:59:59.000000001", -1, -999999999LL, 0xFFFFFFFFu, 1u},
      {"1969-12-31 23:59:59.999999999", -1, -1LL, 0xFFFFFFFFu, 999999999u},
      {"1969-12-31 23:59:59", -1, -1000000000LL, 0xFFFFFFFFu, 0u},
      {"1969-12-31 23:59:58.25", -2, -1750000000LL, 0xFFFFFFFEu, 250000000u},
      {"1901-12-13 20:45:52.1", -2147483648LL, -2147483647900000000LL, 0x80000000u, 100000000u},
      {"no nanoseconds: whole seconds", 1234, 0, 1234u, 0u},
      {"no nanoseconds, before 1970", -5, 0, 0xFFFFFFFBu, 0u},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    plat_statbuf st;
    memset(&st, 0, sizeof st);
    st.is_reg = 1;
    st.mtime = r.mtime;
    st.mtime_ns = r.mtime_ns;
    sbuf_owner o;
    xdr_enc e{&o.b};
    put_fattr3(&e, &st, nullptr);
    ASSERT_EQ(e.err, 0);
    ASSERT_EQ(o.b.len, kFattr3);
    EXPECT_EQ(be32_get(o.b.data + kMtime), r.seconds);
    EXPECT_EQ(be32_get(o.b.data + kMtime + 4), r.nseconds);
  }
}
