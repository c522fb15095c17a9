// The checks every request to the settings page passes before anything is
// read or changed, and the parsing of the parts of a request that are ours
// (cookies, form fields, folder-picker paths). Plain functions of their
// inputs: no state, no system calls, so that a table of cases and a fuzz
// target can drive them.
#pragma once

#include <string>
#include <vector>

// The parts of one request that the checks look at, as the HTTP library
// gives them ("" for a header that is absent).
struct admin_request {
  std::string method;        // "GET", "POST", ...
  std::string host;          // the Host header
  std::string origin;        // the Origin header
  std::string fetch_site;    // the Sec-Fetch-Site header
  std::string query_token;   // the token= of the query
  std::string cookie;        // the Cookie header, whole
  std::string body;          // the form of a POST (application/x-www-form-urlencoded)
};

// What the page's server knows when it checks a request.
struct admin_keys {
  int port = 0;                     // the port the page is served on
  std::string entry_token;          // the one-time token of the printed URL
  bool entry_used = false;          // whether it has been taken already
  std::string session;              // the cookie's value once the token was taken
  std::vector<std::string> forms;   // the anti-forgery tokens of pages served
};

enum admin_verdict {
  ADMIN_PASS,        // a request of the session: go on
  ADMIN_ENTER,       // the one-time token: set the cookie, then go on
  ADMIN_REFUSED,     // refused: *status and *why say why
};

// The outcome of admin_check.
struct admin_check_result {
  admin_verdict verdict = ADMIN_REFUSED;
  int status = 403;  // the HTTP status of a refusal
  std::string why;   // a refusal in words, for the person at the browser
};

// The name of the session cookie.
constexpr char kAdminCookie[] = "vorlix_admin";
// The name of the anti-forgery field of every POST.
constexpr char kAdminFormField[] = "form_token";
// The longest form, cookie header and picker path read.
constexpr size_t kAdminMaxForm = 64 * 1024;
constexpr size_t kAdminMaxCookie = 8 * 1024;
constexpr size_t kAdminMaxPath = 4096;

// Checks one request, in this order: the Host header names this machine's
// loopback (127.0.0.1, [::1] or localhost) with the page's port; a request
// from another site (Origin or Sec-Fetch-Site) is refused; the session
// cookie, or else the one-time token while it is unused; a POST carries
// an anti-forgery token of a page served; anything but GET and POST is
// refused.
admin_check_result admin_check(const admin_request& r, const admin_keys& k);

// True when the Host header names 127.0.0.1, [::1] or localhost (any case)
// with the port given.
bool admin_host_ok(const std::string& host, int port);
// True when the Origin header is the page's own ("http://" and a Host
// that admin_host_ok accepts).
bool admin_origin_ok(const std::string& origin, int port);

// The value of the cookie of that name in a Cookie header ("a=1; b=2");
// false when it is absent or the header is malformed or too long.
bool admin_cookie_value(const std::string& header, const std::string& name, std::string* out);
// The value of the field of that name in a form
// (application/x-www-form-urlencoded: "a=1&b=x+y%2F"), decoded; false when
// it is absent, the form is too long or its escapes are malformed. A field
// given twice is refused too, so that a forged second value cannot hide.
bool admin_form_field(const std::string& form, const std::string& name, std::string* out);
// Decodes %XX escapes and '+' as a space; false on a malformed escape or a
// NUL byte.
bool admin_url_decode(const std::string& in, std::string* out);
// Compares two secrets in time that does not depend on where they differ.
bool admin_same_secret(const std::string& a, const std::string& b);

// A folder-picker path, checked: "" (the top: the drives on Windows, "/"
// elsewhere) or an absolute path of that system's form, without "." or
// ".." parts, control characters or NUL, at most kAdminMaxPath bytes.
// windows: drive paths ("D:\Films", "D:/Films", "D:\"), else "/a/b".
// *clean gets the path in one spelling (separators of the system, no
// doubled or trailing separator except the root's). False with *why in
// words otherwise.
bool admin_picker_path(const std::string& path, bool windows, std::string* clean, std::string* why);
// The folder above a clean picker path; "" above a root.
std::string admin_picker_parent(const std::string& clean, bool windows);
// A clean picker path joined with the name of an entry in it.
std::string admin_picker_join(const std::string& clean, const std::string& name, bool windows);
