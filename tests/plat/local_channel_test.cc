// The local channel: one request answered per connection, a second server
// refused while the first listens, a request that is too long given up on,
// and the asker's refusal when nobody listens. POSIX also: the socket 0600
// in a folder made 0700.
#include "plat/plat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// Generous: the answering thread may be slow to run on a loaded machine.
constexpr int kWaitMs = 20000;

char* echo(const char* request, size_t n, void*, size_t* len) {
  const std::string reply = "got " + std::string(request, n) + "\n";
  char* out = static_cast<char*>(malloc(reply.size()));
  memcpy(out, reply.data(), reply.size());
  *len = reply.size();
  return out;
}

std::string channel_name(const temp_dir& t) {
#ifdef _WIN32
  // A pipe name of this test run alone.
  return "vorlix-test-" + t.path.substr(t.path.find_last_of("\\/") + 1);
#else
  return t.at("state/status.sock");
#endif
}

// Answers clients on a thread until told to stop.
struct answering {
  plat_channel* c;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread t;
  explicit answering(plat_channel* ch) : c(ch), t([this] { run(); }) {}
  void run() {
    while (!stop) {
      if (plat_channel_answer_one(c, 200, 64, echo, nullptr) == 1) answered++;
    }
  }
  ~answering() {
    stop = true;
    t.join();
  }
};

TEST(PlatLocalChannel, AnswersOneRequestPerConnection) {
  temp_dir t;
  const std::string name = channel_name(t);
  char err[512] = "";
  plat_channel* c = plat_channel_listen(name.c_str(), err, sizeof err);
  ASSERT_NE(c, nullptr) << err;
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(t.at("state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
  {
    answering a(c);
    for (const char* req : {"status", "second"}) {
      char* reply = nullptr;
      size_t len = 0;
      ASSERT_EQ(plat_channel_ask(name.c_str(), req, 1024, kWaitMs, &reply, &len, err, sizeof err), 0) << err;
      EXPECT_EQ(std::string(reply, len), "got " + std::string(req) + "\n");
      free(reply);
    }
    // A second server is refused while this one listens.
    EXPECT_EQ(plat_channel_listen(name.c_str(), err, sizeof err), nullptr);
    // A request longer than the limit gets no answer.
    char* reply = nullptr;
    size_t len = 0;
    const std::string huge(4096, 'x');
    if (plat_channel_ask(name.c_str(), huge.c_str(), 1024, kWaitMs, &reply, &len, err, sizeof err) == 0) {
      EXPECT_EQ(len, 0u);
      free(reply);
    }
  }
  plat_channel_close(c);
  char* reply = nullptr;
  size_t len = 0;
  EXPECT_EQ(plat_channel_ask(name.c_str(), "status", 1024, 2000, &reply, &len, err, sizeof err), -1);
  EXPECT_NE(err[0], 0);
}

}  // namespace
