// Throughput and rate measurements of a running server through libnfs's
// asynchronous interface, the local limits they are compared with, and the
// fixture they read. Every figure goes out as one line:
//   RESULT name=NAME value=V unit=U seconds=S [key=value...]
// which scripts/bench gathers into its table. All traffic goes to 127.0.0.1.
//
//   nfs_bench mkfixture --out DIR [--big-mib N] [--par-mib N] [--par-count N]
//                       [--small-count N] [--lists 1000,10000,...]
//   nfs_bench freeports                        two free TCP ports on 127.0.0.1
//   nfs_bench WORKLOAD --nfs-port N --mount-port M [--export /bench] [options]
//     seqread   --file /big.bin [--inflight K]         1 MiB READs, K in flight
//     parallel  --file /par/p%u.bin [--conns 8] [--inflight K]
//     openstat  --dir /small --count N [--inflight K]  open + stat by name
//     smallread --dir /small --count N [--inflight K]  open + 4 KiB read + close
//     listing   --dir /list1000 [--maxcount B] [--dircount B] [--expect N]
//     listing-libnfs --dir /list1000 [--expect N]      nfs_opendir + nfs_readdir
//     mountonly                                        mount, then nothing
//   nfs_bench pagecache --path FILE                    local pread, 1 MiB each
//   nfs_bench tcp --streams N --mib-per-stream M       loopback, 1 MiB writes
//   nfs_bench rtt [--count N]                          1-byte ping-pong
//   nfs_bench localopen --path DIR --count N           open + fstat + close
//   nfs_bench localdir --path DIR                      readdir + fstatat
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs.h>
}

namespace {

constexpr uint32_t kMiB = 1048576;
constexpr uint32_t kSmallSize = 4096;
// No single measured run may take longer than this unless --timeout says so.
constexpr double kDefaultTimeout = 300.0;
constexpr int kPollMs = 100;

// libnfs hands out the handle of an open file only as a pointer to its own
// record: a length followed by the handle's bytes.
struct libnfs_fh {
  int len;
  char* val;
};

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const char* fmt, const char* a = "", const char* b = "") {
  fprintf(stderr, "nfs_bench: ");
  fprintf(stderr, fmt, a, b);
  fprintf(stderr, "\n");
  exit(1);
}

struct options {
  std::string cmd;
  int nfs_port = 0;
  int mount_port = 0;
  std::string exp = "/bench";
  std::string file;
  std::string dir;
  std::string path;
  std::string out;
  int inflight = 1;
  int conns = 8;
  long count = 0;
  long expect = -1;
  uint32_t maxcount = 32768;
  uint32_t dircount = 0;  // 0: maxcount / 8, as the Linux client encodes it
  int streams = 1;
  long mib_per_stream = 1024;
  double timeout = kDefaultTimeout;
  long big_mib = 1024;
  long par_mib = 256;
  int par_count = 8;
  long small_count = 10000;
  std::string lists = "1000,10000,100000";
};

long to_long(const char* s) {
  char* end = nullptr;
  const long v = strtol(s, &end, 10);
  if (end == s || *end != 0) die("not a number: %s", s);
  return v;
}

options parse(int argc, char** argv) {
  if (argc < 2) die("usage: nfs_bench COMMAND [options] (see the head of nfs_bench.cc)");
  options o;
  o.cmd = argv[1];
  for (int i = 2; i < argc; i++) {
    const std::string k = argv[i];
    if (i + 1 >= argc) die("missing value for %s", k.c_str());
    const char* v = argv[++i];
    if (k == "--nfs-port") o.nfs_port = static_cast<int>(to_long(v));
    else if (k == "--mount-port") o.mount_port = static_cast<int>(to_long(v));
    else if (k == "--export") o.exp = v;
    else if (k == "--file") o.file = v;
    else if (k == "--dir") o.dir = v;
    else if (k == "--path") o.path = v;
    else if (k == "--out") o.out = v;
    else if (k == "--inflight") o.inflight = static_cast<int>(to_long(v));
    else if (k == "--conns") o.conns = static_cast<int>(to_long(v));
    else if (k == "--count") o.count = to_long(v);
    else if (k == "--expect") o.expect = to_long(v);
    else if (k == "--maxcount") o.maxcount = static_cast<uint32_t>(to_long(v));
    else if (k == "--dircount") o.dircount = static_cast<uint32_t>(to_long(v));
    else if (k == "--streams") o.streams = static_cast<int>(to_long(v));
    else if (k == "--mib-per-stream") o.mib_per_stream = to_long(v);
    else if (k == "--timeout") o.timeout = static_cast<double>(to_long(v));
    else if (k == "--big-mib") o.big_mib = to_long(v);
    else if (k == "--par-mib") o.par_mib = to_long(v);
    else if (k == "--par-count") o.par_count = static_cast<int>(to_long(v));
    else if (k == "--small-count") o.small_count = to_long(v);
    else if (k == "--lists") o.lists = v;
    else die("unknown option %s", k.c_str());
  }
  if (o.inflight < 1 || o.inflight > 64) die("--inflight must be 1..64");
  if (o.conns < 1 || o.conns > 64) die("--conns must be 1..64");
  if (o.streams < 1 || o.streams > 64) die("--streams must be 1..64");
  if (o.dircount == 0) o.dircount = o.maxcount / 8;
  return o;
}

