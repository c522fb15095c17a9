// Writes the seed inputs of every fuzz target: fuzz_seed_writer CORPUS_DIR
// [DICT] makes CORPUS_DIR/<target>/seed-<name> and, when DICT is given, a
// dictionary for the record target that holds the live handles (as XDR
// opaques) and the tree's names, for the fuzzer to splice into records. The
// call records carry live handles of the fuzz tree; with the fixed secret
// and export order they are the same in every run, so the written files do
// not change from run to run.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_tree.h"
#include "proto/protocol.h"
#include "tests/support/rpc_client.h"

namespace {

constexpr uint32_t kPortmap = PROG_PORTMAP;
constexpr uint32_t kNfs = PROG_NFS;
constexpr uint32_t kMount = PROG_MOUNT;
constexpr uint64_t kCookieFirst = 0x100000002ull;

std::string s_dir;
int s_written = 0;
bool s_failed = false;

void put32(std::string* b, uint32_t v) {
  for (int i = 3; i >= 0; i--) b->push_back(static_cast<char>(v >> (8 * i)));
}
void put64(std::string* b, uint64_t v) {
  put32(b, static_cast<uint32_t>(v >> 32));
  put32(b, static_cast<uint32_t>(v));
}
void put_opaque(std::string* b, const std::string& s) {
  put32(b, static_cast<uint32_t>(s.size()));
  *b += s;
  while (b->size() % 4) b->push_back(0);
}

std::string words(std::initializer_list<uint32_t> ws) {
  std::string b;
  for (uint32_t w : ws) put32(&b, w);
  return b;
}

// A call record with AUTH_NONE, or AUTH_SYS for uid 1000 (gid 1000, in
// group 1000) when auth_sys.
std::string call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const std::string& args,
                 bool auth_sys = false) {
  const bytes rec = rpc_call_record({.xid = xid,
                                     .prog = prog,
                                     .vers = vers,
                                     .proc = proc,
                                     .cred_flavor = auth_sys ? 1u : 0u,
                                     .cred = auth_sys ? auth_sys_body(0, "fuzzhost", 1000, 1000, {1000}) : bytes{},
                                     .args = bytes(args.begin(), args.end())});
  return std::string(rec.begin(), rec.end());
}

std::string opaque(const std::string& s) {
  std::string b;
  put_opaque(&b, s);
  return b;
}

void write_seed(const char* target, const std::string& name, const std::string& bytes) {
  const std::string dir = s_dir + "/" + target;
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/seed-" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) s_failed = true;
  if (f != nullptr && fclose(f) != 0) s_failed = true;
  s_written++;
}

