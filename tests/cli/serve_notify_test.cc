// serve and the service manager: with $NOTIFY_SOCKET set (as systemd sets
// it for Type=notify), READY=1 with the listening line once every listener
// is bound, the reason of a start that failed, and STOPPING=1 at the end.
#include <gtest/gtest.h>

#include <cerrno>
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
  EXPECT_EQ(run_program({"serve", "--bind", "0.0.0.0"}).code, 1);
  EXPECT_EQ(m.receive(),
            "STATUS=start: bind_ip must be an IPv4 literal of one interface (D8); '0.0.0.0' is not the address of "
            "one interface (not 0.0.0.0, a broadcast or a multicast address): give one of this machine's own "
            "addresses");
#endif
}