void result(const char* name, double value, const char* unit, double seconds, const std::string& extra = "") {
  printf("RESULT name=%s value=%.6g unit=%s seconds=%.6f%s%s\n", name, value, unit, seconds,
         extra.empty() ? "" : " ", extra.c_str());
  fflush(stdout);
}

// ---------------------------------------------------------------- fixture

// Deterministic bytes: splitmix64 seeded by the file's name.
struct byte_gen {
  uint64_t s;
  explicit byte_gen(const std::string& name) : s(1469598103934665603ull) {
    for (unsigned char c : name) s = (s ^ c) * 1099511628211ull;
  }
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void fill(unsigned char* p, size_t n) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
      const uint64_t v = next();
      memcpy(p + i, &v, 8);
    }
  }
};

void write_file(const std::string& path, const std::string& seed_name, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("create %s: %s", path.c_str(), strerror(errno));
  byte_gen g(seed_name);
  std::vector<unsigned char> buf(kMiB);
  uint64_t done = 0;
  while (done < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kMiB, size - done));
    g.fill(buf.data(), buf.size());
    size_t off = 0;
    while (off < n) {
      const ssize_t w = write(fd, buf.data() + off, n - off);
      if (w <= 0) die("write %s: %s", path.c_str(), strerror(errno));
      off += static_cast<size_t>(w);
    }
    done += n;
  }
  if (close(fd) != 0) die("close %s: %s", path.c_str(), strerror(errno));
}

void make_dir(const std::string& p) {
  if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir %s: %s", p.c_str(), strerror(errno));
}

std::string small_name(long i) {
  char b[32];
  snprintf(b, sizeof b, "s%05ld.bin", i);
  return b;
}

std::string entry_name(long i) {
  char b[32];
  snprintf(b, sizeof b, "entry-%07ld.dat", i);
  return b;
}

std::vector<long> list_sizes(const std::string& s) {
  std::vector<long> v;
  size_t at = 0;
  while (at < s.size()) {
    size_t comma = s.find(',', at);
    if (comma == std::string::npos) comma = s.size();
    if (comma > at) v.push_back(to_long(s.substr(at, comma - at).c_str()));
    at = comma + 1;
  }
  return v;
}

// Layout: big.bin, par/p0.bin.., small/s00000.bin.. (4 KiB each),
// listN/entry-0000000.dat.. (empty), and a stamp written last.
int cmd_mkfixture(const options& o) {
  if (o.out.empty()) die("mkfixture needs --out DIR");
  const double t0 = now_s();
  make_dir(o.out);
  write_file(o.out + "/big.bin", "big.bin", static_cast<uint64_t>(o.big_mib) * kMiB);
  make_dir(o.out + "/par");
  for (int i = 0; i < o.par_count; i++) {
    char b[32];
    snprintf(b, sizeof b, "p%d.bin", i);
    const std::string n = b;
    write_file(o.out + "/par/" + n, n, static_cast<uint64_t>(o.par_mib) * kMiB);
  }
  make_dir(o.out + "/small");
  for (long i = 0; i < o.small_count; i++) {
    write_file(o.out + "/small/" + small_name(i), small_name(i), kSmallSize);
  }
  for (long n : list_sizes(o.lists)) {
    const std::string d = o.out + "/list" + std::to_string(n);
    make_dir(d);
    for (long i = 0; i < n; i++) {
      const std::string p = d + "/" + entry_name(i);
      const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) die("create %s: %s", p.c_str(), strerror(errno));
      close(fd);
    }
  }
  printf("fixture written in %.1f s\n", now_s() - t0);
  return 0;
}

