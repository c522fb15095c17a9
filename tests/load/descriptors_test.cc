// The server out of descriptors, by fault injection: the serve command runs
// as a child process whose descriptor limit the test lowers (prlimit) to
// the lowest number it has free, so that every open fails with EMFILE.
// Calls on an established connection must answer NFS3ERR_JUKEBOX (try
// again later), never NOENT or IO for files that exist, and the listener,
// whose accept fails while a connection waits, must not spin.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fh/hold.h"
#include "tests/support/child.h"
#include "tests/e2e/nfs_client.h"
#include "tests/load/load_support.h"
#include "tests/support/fixture.h"

namespace {

using namespace wire;

// The lowest descriptor number the process does not use; -1 when its
// descriptors cannot be listed.
int lowest_free_fd(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  std::set<int> used;
  for (int i = 0; i < 100000; i++) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (e->d_name[0] != '.') used.insert(atoi(e->d_name));
  }
  closedir(d);
  int n = 0;
  while (used.count(n) != 0) n++;
  return n;
}

// User and system CPU time of the process so far, in clock ticks; -1 when
// it cannot be read.
long cpu_ticks(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return -1;
  char buf[1024];
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  // The fields after the command name (which may hold spaces) in ")".
  const char* p = strrchr(buf, ')');
  if (p == nullptr) return -1;
  unsigned long utime = 0, stime = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return -1;
  return static_cast<long>(utime + stime);
}

bytes readdir_call_args(const bytes& fh) {
  bytes a = readdir_args(fh, 0, bytes(8, 0));
  put32(&a, 4096);
  return a;
}

}  // namespace

TEST(Descriptors, OutOfDescriptorsCallsAnswerJukeboxAndTheListenerWaits) {
  temp_dir d;
  d.write("e/f.txt", "file content");
  d.write("e/sub/g.txt", "g");
  const int nfs = free_port();
  const int mnt_port = free_port();
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(nfs), "--mount-port",
                       std::to_string(mnt_port), "--export", "/e=" + d.at("e")}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line));
  ASSERT_EQ(line.rfind("listening 127.0.0.1 nfs=" + std::to_string(nfs), 0), 0u) << line;
  ASSERT_TRUE(p.read_line(&line));  // the export's line

  // Handles, while descriptors are to be had.
  rpc_conn c;
  ASSERT_TRUE(c.open(nfs));
  const mnt_result m = mnt(c, "/e");
  ASSERT_EQ(m.status, 0u);
  const bytes root = m.fh;
  const bytes file = lookup(c, root, "f.txt").fh;
  const bytes sub = lookup(c, root, "sub").fh;
  ASSERT_EQ(file.size(), 32u);
  ASSERT_EQ(sub.size(), 32u);
  ASSERT_EQ(read(c, file, 0, 100).count, 12u);
  // What the server keeps open from these calls (served from, the calls
  // below would need no new descriptor) is closed by its age first.
  plat_sleep_ms(static_cast<int>(HOLD_AGE_MS) + 800);

  struct rlimit saved;
  ASSERT_EQ(prlimit(p.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
  const int lowest = lowest_free_fd(p.pid());
  ASSERT_GT(lowest, 0);
  struct rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(prlimit(p.pid(), RLIMIT_NOFILE, &none, nullptr), 0);

  struct call {
    const char* what;
    uint32_t proc;
    bytes args;
  };
  bytes read_args = opaque_arg(file);
  put64(&read_args, 0);
  put32(&read_args, 100);
  bytes lookup_args = opaque_arg(root);
  put_string(&lookup_args, "f.txt");
  const call calls[] = {
      {"GETATTR of the file", NFS_GETATTR, opaque_arg(file)},
      {"GETATTR of the root", NFS_GETATTR, opaque_arg(root)},
      {"READ", NFS_READ, read_args},
      {"LOOKUP", NFS_LOOKUP, lookup_args},
      {"ACCESS", NFS_ACCESS, [&] {
         bytes a = opaque_arg(file);
         put32(&a, 1);
         return a;
       }()},
      {"READDIR", NFS_READDIR, readdir_call_args(sub)},
  };
  for (const call& k : calls) {
    SCOPED_TRACE(k.what);
    const bytes r = nfs_call(c, k.proc, k.args);
    ASSERT_GE(r.size(), kReplyBody + 4);
    EXPECT_EQ(status_of(r), NFS3ERR_JUKEBOX);
    EXPECT_TRUE(parse_failure(r, k.proc).well_formed);
  }

  // A newcomer waits in the listen queue while accept fails; the listener
  // pauses between tries instead of spinning on the readable socket.
  rpc_conn waiting;
  ASSERT_TRUE(waiting.open(nfs));
  ASSERT_TRUE(waiting.send_raw(with_mark(rpc_call_record(7, kNfsProg, NFS_V3, NFSPROC3_NULL, {}))));
  plat_sleep_ms(300);  // accept has failed a few times by now
  const long ticks0 = cpu_ticks(p.pid());
  const uint64_t t0 = plat_now_ms();
  plat_sleep_ms(1000);
  const long ticks1 = cpu_ticks(p.pid());
  const uint64_t elapsed_ms = plat_now_ms() - t0;
  ASSERT_GE(ticks0, 0);
  ASSERT_GE(ticks1, 0);
  // A spinning listener takes a whole core: one tick per tick of the clock.
  // Waiting, it takes next to nothing; a fifth is far from either.
  const long elapsed_ticks = static_cast<long>(elapsed_ms) * sysconf(_SC_CLK_TCK) / 1000;
  EXPECT_LT(ticks1 - ticks0, elapsed_ticks / 5) << "the server used " << (ticks1 - ticks0) << " of "
                                               << elapsed_ticks << " clock ticks";

  // Descriptors back: the waiting connection is taken in and answered, and
  // the calls succeed again.
  ASSERT_EQ(prlimit(p.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
  bytes reply;
  EXPECT_TRUE(waiting.recv_record(&reply, 5000));
  EXPECT_EQ(getattr(c, file).status, 0u);
  EXPECT_EQ(read(c, file, 0, 100).count, 12u);

  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(10000), 0);
}
