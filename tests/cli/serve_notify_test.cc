// serve and the service manager: with $NOTIFY_SOCKET set (as systemd sets
// it for Type=notify), READY=1 with the listening line once every listener
// is bound, the reason of a start that failed, RELOADING=1 and READY=1
// around a reload, and STOPPING=1 at the end.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "tests/support/child.h"
#include "tests/support/fixture.h"
#include "tests/support/manager_socket.h"

TEST(ServeNotify, ReadyWithTheListeningLineThenStopping) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no notification socket; the service manager learns the state from the service command";
#else
  temp_dir t;
  manager_socket m(t.at("notify"));
  ASSERT_GE(m.fd, 0) << strerror(errno);
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--bind", "127.0.0.1", "--nfs-port", std::to_string(free_port()), "--mount-port",
                       std::to_string(free_port())}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(m.receive(), "READY=1\nSTATUS=" + line);
  ASSERT_TRUE(p.write_stdin("quit\n"));
  EXPECT_EQ(m.receive(), "STOPPING=1");
  EXPECT_EQ(p.wait_exit(), 0);
#endif
}

TEST(ServeNotify, AFailedStartReportsItsReason) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no notification socket";
#else
  temp_dir t;
  manager_socket m(t.at("notify"));
  ASSERT_GE(m.fd, 0) << strerror(errno);
  // 192.0.2.1 is set aside for documentation: no machine has it.
  const std::string nfs = std::to_string(free_port());
  EXPECT_EQ(run_program({"serve", "--bind", "192.0.2.1", "--nfs-port", nfs, "--mount-port", std::to_string(free_port())})
                .code,
            1);
  EXPECT_EQ(m.receive(), "STATUS=start: bind nfs " + nfs +
                             " failed (192.0.2.1); 192.0.2.1 is not an address of this machine: give one of its own "
                             "addresses, 0.0.0.0 or :: with --bind");
#endif
}

TEST(ServeNotify, AReloadIsReportedAroundIt) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no notification socket, nor a hang-up signal";
#else
  temp_dir t;
  t.write("serve.conf", "# nothing but the command line's options\n");
  manager_socket m(t.at("notify"));
  ASSERT_GE(m.fd, 0) << strerror(errno);
  child_process p;
  ASSERT_TRUE(p.start({"serve", "--no-console", "--config", t.at("serve.conf"), "--bind", "127.0.0.1", "--nfs-port",
                       std::to_string(free_port()), "--mount-port", std::to_string(free_port())}));
  std::string line;
  ASSERT_TRUE(p.read_line(&line)) << p.errors();
  EXPECT_EQ(m.receive(), "READY=1\nSTATUS=" + line);
  // systemctl reload sends a hang-up (ExecReload=); systemd waits for READY=1.
  ASSERT_TRUE(p.signal_child(SIGHUP));
  EXPECT_EQ(m.receive(), "RELOADING=1");
  EXPECT_EQ(m.receive(), "READY=1");
  ASSERT_TRUE(p.signal_child(SIGTERM));
  EXPECT_EQ(m.receive(), "STOPPING=1");
  EXPECT_EQ(p.wait_exit(), 0);
#endif
}