// ---------------------------------------------------------------- local limits

int cmd_freeports() {
  int socks[2];
  for (int& s : socks) {
    s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("bind: %s", strerror(errno));
  }
  for (int s : socks) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    printf("%u ", ntohs(a.sin_port));
  }
  printf("\n");
  for (int s : socks) close(s);
  return 0;
}

int cmd_pagecache(const options& o) {
  const int fd = open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open %s: %s", o.path.c_str(), strerror(errno));
  std::vector<unsigned char> buf(kMiB);
  uint64_t total = 0;
  const double t0 = now_s();
  for (;;) {
    const ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(total));
    if (n < 0) die("pread: %s", strerror(errno));
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (now_s() - t0 > o.timeout) die("pagecache: timed out");
  }
  const double dt = now_s() - t0;
  close(fd);
  result("pagecache", static_cast<double>(total) / dt / 1e6, "MB/s", dt, "bytes=" + std::to_string(total));
  return 0;
}

int listen_loopback(int backlog, int* port) {
  const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, backlog) != 0) {
    die("listen: %s", strerror(errno));
  }
  socklen_t l = sizeof a;
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &l);
  *port = ntohs(a.sin_port);
  return ls;
}

int connect_loopback(int port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("connect: %s", strerror(errno));
  return s;
}

void set_timeouts(int s, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// N streams, each writing its bytes in 1 MiB writes to a reader that reads
// into a 1 MiB buffer; the figure is all bytes over the time until the last
// reader saw the end.
int cmd_tcp(const options& o) {
  int port = 0;
  const int ls = listen_loopback(o.streams, &port);
  const uint64_t per = static_cast<uint64_t>(o.mib_per_stream) * kMiB;
  std::atomic<int> go{0};
  std::atomic<uint64_t> received{0};
  std::vector<std::thread> writers;
  std::vector<std::thread> readers;
  for (int i = 0; i < o.streams; i++) {
    writers.emplace_back([&] {
      const int s = connect_loopback(port);
      set_timeouts(s, 30);
      std::vector<unsigned char> buf(kMiB, 0x5a);
      while (go.load() == 0) std::this_thread::yield();
      uint64_t sent = 0;
      while (sent < per) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kMiB, per - sent));
        size_t off = 0;
        while (off < n) {
          const ssize_t w = send(s, buf.data() + off, n - off, MSG_NOSIGNAL);
          if (w <= 0) die("tcp send: %s", strerror(errno));
          off += static_cast<size_t>(w);
        }
        sent += n;
      }
      close(s);
    });
  }
  for (int i = 0; i < o.streams; i++) {
    const int c = accept(ls, nullptr, nullptr);
    if (c < 0) die("accept: %s", strerror(errno));
    set_timeouts(c, 30);
    readers.emplace_back([c, &received] {
      std::vector<unsigned char> buf(kMiB);
      for (;;) {
        const ssize_t r = recv(c, buf.data(), buf.size(), 0);
        if (r < 0) die("tcp recv: %s", strerror(errno));
        if (r == 0) break;
        received += static_cast<uint64_t>(r);
      }
      close(c);
    });
  }
  const double t0 = now_s();
  go.store(1);
  for (std::thread& t : readers) t.join();
  const double dt = now_s() - t0;
  for (std::thread& t : writers) t.join();
  close(ls);
  char name[32];
  snprintf(name, sizeof name, "tcp%d", o.streams);
  result(name, static_cast<double>(received.load()) / dt / 1e6, "MB/s", dt,
         "bytes=" + std::to_string(received.load()) + " streams=" + std::to_string(o.streams));
  return 0;
}

