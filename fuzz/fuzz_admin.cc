// The settings page's request parsing and checks: the input is the whole of
// a form, a Cookie header and a folder-picker path at once, and, split at
// its newlines, the parts of one request (method, Host, Origin,
// Sec-Fetch-Site, query token, Cookie, form). Checks what must hold for any
// input: a clean picker path is clean again and its parent is a clean path
// above it; a field or cookie value found is a part of what was given; a
// request that passes names this machine's loopback at the page's port and
// carries a valid session or token.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/admin_checks.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::string v;
  if (admin_form_field(in, kAdminFormField, &v)) expect(v.find('\0') == std::string::npos && v.size() <= in.size());
  if (admin_form_field(in, "folder", &v)) expect(v.size() <= in.size());
  if (admin_cookie_value(in, kAdminCookie, &v)) expect(in.find(v) != std::string::npos);
  picker(in, false);
  picker(in, true);

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