void record_seeds() {
  const char* t = "fuzz_record";
  const std::string root = fuzz_handle("/data", "");
  const std::string hello = fuzz_handle("/data", "hello.txt");
  const std::string big = fuzz_handle("/data", "big.bin");
  const std::string sub = fuzz_handle("/data", "sub");
  const std::string link = fuzz_handle("/data", "link");
  const std::string dirlink = fuzz_handle("/data", "dirlink");
  const std::string fifo = fuzz_handle("/data", "fifo");
  const std::string one = fuzz_handle("/one", "");
  const std::string lan = fuzz_handle("/lan", "");
  if (root.empty() || hello.empty() || one.empty() || lan.empty()) {
    s_failed = true;
    return;
  }
  std::string stale = hello;
  stale[31] = static_cast<char>(stale[31] ^ 0x5A);
  const uint32_t other = 0x180;  // xid whose last byte selects the client 10.1.2.3

  // Portmapper.
  write_seed(t, "pmap-null", call(0x100, kPortmap, 2, 0, ""));
  write_seed(t, "pmap-getport-nfs", call(0x102, kPortmap, 2, 3, words({kNfs, 3, 6, 0})));
  write_seed(t, "pmap-getport-mount", call(0x104, kPortmap, 2, 3, words({kMount, 3, 6, 0})));
  write_seed(t, "pmap-getport-udp", call(0x106, kPortmap, 2, 3, words({kNfs, 3, 17, 0})));
  write_seed(t, "pmap-dump", call(0x108, kPortmap, 2, 4, ""));
  write_seed(t, "pmap-badproc", call(0x10a, kPortmap, 2, 9, ""));
  // rpcbind versions 3 and 4.
  std::string rpcb = words({kMount, 3});
  put_opaque(&rpcb, "udp");
  put_opaque(&rpcb, "");
  put_opaque(&rpcb, "");
  write_seed(t, "rpcb-getaddr", call(0x110, kPortmap, 3, 3, rpcb));
  write_seed(t, "rpcb-getversaddr", call(0x112, kPortmap, 4, 9, rpcb));
  write_seed(t, "rpcb-getaddrlist", call(0x114, kPortmap, 4, 11, rpcb));
  write_seed(t, "rpcb-dump", call(0x116, kPortmap, 4, 4, ""));
  write_seed(t, "rpcb-uaddr2taddr", call(0x118, kPortmap, 3, 7, opaque("127.0.0.1.8.1")));
  const std::string taddr("\x02\x00\x08\x01\x7f\x00\x00\x01", 8);
  write_seed(t, "rpcb-taddr2uaddr", call(0x11a, kPortmap, 4, 8, words({16}) + opaque(taddr)));
  // Datagrams (xid bit 0x4000): CALLIT of MOUNT's NULL, as LAN discovery
  // broadcasts it, and INDIRECT.
  const std::string null_call = words({kMount, 3, 0}) + opaque("");
  write_seed(t, "udp-pmap-callit", call(0x4100, kPortmap, 2, 5, null_call));
  write_seed(t, "udp-rpcb-indirect", call(0x4102, kPortmap, 4, 10, null_call));
  write_seed(t, "udp-mnt-export", call(0x4104, kMount, 1, 5, ""));
  write_seed(t, "udp-mnt-data", call(0x4106, kMount, 3, 1, opaque("/data")));

  // MOUNT.
  write_seed(t, "mnt-null", call(0x200, kMount, 3, 0, ""));
  write_seed(t, "mnt-data", call(0x202, kMount, 3, 1, opaque("/data")));
  write_seed(t, "mnt-data-sub", call(0x204, kMount, 3, 1, opaque("//data//sub/")));
  write_seed(t, "mnt-data-deep", call(0x206, kMount, 3, 1, opaque("/data/sub/deep")));
  write_seed(t, "mnt-data-dirlink", call(0x208, kMount, 3, 1, opaque("/data/dirlink")));
  write_seed(t, "mnt-data-file", call(0x20a, kMount, 3, 1, opaque("/data/hello.txt")));
  write_seed(t, "mnt-data-dotdot", call(0x20c, kMount, 3, 1, opaque("/data/../data")));
  write_seed(t, "mnt-one", call(0x20e, kMount, 3, 1, opaque("/one")));
  write_seed(t, "mnt-lan", call(0x210, kMount, 3, 1, opaque("/lan")));
  write_seed(t, "mnt-lan-other", call(other, kMount, 3, 1, opaque("/lan")));
  write_seed(t, "mnt-empty", call(0x212, kMount, 3, 1, opaque("")));
  write_seed(t, "mnt-relative", call(0x214, kMount, 3, 1, opaque("data")));
  write_seed(t, "mnt-missing", call(0x216, kMount, 3, 1, opaque("/nope")));
  write_seed(t, "mnt-toolong", call(0x218, kMount, 3, 1, opaque("/" + std::string(1100, 'a'))));
  write_seed(t, "mnt-dump", call(0x21a, kMount, 3, 2, ""));
  write_seed(t, "mnt-umnt", call(0x21c, kMount, 3, 3, opaque("/data")));
  write_seed(t, "mnt-umntall", call(0x21e, kMount, 3, 4, ""));
  write_seed(t, "mnt-export", call(0x220, kMount, 3, 5, ""));
  write_seed(t, "mnt-export-other", call(other + 2, kMount, 3, 5, ""));
  write_seed(t, "mnt-badproc", call(0x222, kMount, 3, 7, ""));

  // NFS version 3 with live handles.
  write_seed(t, "nfs-null", call(0x300, kNfs, 3, 0, ""));
  write_seed(t, "nfs-getattr-root", call(0x302, kNfs, 3, 1, opaque(root)));
  write_seed(t, "nfs-getattr-one", call(0x304, kNfs, 3, 1, opaque(one)));
  write_seed(t, "nfs-getattr-stale", call(0x306, kNfs, 3, 1, opaque(stale)));
  write_seed(t, "nfs-getattr-short", call(0x308, kNfs, 3, 1, opaque(root.substr(0, 31))));
  write_seed(t, "nfs-getattr-auth-sys", call(0x30a, kNfs, 3, 1, opaque(hello), true));
  write_seed(t, "nfs-lookup-hello", call(0x30c, kNfs, 3, 3, opaque(root) + opaque("hello.txt")));
  write_seed(t, "nfs-lookup-sub", call(0x30e, kNfs, 3, 3, opaque(root) + opaque("sub")));
  write_seed(t, "nfs-lookup-deep", call(0x310, kNfs, 3, 3, opaque(sub) + opaque("deep")));
  write_seed(t, "nfs-lookup-dotdot", call(0x312, kNfs, 3, 3, opaque(sub) + opaque("..")));
  write_seed(t, "nfs-lookup-dot", call(0x314, kNfs, 3, 3, opaque(root) + opaque(".")));
  write_seed(t, "nfs-lookup-empty", call(0x316, kNfs, 3, 3, opaque(root) + opaque("")));
  write_seed(t, "nfs-lookup-missing", call(0x318, kNfs, 3, 3, opaque(root) + opaque("missing")));
  write_seed(t, "nfs-lookup-through-link", call(0x31a, kNfs, 3, 3, opaque(dirlink) + opaque("inner.txt")));
  write_seed(t, "nfs-lookup-slash", call(0x31c, kNfs, 3, 3, opaque(root) + opaque("sub/inner.txt")));
  write_seed(t, "nfs-lookup-one", call(0x31e, kNfs, 3, 3, opaque(one) + opaque("one.txt")));
  write_seed(t, "nfs-lookup-one-other", call(0x320, kNfs, 3, 3, opaque(one) + opaque("other")));
  write_seed(t, "nfs-lookup-long", call(0x322, kNfs, 3, 3, opaque(root) + opaque(std::string(256, 'n'))));
  write_seed(t, "nfs-access-root", call(0x324, kNfs, 3, 4, opaque(root) + words({0x3f})));
  write_seed(t, "nfs-readlink-link", call(0x326, kNfs, 3, 5, opaque(link)));
  write_seed(t, "nfs-readlink-file", call(0x328, kNfs, 3, 5, opaque(hello)));
  std::string args = opaque(hello);
  put64(&args, 0);
  put32(&args, 100);
  write_seed(t, "nfs-read-hello", call(0x32a, kNfs, 3, 6, args));
  args = opaque(big);
  put64(&args, 4096);
  put32(&args, 8192);
  write_seed(t, "nfs-read-big", call(0x32c, kNfs, 3, 6, args));
  args = opaque(one);
  put64(&args, 3);
  put32(&args, 5);
  write_seed(t, "nfs-read-one", call(0x32e, kNfs, 3, 6, args));
  args = opaque(root);
  put64(&args, 0);
  put32(&args, 10);
  write_seed(t, "nfs-read-folder", call(0x330, kNfs, 3, 6, args));
  args = opaque(fifo);
  put64(&args, 0);
  put32(&args, 10);
  write_seed(t, "nfs-read-fifo", call(0x332, kNfs, 3, 6, args));
  args = opaque(hello);
  put64(&args, ~uint64_t{0} - 4);
  put32(&args, 1048577);
  write_seed(t, "nfs-read-too-much", call(0x334, kNfs, 3, 6, args));
  const std::string verf(8, '\0');
  args = opaque(root);
  put64(&args, 0);
  args += verf;
  put32(&args, 4096);
  write_seed(t, "nfs-readdir-root", call(0x336, kNfs, 3, 16, args));
  args = opaque(root);
  put64(&args, 0);
  args += verf;
  put32(&args, 170);
  write_seed(t, "nfs-readdir-small", call(0x338, kNfs, 3, 16, args));
  args = opaque(root);
  put64(&args, kCookieFirst + 1);
  args += verf;
  put32(&args, 4096);
  write_seed(t, "nfs-readdir-cookie", call(0x33a, kNfs, 3, 16, args));
  args = opaque(one);
  put64(&args, 0);
  args += verf;
  put32(&args, 4096);
  write_seed(t, "nfs-readdir-one", call(0x33c, kNfs, 3, 16, args));
  args = opaque(root);
  put64(&args, 0);
  args += verf;
  put32(&args, 1024);
  put32(&args, 8192);
  write_seed(t, "nfs-readdirplus-root", call(0x33e, kNfs, 3, 17, args));
  args = opaque(sub);
  put64(&args, 0);
  args += verf;
  put32(&args, 100);
  put32(&args, 600);
  write_seed(t, "nfs-readdirplus-sub", call(0x340, kNfs, 3, 17, args));
  args = opaque(one);
  put64(&args, 0x100000000ull);
  args += verf;
  put32(&args, 1024);
  put32(&args, 8192);
  write_seed(t, "nfs-readdirplus-one", call(0x342, kNfs, 3, 17, args));
  write_seed(t, "nfs-fsstat-root", call(0x344, kNfs, 3, 18, opaque(root)));
  write_seed(t, "nfs-fsinfo-one", call(0x346, kNfs, 3, 19, opaque(one)));
  write_seed(t, "nfs-pathconf-sub", call(0x348, kNfs, 3, 20, opaque(sub)));
  write_seed(t, "nfs-getattr-lan", call(0x34a, kNfs, 3, 1, opaque(lan)));
  write_seed(t, "nfs-setattr", call(0x34c, kNfs, 3, 2, opaque(hello)));
  write_seed(t, "nfs-rename", call(0x34e, kNfs, 3, 14, opaque(root) + opaque("a") + opaque(root) + opaque("b")));
  write_seed(t, "nfs-commit", call(0x350, kNfs, 3, 21, opaque(hello)));
  write_seed(t, "nfs-badproc", call(0x352, kNfs, 3, 22, ""));

  // Malformed records.
  write_seed(t, "bad-empty", "");
  write_seed(t, "bad-short", words({0x400}));
  write_seed(t, "bad-reply", words({0x402, 1, 0, 0, 0, 0}));
  write_seed(t, "bad-rpcvers", words({0x404, 0, 3, kNfs, 3, 0, 0, 0, 0, 0}));
  write_seed(t, "bad-flavor", words({0x406, 0, 2, kNfs, 3, 0, 6, 0, 0, 0}));
  write_seed(t, "bad-cred-len", words({0x408, 0, 2, kNfs, 3, 0, 1, 401}) + std::string(404, 'c') + words({0, 0}));
  write_seed(t, "bad-no-verifier", words({0x40a, 0, 2, kNfs, 3, 0, 0, 0}));
  write_seed(t, "bad-prog", call(0x40c, 100099, 1, 0, ""));
  write_seed(t, "bad-nfs-vers", call(0x40e, kNfs, 2, 1, opaque(root)));
  write_seed(t, "bad-cut-handle", call(0x410, kNfs, 3, 1, words({32}) + root.substr(0, 10)));
}