// One byte there and back on one connection with Nagle off, as often as it
// goes: the rate that bounds a client making one call at a time.
int cmd_rtt(const options& o) {
  const long count = o.count > 0 ? o.count : 100000;
  int port = 0;
  const int ls = listen_loopback(1, &port);
  std::thread echo([ls] {
    const int c = accept(ls, nullptr, nullptr);
    if (c < 0) die("accept: %s", strerror(errno));
    set_timeouts(c, 30);
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char b;
    while (recv(c, &b, 1, 0) == 1) {
      if (send(c, &b, 1, MSG_NOSIGNAL) != 1) break;
    }
    close(c);
  });
  const int s = connect_loopback(port);
  set_timeouts(s, 30);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char b = 'x';
  long done = 0;
  const double t0 = now_s();
  for (; done < count; done++) {
    if (send(s, &b, 1, MSG_NOSIGNAL) != 1 || recv(s, &b, 1, 0) != 1) die("rtt: %s", strerror(errno));
    if ((done & 1023) == 0 && now_s() - t0 > o.timeout) break;
  }
  const double dt = now_s() - t0;
  close(s);
  echo.join();
  close(ls);
  result("rtt", static_cast<double>(done) / dt, "rt/s", dt, "count=" + std::to_string(done));
  return 0;
}

int cmd_localopen(const options& o) {
  const double t0 = now_s();
  for (long i = 0; i < o.count; i++) {
    const std::string p = o.path + "/" + small_name(i);
    const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) die("open %s: %s", p.c_str(), strerror(errno));
    close(fd);
  }
  const double dt = now_s() - t0;
  result("localopen", static_cast<double>(o.count) / dt, "files/s", dt, "count=" + std::to_string(o.count));
  return 0;
}

int cmd_localdir(const options& o) {
  const double t0 = now_s();
  DIR* d = opendir(o.path.c_str());
  if (d == nullptr) die("opendir %s: %s", o.path.c_str(), strerror(errno));
  long n = 0;
  for (dirent* e; (e = readdir(d)) != nullptr;) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) die("fstatat: %s", strerror(errno));
    n++;
  }
  closedir(d);
  const double dt = now_s() - t0;
  result("localdir", static_cast<double>(n) / dt, "entries/s", dt, "entries=" + std::to_string(n));
  return 0;
}

// ---------------------------------------------------------------- the event loop

struct client {
  nfs_context* nfs = nullptr;
  bool failed = false;
  std::string error;
};

// Serves every context until done() holds, a callback failed, or the
// deadline passed; false on failure or time-out.
bool run_until(std::vector<client*>& cs, const std::function<bool()>& done, double deadline) {
  std::vector<pollfd> pfd(cs.size());
  while (!done()) {
    for (client* c : cs) {
      if (c->failed) return false;
    }
    if (now_s() > deadline) {
      fprintf(stderr, "nfs_bench: timed out\n");
      return false;
    }
    for (size_t i = 0; i < cs.size(); i++) {
      pfd[i].fd = nfs_get_fd(cs[i]->nfs);
      pfd[i].events = static_cast<short>(nfs_which_events(cs[i]->nfs));
      pfd[i].revents = 0;
    }
    const int r = poll(pfd.data(), pfd.size(), kPollMs);
    if (r < 0 && errno != EINTR) return false;
    for (size_t i = 0; i < cs.size(); i++) {
      if (r > 0 && pfd[i].revents == 0) continue;
      if (nfs_service(cs[i]->nfs, pfd[i].revents) < 0) {
        cs[i]->failed = true;
        cs[i]->error = nfs_get_error(cs[i]->nfs);
      }
    }
  }
  for (client* c : cs) {
    if (c->failed) return false;
  }
  return true;
}

bool run_one(client* c, const std::function<bool()>& done, double deadline) {
  std::vector<client*> cs{c};
  return run_until(cs, done, deadline);
}

void fail_with(client* c, int err, void* data, const char* what) {
  c->failed = true;
  c->error = std::string(what) + ": " + std::to_string(err) + " " + (data ? static_cast<const char*>(data) : "");
}

struct mount_wait {
  client* c;
  bool done = false;
};

