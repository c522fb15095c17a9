// Reports to the service manager: the datagram systemd reads from
// $NOTIFY_SOCKET, at a path and at an abstract name, and the refusals.
#include "plat/plat.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/fixture.h"
#include "tests/support/manager_socket.h"

#ifndef _WIN32
#include <unistd.h>
#endif

TEST(PlatNotify, NothingWithoutAManager) {
#ifdef _WIN32
  _putenv_s("NOTIFY_SOCKET", "");
#else
  unsetenv("NOTIFY_SOCKET");
#endif
  EXPECT_EQ(plat_notify("READY=1"), 0);
}

TEST(PlatNotify, OneDatagramToAPathOrAnAbstractName) {
#ifdef _WIN32
  // Windows has no notification socket: a NOTIFY_SOCKET there is ignored.
  _putenv_s("NOTIFY_SOCKET", "@vorlix-notify-test");
  EXPECT_EQ(plat_notify("READY=1"), 0);
  _putenv_s("NOTIFY_SOCKET", "");
#else
  temp_dir t;
  const std::string names[] = {t.at("notify"), "@vorlix-notify-test-" + std::to_string(getpid())};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    manager_socket m(name);
    ASSERT_GE(m.fd, 0) << strerror(errno);
    const std::string state = "READY=1\nSTATUS=listening 127.0.0.1 nfs=2049";
    EXPECT_EQ(plat_notify(state.c_str()), 1);
    EXPECT_EQ(m.receive(), state);
  }
#endif
}

TEST(PlatNotify, UnusableSocketsFail) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no notification socket";
#else
  temp_dir t;
  const std::string rows[] = {
      "relative/name",              // neither a path nor an abstract name
      "/" + std::string(200, 'x'),  // longer than a socket address holds
      t.at("nobody-listens-here"),  // no socket there
  };
  for (const std::string& name : rows) {
    SCOPED_TRACE(name);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_EQ(plat_notify("READY=1"), -1);
  }
  unsetenv("NOTIFY_SOCKET");
#endif
}
