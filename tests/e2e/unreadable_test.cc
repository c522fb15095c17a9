// What the server's own account cannot read: the server runs as an
// unprivileged user (nobody), and folders and files of an export that this
// user may not read are refused as such, never listed as empty or promised
// readable. Linux only: it needs root to start the server as another user.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

#include "nfs_client.h"
#include "tests/support/child.h"

using namespace wire;

#ifndef _WIN32
namespace {

// The rights ACCESS grants for the handle, asked for all of them.
[[maybe_unused]] uint32_t access_granted(rpc_conn& c, const bytes& fh) {
  bytes args = opaque_arg(fh);
  put32(&args, 0x3F);
  const bytes raw = nfs_call(c, NFS_ACCESS, args);
  reply_reader r(raw, kReplyBody);
  if (r.u32() != 0) return 0xFFFFFFFF;
  (void)read_post_op_attr(&r);
  return r.u32();
}

}  // namespace
#endif

TEST(Unreadable, RefusedAsSuchForTheServersOwnAccount) {
#ifdef _WIN32
  GTEST_SKIP() << "runs the server as another user with setpriv";
#else
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the server as another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
  temp_dir t;
  ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
  t.write("e/open.txt", "open");
  t.write("e/secret.txt", "secret");
  t.write("e/locked/inside.txt", "inside");
  t.mkdir("closed");
  ASSERT_EQ(chmod(t.at("e/secret.txt").c_str(), 0600), 0);
  ASSERT_EQ(chmod(t.at("e/locked").c_str(), 0700), 0);
  ASSERT_EQ(chmod(t.at("closed").c_str(), 0700), 0);

  const int nfs = free_port();
  const int mnt_port = free_port();
  child_options as_nobody;
  as_nobody.program = "/usr/bin/setpriv";
  child_process p;
  ASSERT_TRUE(p.start({"--reuid=65534", "--regid=65534", "--clear-groups", VORLIX_EXE, "serve", "--bind", "127.0.0.1",
                       "--nfs-port", std::to_string(nfs), "--mount-port", std::to_string(mnt_port), "--export",
                       "/e=" + t.at("e"), "--export", "/closed=" + t.at("closed")},
                      as_nobody));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  ASSERT_EQ(line.substr(0, 10), "listening ");
  // One warning, for the export whose root the server cannot read.
  EXPECT_EQ(without_log(p.errors()), "warning: /closed: " + canonical_path(t.at("closed")) +
                            " cannot be read by this server's account; clients will be refused (NFS3ERR_ACCES) "
                            "until it can\n");

  rpc_conn m, c;
  ASSERT_TRUE(m.open(mnt_port));
  ASSERT_TRUE(c.open(nfs));
  const mnt_result e = mnt(m, "/e");
  ASSERT_EQ(e.status, 0u);
  const bytes open_txt = lookup(c, e.fh, "open.txt").fh;
  const bytes secret_txt = lookup(c, e.fh, "secret.txt").fh;
  const bytes locked = lookup(c, e.fh, "locked").fh;
  ASSERT_EQ(secret_txt.size(), 32u);
  ASSERT_EQ(locked.size(), 32u);

  // What it can read is served as ever.
  EXPECT_EQ(read(c, open_txt, 0, 100).status, 0u);
  const readdir_result listed = readdirplus(c, e.fh, 0, {}, 4096, 8192);
  EXPECT_EQ(listed.status, 0u);
  EXPECT_NE(listed.find("locked"), nullptr);
  EXPECT_EQ(access_granted(c, open_txt), 0x23u);
  EXPECT_EQ(access_granted(c, e.fh), 0x23u);

  // What it cannot read is refused as such, and not promised.
  EXPECT_EQ(read(c, secret_txt, 0, 100).status, 13u);
  EXPECT_EQ(access_granted(c, secret_txt), 0x02u);  // only LOOKUP, which needs no reading
  EXPECT_EQ(readdirplus(c, locked, 0, {}, 4096, 8192).status, 13u);
  EXPECT_EQ(readdir(c, locked, 0, {}, 8192).status, 13u);
  EXPECT_EQ(access_granted(c, locked), 0u);
  const mnt_result closed = mnt(m, "/closed");
  ASSERT_EQ(closed.status, 0u);
  EXPECT_EQ(readdirplus(c, closed.fh, 0, {}, 4096, 8192).status, 13u);

  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
#endif
}