void connect_client(client* c, const options& o, double deadline) {
  if (o.nfs_port <= 0 || o.mount_port <= 0) die("give --nfs-port and --mount-port");
  c->nfs = nfs_init_context();
  if (c->nfs == nullptr) die("nfs_init_context failed");
  nfs_set_autoreconnect(c->nfs, 0);
  const std::string url = "nfs://127.0.0.1" + o.exp + "?version=3&nfsport=" + std::to_string(o.nfs_port) +
                          "&mountport=" + std::to_string(o.mount_port);
  nfs_url* u = nfs_parse_url_dir(c->nfs, url.c_str());
  if (u == nullptr) die("url: %s", nfs_get_error(c->nfs));
  mount_wait w{c};
  const int rc = nfs_mount_async(
      c->nfs, u->server, u->path,
      [](int err, nfs_context*, void* data, void* p) {
        auto* mw = static_cast<mount_wait*>(p);
        if (err != 0) fail_with(mw->c, err, data, "mount");
        mw->done = true;
      },
      &w);
  nfs_destroy_url(u);
  if (rc != 0) die("nfs_mount_async: %s", nfs_get_error(c->nfs));
  if (!run_one(c, [&] { return w.done; }, deadline)) die("mount: %s", c->error.c_str());
}

// Opens a file or folder by name (LOOKUPs and ACCESS, untimed by callers).
nfsfh* open_path(client* c, const std::string& path, double deadline) {
  struct wait {
    client* c;
    nfsfh* fh = nullptr;
    bool done = false;
  } w{c};
  if (nfs_open_async(
          c->nfs, path.c_str(), O_RDONLY,
          [](int err, nfs_context*, void* data, void* p) {
            auto* ww = static_cast<wait*>(p);
            if (err != 0) fail_with(ww->c, err, data, "open");
            else ww->fh = static_cast<nfsfh*>(data);
            ww->done = true;
          },
          &w) != 0) {
    die("nfs_open_async: %s", nfs_get_error(c->nfs));
  }
  if (!run_one(c, [&] { return w.done; }, deadline)) die("open %s: %s", path.c_str(), c->error.c_str());
  return w.fh;
}

nfs_fh3 raw_handle(nfsfh* fh) {
  auto* h = reinterpret_cast<libnfs_fh*>(nfs_get_fh(fh));
  if (h == nullptr || h->len <= 0 || h->len > 64) die("unexpected file handle record");
  nfs_fh3 f;
  f.data.data_len = static_cast<u_int>(h->len);
  f.data.data_val = h->val;
  return f;
}

// ---------------------------------------------------------------- READ streams

// One file read from start to end with K READs of 1 MiB in flight on one
// connection.
struct read_stream {
  client* c = nullptr;
  nfs_fh3 fh{};
  uint64_t size = 0;
  uint64_t next_off = 0;
  uint64_t received = 0;
  int in_flight = 0;
  long calls = 0;
  bool finished() const { return next_off >= size && in_flight == 0; }
};

void issue_read(read_stream* s);

void on_read(rpc_context*, int status, void* data, void* p) {
  auto* s = static_cast<read_stream*>(p);
  s->in_flight--;
  auto* res = static_cast<READ3res*>(data);
  if (status != RPC_STATUS_SUCCESS || res == nullptr || res->status != NFS3_OK) {
    s->c->failed = true;
    s->c->error = "READ failed, rpc status " + std::to_string(status) +
                  (res ? " nfs status " + std::to_string(res->status) : std::string());
    return;
  }
  s->received += res->READ3res_u.resok.count;
  issue_read(s);
}

void issue_read(read_stream* s) {
  if (s->next_off >= s->size) return;
  READ3args a;
  memset(&a, 0, sizeof a);
  a.file = s->fh;
  a.offset = s->next_off;
  a.count = static_cast<count3>(std::min<uint64_t>(kMiB, s->size - s->next_off));
  if (rpc_nfs3_read_async(nfs_get_rpc_context(s->c->nfs), on_read, &a, s) != 0) {
    s->c->failed = true;
    s->c->error = "rpc_nfs3_read_async refused";
    return;
  }
  s->next_off += a.count;
  s->in_flight++;
  s->calls++;
}

uint64_t stat_size(client* c, const std::string& path, double deadline) {
  struct wait {
    client* c;
    uint64_t size = 0;
    bool done = false;
  } w{c};
  if (nfs_stat64_async(
          c->nfs, path.c_str(),
          [](int err, nfs_context*, void* data, void* p) {
            auto* ww = static_cast<wait*>(p);
            if (err != 0) fail_with(ww->c, err, data, "stat");
            else ww->size = static_cast<nfs_stat_64*>(data)->nfs_size;
            ww->done = true;
          },
          &w) != 0) {
    die("nfs_stat64_async: %s", nfs_get_error(c->nfs));
  }
  if (!run_one(c, [&] { return w.done; }, deadline)) die("stat %s: %s", path.c_str(), c->error.c_str());
  return w.size;
}