// One dictionary entry in libFuzzer's format: every byte escaped.
std::string dict_entry(const std::string& bytes) {
  std::string line = "\"";
  char hex[5];
  for (unsigned char c : bytes) {
    snprintf(hex, sizeof hex, "\\x%02x", c);
    line += hex;
  }
  return line + "\"\n";
}

void write_dict(const char* path) {
  std::string text = "# Live handles of the fuzz tree and its names (made by fuzz_seed_writer).\n";
  for (const char* rel : FUZZ_DATA_PATHS) {
    const std::string fh = fuzz_handle("/data", rel);
    if (fh.empty()) s_failed = true;
    text += dict_entry(opaque(fh));
    if (rel[0] != 0) text += dict_entry(opaque(rel)) + dict_entry(opaque(std::string("/data/") + rel));
  }
  text += dict_entry(opaque(fuzz_handle("/one", ""))) + dict_entry(opaque(fuzz_handle("/lan", "")));
  text += dict_entry(opaque(fuzz_handle("/lan", "lan.txt")));
  for (const char* name : {"/data", "/one", "/lan", "one.txt", "lan.txt", ".", ".."}) text += dict_entry(opaque(name));
  FILE* f = fopen(path, "wb");
  if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size()) s_failed = true;
  if (f != nullptr && fclose(f) != 0) s_failed = true;
}

