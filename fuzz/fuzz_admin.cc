// The settings page's request parsing and checks: the input is the whole of
// a form, a Cookie header and a folder-picker path at once, and, split at
// its newlines, the parts of one request (method, Host, Origin,
// Sec-Fetch-Site, query token, Cookie, form); it is also the text of a
// configuration file whose exports are changed. Checks what must hold for
// any input: a clean picker path is clean again and its parent is a clean
// path above it; a field or cookie value found is a part of what was given;
// a request that passes names this machine's loopback at the page's port
// and carries a valid session or token; an export added is read back with
// its folder and list, and gone once removed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/admin_checks.h"
#include "cli/admin_config.h"

namespace {

void expect(bool ok) {
  if (!ok) abort();
}

void picker(const std::string& in, bool windows) {
  std::string clean, why;
  if (!admin_picker_path(in, windows, &clean, &why)) {
    expect(!why.empty());
    return;
  }
  std::string again;
  expect(admin_picker_path(clean, windows, &again, &why) && again == clean);
  const std::string parent = admin_picker_parent(clean, windows);
  if (parent.empty()) return;
  expect(parent.size() < clean.size() && clean.compare(0, parent.size(), parent) == 0);
  expect(admin_picker_path(parent, windows, &again, &why) && again == parent);
}

bool has_export(const std::string& text, const admin_export& want) {
  for (const admin_export& x : admin_config_exports(text)) {
    if (x.path == want.path) return x.folder == want.folder && x.allow == want.allow;
  }
  return false;
}

void config_edits(const std::string& text) {
  (void)admin_config_exports(text);
  const admin_export x{"/fuzzed", "/srv/fuzzed", "10.0.0.0/8"};
  std::string added, why;
  if (!admin_config_add(text, x, &added, &why)) {
    expect(!why.empty());
    return;
  }
  expect(has_export(added, x));
  std::string open_to_all, removed;
  expect(admin_config_set_allow(added, x.path, "*", &open_to_all, &why));
  expect(has_export(open_to_all, {x.path, x.folder, "*"}));
  expect(admin_config_remove(open_to_all, x.path, &removed, &why));
  for (const admin_export& y : admin_config_exports(removed)) expect(y.path != x.path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::string v;
  if (admin_form_field(in, kAdminFormField, &v)) expect(v.find('\0') == std::string::npos && v.size() <= in.size());
  if (admin_form_field(in, "folder", &v)) expect(v.size() <= in.size());
  if (admin_cookie_value(in, kAdminCookie, &v)) expect(in.find(v) != std::string::npos);
  picker(in, false);
  picker(in, true);
  config_edits(in);

  std::vector<std::string> parts;
  size_t at = 0;
  for (int i = 0; i < 6; i++) {
    const size_t nl = in.find('\n', at);
    parts.push_back(in.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
    at = nl == std::string::npos ? in.size() : nl + 1;
  }
  parts.push_back(in.substr(at));
  admin_request r{parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], parts[6]};
  admin_keys k;
  k.port = 40123;
  k.entry_token = "0123456789abcdef";
  k.session = "fedcba9876543210";
  k.forms = {"aaaabbbbccccdddd"};
  for (int used = 0; used < 2; used++) {
    k.entry_used = used == 1;
    const admin_check_result got = admin_check(r, k);
    if (got.verdict == ADMIN_REFUSED) {
      expect(!got.why.empty() && got.status >= 400);
      continue;
    }
    expect(admin_host_ok(r.host, k.port));
    expect(r.method == "GET" || r.method == "POST");
    expect(got.verdict != ADMIN_ENTER || (!k.entry_used && r.method == "GET" && r.query_token == k.entry_token));
  }
  return 0;
}