std::string file_for(const std::string& pattern, int i) {
  const size_t at = pattern.find("%u");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + std::to_string(i) + pattern.substr(at + 2);
}

// seqread (one connection) and parallel (N connections, file i on
// connection i); the figure is all bytes over the time from the first READ
// to the last reply.
int cmd_reads(const options& o, bool parallel) {
  const double deadline = now_s() + o.timeout;
  const int n = parallel ? o.conns : 1;
  std::vector<client> clients(static_cast<size_t>(n));
  std::vector<read_stream> streams(static_cast<size_t>(n));
  std::vector<client*> cs;
  for (int i = 0; i < n; i++) {
    client* c = &clients[static_cast<size_t>(i)];
    connect_client(c, o, deadline);
    const std::string path = parallel ? file_for(o.file, i) : o.file;
    read_stream& s = streams[static_cast<size_t>(i)];
    s.c = c;
    s.size = stat_size(c, path, deadline);
    s.fh = raw_handle(open_path(c, path, deadline));
    cs.push_back(c);
  }
  const double t0 = now_s();
  for (read_stream& s : streams) {
    for (int k = 0; k < o.inflight; k++) issue_read(&s);
  }
  const bool ok = run_until(
      cs,
      [&] {
        for (const read_stream& s : streams) {
          if (!s.finished()) return false;
        }
        return true;
      },
      deadline);
  const double dt = now_s() - t0;
  if (!ok) {
    for (client& c : clients) {
      if (c.failed) die("read: %s", c.error.c_str());
    }
    die("read: no result");
  }
  uint64_t bytes = 0;
  uint64_t want = 0;
  long calls = 0;
  for (const read_stream& s : streams) {
    bytes += s.received;
    want += s.size;
    calls += s.calls;
  }
  if (bytes != want) die("read: short data");
  char name[64];
  if (parallel) {
    snprintf(name, sizeof name, "parallel%d_if%d", n, o.inflight);
  } else {
    snprintf(name, sizeof name, "seqread_if%d", o.inflight);
  }
  result(name, static_cast<double>(bytes) / dt / 1e6, "MB/s", dt,
         "bytes=" + std::to_string(bytes) + " reads=" + std::to_string(calls) + " conns=" + std::to_string(n));
  for (client& c : clients) nfs_destroy_context(c.nfs);
  return 0;
}

// ---------------------------------------------------------------- per-file chains

// openstat: open by name, stat by name, close. smallread: open by name, read
// the 4 KiB, close. K chains run at once on one connection, each taking the
// next file when it finished its last.
struct file_run {
  client* c = nullptr;
  bool read = false;
  long count = 0;
  long next = 0;
  long finished = 0;
  uint64_t bytes = 0;
  std::string prefix;
};

struct chain {
  file_run* run = nullptr;
  long index = -1;
  std::string name;
  nfsfh* fh = nullptr;
};

void chain_start(chain* ch);

void chain_closed(int err, nfs_context*, void* data, void* p) {
  auto* ch = static_cast<chain*>(p);
  if (err != 0) return fail_with(ch->run->c, err, data, "close");
  ch->run->finished++;
  chain_start(ch);
}

void chain_close(chain* ch) {
  nfsfh* fh = ch->fh;
  ch->fh = nullptr;
  if (nfs_close_async(ch->run->c->nfs, fh, chain_closed, ch) != 0) fail_with(ch->run->c, -1, nullptr, "close");
}

void chain_read(int err, nfs_context*, void* data, void* p) {
  auto* ch = static_cast<chain*>(p);
  if (err != static_cast<int>(kSmallSize)) return fail_with(ch->run->c, err, err < 0 ? data : nullptr, "pread");
  ch->run->bytes += static_cast<uint64_t>(err);
  chain_close(ch);
}