void xdr_seeds() {
  const char* t = "fuzz_xdr";
  std::string payload;
  put32(&payload, 7);
  put64(&payload, 0x0102030405060708ull);
  put32(&payload, 1);
  put_opaque(&payload, "hello");
  put_opaque(&payload, std::string(12, 'x'));
  put32(&payload, 0xFFFFFFFFu);
  // Operations: u32, u64, bool, opaque(max 8), fixed(12), u32, bool (fails), ok.
  const std::string ops1 = {0, 1, 2, 4, 2, 3, 12, 0, 2, 5};
  write_seed(t, "decode-all", std::string(1, static_cast<char>(ops1.size())) + ops1 + payload);
  // Re-initialisation at an offset, round trips and text appends.
  const std::string ops2 = {6, 4, 7, 20, 8, 30, 7, 0, 8, 0, 0, 1};
  write_seed(t, "init-encode-text", std::string(1, static_cast<char>(ops2.size())) + ops2 + payload);
  std::string ctl = "tab\there \"quoted\" back\\slash\x01\x1f\x7f\xc3\xa9";
  const std::string ops3 = {8, static_cast<char>(ctl.size()), 7, static_cast<char>(ctl.size())};
  write_seed(t, "text-escapes", std::string(1, static_cast<char>(ops3.size())) + ops3 + ctl);
  const std::string ops4 = {4, static_cast<char>(255), static_cast<char>(0x33), static_cast<char>(200), 0, 1};
  write_seed(t, "opaque-too-long", std::string(1, static_cast<char>(ops4.size())) + ops4 + words({0x7FFFFFFF, 1}));
  write_seed(t, "nothing", std::string(1, '\0'));
}

