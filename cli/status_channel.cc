// The status channel of serve: a thread of its own answers "status" on the
// local channel (plat/local_channel.h) with the status JSON that the
// console's status shows, so that the settings page can show who is
// connected. It reads what the server keeps anyway (the client records and
// counters): nothing is added to an NFS call, and a slow or silent reader
// is dropped after its time, never holding anything of the server.
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

// The longest request read, and the time one client may take.
constexpr size_t kMaxRequest = 256;
constexpr int kClientWaitMs = 2000;

struct channel_run {
  plat_channel* channel = nullptr;
  plat_thread thread{};
  volatile bool stop = false;
};
channel_run g_channel;

char* answer(const char* request, size_t n, void*, size_t* len) {
  const std::string req(request, n);
  const std::string reply =
      req == "status" ? std::string(vorlix_status_json()) + "\n" : "unknown request; ask: status\n";
  char* out = static_cast<char*>(malloc(reply.size()));
  if (out == nullptr) return nullptr;
  memcpy(out, reply.data(), reply.size());
  *len = reply.size();
  return out;
}

void channel_thread(void*) {
  while (!g_channel.stop) {
    if (plat_channel_answer_one(g_channel.channel, kClientWaitMs, kMaxRequest, answer, nullptr) < 0) {
      plat_sleep_ms(200);
    }
  }
}

}  // namespace

int status_channel_start(const std::string& name, std::string* why) {
  char err[512];
  g_channel.channel = plat_channel_listen(name.c_str(), err, sizeof err);
  if (g_channel.channel == nullptr) {
    *why = err;
    return -1;
  }
  g_channel.stop = false;
  if (plat_thread_start(&g_channel.thread, channel_thread, nullptr) != 0) {
    plat_channel_close(g_channel.channel);
    g_channel.channel = nullptr;
    *why = "no thread could be started for it";
    return -1;
  }
  return 0;
}

void status_channel_stop() {
  if (g_channel.channel == nullptr) return;
  g_channel.stop = true;
  plat_thread_join(g_channel.thread);
  plat_channel_close(g_channel.channel);
  g_channel.channel = nullptr;
}

int status_channel_ask(const std::string& name, std::string* reply, std::string* why) {
  char err[512];
  char* got = nullptr;
  size_t len = 0;
  // The status of many clients is still far below this.
  constexpr size_t kMaxReply = 4 * 1024 * 1024;
  if (plat_channel_ask(name.c_str(), "status", kMaxReply, kClientWaitMs * 2, &got, &len, err, sizeof err) != 0) {
    *why = err;
    return -1;
  }
  reply->assign(got, len);
  free(got);
  return 0;
}