void chain_stat(int err, nfs_context*, void* data, void* p) {
  auto* ch = static_cast<chain*>(p);
  if (err != 0) return fail_with(ch->run->c, err, data, "stat");
  if (static_cast<nfs_stat_64*>(data)->nfs_size != kSmallSize) return fail_with(ch->run->c, -1, nullptr, "size");
  chain_close(ch);
}

void chain_opened(int err, nfs_context* nfs, void* data, void* p) {
  auto* ch = static_cast<chain*>(p);
  if (err != 0) return fail_with(ch->run->c, err, data, "open");
  ch->fh = static_cast<nfsfh*>(data);
  const int rc = ch->run->read ? nfs_pread_async(nfs, ch->fh, 0, kSmallSize, chain_read, ch)
                               : nfs_stat64_async(nfs, ch->name.c_str(), chain_stat, ch);
  if (rc != 0) fail_with(ch->run->c, rc, nullptr, ch->run->read ? "pread" : "stat");
}

void chain_start(chain* ch) {
  file_run* r = ch->run;
  if (r->next >= r->count) return;
  ch->index = r->next++;
  ch->name = r->prefix + small_name(ch->index);
  if (nfs_open_async(r->c->nfs, ch->name.c_str(), O_RDONLY, chain_opened, ch) != 0) {
    fail_with(r->c, -1, nullptr, "open");
  }
}

int cmd_files(const options& o, bool read) {
  if (o.dir.empty() || o.count <= 0) die("give --dir and --count");
  const double deadline = now_s() + o.timeout;
  client c;
  connect_client(&c, o, deadline);
  file_run run;
  run.c = &c;
  run.read = read;
  run.count = o.count;
  // libnfs resolves every name from the export root (a current folder set
  // with nfs_chdir only prefixes the name), so the full path is given.
  run.prefix = o.dir + "/";
  std::vector<chain> chains(static_cast<size_t>(o.inflight));
  const double t0 = now_s();
  for (chain& ch : chains) {
    ch.run = &run;
    chain_start(&ch);
  }
  if (!run_one(&c, [&] { return run.finished >= run.count; }, deadline)) die("%s: %s", o.cmd.c_str(), c.error.c_str());
  const double dt = now_s() - t0;
  char name[64];
  snprintf(name, sizeof name, "%s_if%d", read ? "smallread" : "openstat", o.inflight);
  std::string extra = "files=" + std::to_string(run.count);
  if (read) {
    char mb[64];
    snprintf(mb, sizeof mb, " MBps=%.3f", static_cast<double>(run.bytes) / dt / 1e6);
    extra += mb;
  }
  result(name, static_cast<double>(run.count) / dt, "files/s", dt, extra);
  nfs_destroy_context(c.nfs);
  return 0;
}

// ---------------------------------------------------------------- listings

struct listing {
  client* c = nullptr;
  nfs_fh3 dir{};
  uint32_t dircount = 0;
  uint32_t maxcount = 0;
  uint64_t cookie = 0;
  cookieverf3 verf{};
  long entries = 0;
  long calls = 0;
  bool eof = false;
};

void issue_rdp(listing* l);

void on_rdp(rpc_context*, int status, void* data, void* p) {
  auto* l = static_cast<listing*>(p);
  auto* res = static_cast<READDIRPLUS3res*>(data);
  if (status != RPC_STATUS_SUCCESS || res == nullptr || res->status != NFS3_OK) {
    l->c->failed = true;
    l->c->error = "READDIRPLUS failed, rpc status " + std::to_string(status) +
                  (res ? " nfs status " + std::to_string(res->status) : std::string());
    return;
  }
  const READDIRPLUS3resok& ok = res->READDIRPLUS3res_u.resok;
  bool any = false;
  for (const entryplus3* e = ok.reply.entries; e != nullptr; e = e->nextentry) {
    any = true;
    l->cookie = e->cookie;
    if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0) continue;
    l->entries++;
  }
  memcpy(l->verf, ok.cookieverf, sizeof l->verf);
  if (ok.reply.eof) {
    l->eof = true;
    return;
  }
  if (!any) {
    l->c->failed = true;
    l->c->error = "READDIRPLUS returned no entry and no eof";
    return;
  }
  issue_rdp(l);
}