void cidr_seeds() {
  const char* t = "fuzz_cidrs";
  const std::string lo = words({0x7F000001});
  const std::string lan = words({0x0A010203});
  write_seed(t, "loopback", lo + "127.0.0.1");
  write_seed(t, "two-nets", lan + "10.0.0.0/8,192.168.1.0/24");
  write_seed(t, "spaces", lan + " 10.1.2.3 ,\t,, 10.1.2.0/24\t");
  write_seed(t, "any", lan + "0.0.0.0/0");
  write_seed(t, "signs", lo + "+127.-0.0.1");
  write_seed(t, "bad-prefix", lo + "1.2.3.4/33");
  write_seed(t, "bad-three", lo + "1.2.3");
  write_seed(t, "long-item", lo + std::string(130, '1') + ",127.0.0.1");
  std::string many;
  for (int i = 0; i < 34; i++) many += "10.0." + std::to_string(i) + ".0/24,";
  write_seed(t, "many", lan + many);
  write_seed(t, "empty", lo);
}

void clamp_seeds() {
  const char* t = "fuzz_clamp";
  const std::string big = {0x04, 0x00};  // capacity 1025
  const std::string tiny = {0x00, 0x05};  // capacity 6
  write_seed(t, "dots", big + "a/b/../c/./d");
  write_seed(t, "above", big + "/../../x/..");
  write_seed(t, "backslashes", big + "a\\b\\.\\c\\\\");
  write_seed(t, "slashes", big + "//a//b///");
  write_seed(t, "long-name", big + "a/" + std::string(256, 'n'));
  write_seed(t, "tiny", tiny + "abc/def");
  write_seed(t, "tiny-fit", tiny + "abcd");
  write_seed(t, "peak", tiny + "abcdefgh/../x");
  write_seed(t, "empty", big);
}

void console_seeds() {
  const char* t = "fuzz_console";
  write_seed(t, "status", "status\nexports\n");
  write_seed(t, "add-remove", "add /x=lan\nadd /f=one.txt\nexports\nremove /x\nremove /f\nexports\n");
  write_seed(t, "add-twice", "add /y=data\nadd /data=lan\nadd /z=missing\nadd nothing\n");
  write_seed(t, "allow", "allow /data=10.0.0.0/8,127.0.0.1\nexports\nallow /data=bad\nexports\n");
  write_seed(t, "allow-missing", "allow /nope=1.2.3.4\nallow x\nremove /nope\n");
  write_seed(t, "quit", "  \r\n\nquit \r\nstatus\n");
  write_seed(t, "bad-paths", "add /a/../b=lan\nadd relative=lan\nadd /c=\nadd /\\=lan\n");
}

void admin_seeds() {
  const char* t = "fuzz_admin";
  write_seed(t, "form", "path=%2Ffilms&folder=D%3A%5CFilms&who=home&form_token=aaaabbbbccccdddd");
  write_seed(t, "cookie", "a=1; vorlix_admin=fedcba9876543210; b=\"2\"");
  write_seed(t, "config", "bind 0.0.0.0\r\nallow /films=10.0.0.0/8\r\nexport /films=D:\\Films\r\n# export /x=/y\r\n");
  write_seed(t, "picker-posix", "//srv/./films/../x/");
  write_seed(t, "picker-windows", "d:/Films\\Old\\");
  write_seed(t, "entry", "GET\n127.0.0.1:40123\n\nnone\n0123456789abcdef\n\n");
  write_seed(t, "post", "POST\nlocalhost:40123\nhttp://localhost:40123\nsame-origin\n\n"
                        "vorlix_admin=fedcba9876543210\npath=%2Fm&form_token=aaaabbbbccccdddd");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: fuzz_seed_writer CORPUS_DIR [DICT]\n");
    return 2;
  }
  s_dir = argv[1];
  mkdir(s_dir.c_str(), 0755);
  if (!fuzz_exports_ready()) {
    fprintf(stderr, "fuzz_seed_writer: the fuzz tree could not be set up\n");
    return 1;
  }
  record_seeds();
  xdr_seeds();
  cidr_seeds();
  clamp_seeds();
  console_seeds();
  admin_seeds();
  if (argc == 3) write_dict(argv[2]);
  printf("wrote %d seeds to %s\n", s_written, s_dir.c_str());
  return s_failed ? 1 : 0;
}
