// The status channel of serve: a thread of its own answers "status" on the
// local channel (plat/local_channel.h) with the status JSON that the
// console's status shows, so that the settings page can show who is
// connected. It reads what the server keeps anyway (the client records and
// counters): nothing is added to an NFS call, and a slow or silent reader
// is dropped after its time, never holding anything of the server. The
// recent event lines (refusals with their reasons among them) come with it,
// kept from the library's log callback.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "cli/cli.h"
#include "plat/plat.h"
#include "vorlix.h"

namespace {

// The longest request read, and the time one client may take.
constexpr size_t kMaxRequest = 256;
constexpr int kClientWaitMs = 2000;
// The recent event lines kept, and the longest part of a line kept.
constexpr size_t kEventsKept = 50;
constexpr size_t kEventLineMax = 1024;

struct channel_run {
  plat_channel* channel = nullptr;
  plat_thread thread{};
  volatile bool stop = false;
};
channel_run g_channel;

// The recent event lines, oldest first, and the callback they go on to.
struct recent_events {
  plat_mutex lock;
  std::deque<std::string> lines;
  void (*forward)(int, const char*, void*) = nullptr;
  recent_events() { plat_mutex_init(&lock); }
};
recent_events& events() {
  static recent_events e;
  return e;
}

void keep_event(int level, const char* line, void* user) {
  recent_events& e = events();
  plat_lock(&e.lock);
  e.lines.emplace_back(line, strnlen(line, kEventLineMax));
  if (e.lines.size() > kEventsKept) e.lines.pop_front();
  plat_unlock(&e.lock);
  if (e.forward != nullptr) e.forward(level, line, user);
}

// The status JSON with the recent event lines as its member "events".
std::string status_with_events() {
  std::string json = vorlix_status_json();
  if (json.empty() || json.back() != '}') return json;
  std::string list;
  recent_events& e = events();
  plat_lock(&e.lock);
  for (const std::string& l : e.lines) list += (list.empty() ? "" : ",") + json_quote(l);
  plat_unlock(&e.lock);
  json.pop_back();
  return json + ",\"events\":[" + list + "]}";
}

char* answer(const char* request, size_t n, void*, size_t* len) {
  const std::string req(request, n);
  const std::string reply =
      req == "status" ? status_with_events() + "\n" : "unknown request; ask: status\n";
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
  vorlix_set_log_callback(keep_event, nullptr);
  if (plat_thread_start(&g_channel.thread, channel_thread, nullptr) != 0) {
    plat_channel_close(g_channel.channel);
    g_channel.channel = nullptr;
    vorlix_set_log_callback(events().forward, nullptr);
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
  vorlix_set_log_callback(events().forward, nullptr);
}

void status_channel_forward_log(void (*fn)(int level, const char* line, void* user)) { events().forward = fn; }

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