void issue_rdp(listing* l) {
  READDIRPLUS3args a;
  memset(&a, 0, sizeof a);
  a.dir = l->dir;
  a.cookie = l->cookie;
  memcpy(a.cookieverf, l->verf, sizeof a.cookieverf);
  a.dircount = l->dircount;
  a.maxcount = l->maxcount;
  l->calls++;
  if (rpc_nfs3_readdirplus_async(nfs_get_rpc_context(l->c->nfs), on_rdp, &a, l) != 0) {
    l->c->failed = true;
    l->c->error = "rpc_nfs3_readdirplus_async refused";
  }
}

int cmd_listing(const options& o) {
  if (o.dir.empty()) die("give --dir");
  const double deadline = now_s() + o.timeout;
  client c;
  connect_client(&c, o, deadline);
  listing l;
  l.c = &c;
  l.dir = raw_handle(open_path(&c, o.dir, deadline));
  l.dircount = o.dircount;
  l.maxcount = o.maxcount;
  const double t0 = now_s();
  issue_rdp(&l);
  if (!run_one(&c, [&] { return l.eof; }, deadline)) die("listing: %s", c.error.c_str());
  const double dt = now_s() - t0;
  if (o.expect >= 0 && l.entries != o.expect) {
    die("listing: entry count differs (%s, expected %s)", std::to_string(l.entries).c_str(),
        std::to_string(o.expect).c_str());
  }
  result("listing", static_cast<double>(l.entries) / dt, "entries/s", dt,
         "entries=" + std::to_string(l.entries) + " calls=" + std::to_string(l.calls) +
             " maxcount=" + std::to_string(o.maxcount) + " dircount=" + std::to_string(o.dircount));
  nfs_destroy_context(c.nfs);
  return 0;
}

// The same through nfs_opendir, with whatever sizes libnfs asks for.
int cmd_listing_libnfs(const options& o) {
  if (o.dir.empty()) die("give --dir");
  const double deadline = now_s() + o.timeout;
  client c;
  connect_client(&c, o, deadline);
  nfs_set_dircache(c.nfs, 0);
  struct wait {
    client* c;
    nfsdir* d = nullptr;
    bool done = false;
  } w{&c};
  const double t0 = now_s();
  if (nfs_opendir_async(
          c.nfs, o.dir.c_str(),
          [](int err, nfs_context*, void* data, void* p) {
            auto* ww = static_cast<wait*>(p);
            if (err != 0) fail_with(ww->c, err, data, "opendir");
            else ww->d = static_cast<nfsdir*>(data);
            ww->done = true;
          },
          &w) != 0 ||
      !run_one(&c, [&] { return w.done; }, deadline)) {
    die("opendir %s: %s", o.dir.c_str(), c.error.c_str());
  }
  long n = 0;
  for (nfsdirent* e; (e = nfs_readdir(c.nfs, w.d)) != nullptr;) {
    if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0) continue;
    n++;
  }
  const double dt = now_s() - t0;
  nfs_closedir(c.nfs, w.d);
  if (o.expect >= 0 && n != o.expect) die("listing: entry count differs");
  result("listing_libnfs", static_cast<double>(n) / dt, "entries/s", dt, "entries=" + std::to_string(n));
  nfs_destroy_context(c.nfs);
  return 0;
}

int cmd_mountonly(const options& o) {
  client c;
  connect_client(&c, o, now_s() + o.timeout);
  nfs_destroy_context(c.nfs);
  printf("mounted\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse(argc, argv);
  if (o.cmd == "mkfixture") return cmd_mkfixture(o);
  if (o.cmd == "freeports") return cmd_freeports();
  if (o.cmd == "pagecache") return cmd_pagecache(o);
  if (o.cmd == "tcp") return cmd_tcp(o);
  if (o.cmd == "rtt") return cmd_rtt(o);
  if (o.cmd == "localopen") return cmd_localopen(o);
  if (o.cmd == "localdir") return cmd_localdir(o);
  if (o.cmd == "seqread") return cmd_reads(o, false);
  if (o.cmd == "parallel") return cmd_reads(o, true);
  if (o.cmd == "openstat") return cmd_files(o, false);
  if (o.cmd == "smallread") return cmd_files(o, true);
  if (o.cmd == "listing") return cmd_listing(o);
  if (o.cmd == "listing-libnfs") return cmd_listing_libnfs(o);
  if (o.cmd == "mountonly") return cmd_mountonly(o);
  die("unknown command %s", o.cmd.c_str());
}
