// The settings page's request checks and its parsing, as tables of cases.
#include "cli/admin_checks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kPort = 40123;
const char kToken[] = "0123456789abcdef0123456789abcdef";
const char kSession[] = "fedcba9876543210fedcba9876543210";
const char kForm[] = "aaaabbbbccccdddd";

admin_keys keys(bool entry_used) {
  admin_keys k;
  k.port = kPort;
  k.entry_token = kToken;
  k.entry_used = entry_used;
  k.session = entry_used ? kSession : "";
  k.forms = {"older-form-token", kForm};
  return k;
}

// A request of the page as Chromium sends it after the token was taken.
admin_request page_get() {
  admin_request r;
  r.method = "GET";
  r.host = "127.0.0.1:40123";
  r.fetch_site = "same-origin";
  r.cookie = std::string("other=1; ") + kAdminCookie + "=" + kSession;
  return r;
}

admin_request page_post() {
  admin_request r = page_get();
  r.method = "POST";
  r.origin = "http://127.0.0.1:40123";
  r.body = std::string("path=%2Ffilms&") + kAdminFormField + "=" + kForm;
  return r;
}

struct check_case {
  const char* name;
  admin_request req;
  bool entry_used;
  admin_verdict verdict;
  const char* why_part;  // a part of the refusal's words
};

TEST(AdminChecks, TableOfRequests) {
  auto with = [](admin_request r, auto change) {
    change(r);
    return r;
  };
  admin_request entry;
  entry.method = "GET";
  entry.host = "127.0.0.1:40123";
  entry.fetch_site = "none";
  entry.query_token = kToken;
  const check_case cases[] = {
      {"entry with the token", entry, false, ADMIN_ENTER, ""},
      {"entry token a second time", entry, true, ADMIN_REFUSED, "used already"},
      {"entry with a wrong token", with(entry, [](admin_request& r) { r.query_token[0] = 'x'; }), false,
       ADMIN_REFUSED, "wrong"},
      {"entry with a short token", with(entry, [](admin_request& r) { r.query_token = "0123"; }), false,
       ADMIN_REFUSED, "wrong"},
      {"no token, no cookie", with(entry, [](admin_request& r) { r.query_token.clear(); }), false, ADMIN_REFUSED,
       "no valid token"},
      {"page with the cookie", page_get(), true, ADMIN_PASS, ""},
      {"page at [::1]", with(page_get(), [](admin_request& r) { r.host = "[::1]:40123"; }), true, ADMIN_PASS, ""},
      {"page at LocalHost", with(page_get(), [](admin_request& r) { r.host = "LocalHost:40123"; }), true,
       ADMIN_PASS, ""},
      {"wrong cookie", with(page_get(), [](admin_request& r) { r.cookie = std::string(kAdminCookie) + "=nope"; }),
       true, ADMIN_REFUSED, "no valid token"},
      {"cookie of another name",
       with(page_get(), [](admin_request& r) { r.cookie = std::string("x") + kAdminCookie + "=" + kSession; }), true,
       ADMIN_REFUSED, "no valid token"},
      {"rebinding name", with(page_get(), [](admin_request& r) { r.host = "evil.example:40123"; }), true,
       ADMIN_REFUSED, "not at the name"},
      {"right name, wrong port", with(page_get(), [](admin_request& r) { r.host = "127.0.0.1:40124"; }), true,
       ADMIN_REFUSED, "not at the name"},
      {"no port", with(page_get(), [](admin_request& r) { r.host = "localhost"; }), true, ADMIN_REFUSED,
       "not at the name"},
      {"no Host", with(page_get(), [](admin_request& r) { r.host.clear(); }), true, ADMIN_REFUSED, "not at the name"},
      {"another loopback address", with(page_get(), [](admin_request& r) { r.host = "127.0.0.2:40123"; }), true,
       ADMIN_REFUSED, "not at the name"},
      {"localhost with a dot", with(page_get(), [](admin_request& r) { r.host = "localhost.:40123"; }), true,
       ADMIN_REFUSED, "not at the name"},
      {"cross-site fetch", with(page_get(), [](admin_request& r) { r.fetch_site = "cross-site"; }), true,
       ADMIN_REFUSED, "another site"},
      {"same-site fetch", with(page_get(), [](admin_request& r) { r.fetch_site = "same-site"; }), true,
       ADMIN_REFUSED, "another site"},
      {"other method", with(page_get(), [](admin_request& r) { r.method = "PUT"; }), true, ADMIN_REFUSED,
       "only GET and POST"},
      {"change from the page", page_post(), true, ADMIN_PASS, ""},
      {"change with the older form token",
       with(page_post(), [](admin_request& r) { r.body = std::string(kAdminFormField) + "=older-form-token"; }), true,
       ADMIN_PASS, ""},
      {"change from another origin",
       with(page_post(), [](admin_request& r) { r.origin = "http://evil.example"; }), true, ADMIN_REFUSED,
       "another site"},
      {"change from a null origin", with(page_post(), [](admin_request& r) { r.origin = "null"; }), true,
       ADMIN_REFUSED, "another site"},
      {"change from https origin",
       with(page_post(), [](admin_request& r) { r.origin = "https://127.0.0.1:40123"; }), true, ADMIN_REFUSED,
       "another site"},
      {"change naming no origin",
       with(page_post(),
            [](admin_request& r) {
              r.origin.clear();
              r.fetch_site.clear();
            }),
       true, ADMIN_REFUSED, "named no origin"},
      {"change without a form token", with(page_post(), [](admin_request& r) { r.body = "path=%2Ffilms"; }), true,
       ADMIN_REFUSED, "form token"},
      {"change with a wrong form token",
       with(page_post(), [](admin_request& r) { r.body = std::string(kAdminFormField) + "=aaaabbbbccccddde"; }), true,
       ADMIN_REFUSED, "form token"},
      {"change with the form token twice",
       with(page_post(),
            [](admin_request& r) { r.body += std::string("&") + kAdminFormField + "=aaaabbbbccccdddd"; }),
       true, ADMIN_REFUSED, "form token"},
      {"change with the entry token only",
       with(page_post(),
            [](admin_request& r) {
              r.cookie.clear();
              r.query_token = kToken;
            }),
       false, ADMIN_REFUSED, "no valid token"},
      {"change without the cookie", with(page_post(), [](admin_request& r) { r.cookie.clear(); }), true,
       ADMIN_REFUSED, "no valid token"},
  };
  for (const check_case& c : cases) {
    const admin_check_result got = admin_check(c.req, keys(c.entry_used));
    EXPECT_EQ(got.verdict, c.verdict) << c.name << ": " << got.why;
    EXPECT_NE(got.why.find(c.why_part), std::string::npos) << c.name << ": " << got.why;
    if (got.verdict == ADMIN_REFUSED) {
      EXPECT_GE(got.status, 400) << c.name;
    }
  }
}

TEST(AdminChecks, NoSessionYetRefusesAnEmptyCookie) {
  admin_request r = page_get();
  r.cookie = std::string(kAdminCookie) + "=";
  EXPECT_EQ(admin_check(r, keys(false)).verdict, ADMIN_REFUSED);
}

TEST(AdminChecks, FormFields) {
  struct field_case {
    const char* form;
    const char* name;
    bool found;
    const char* value;
  };
  const field_case cases[] = {
      {"a=1&b=2", "b", true, "2"},
      {"a=1&b=x+y%2Fz", "b", true, "x y/z"},
      {"folder=D%3A%5CFilms", "folder", true, "D:\\Films"},
      {"a=1&&b=", "b", true, ""},
      {"b", "b", true, ""},
      {"%62=encoded+name", "b", true, "encoded name"},
      {"a=1", "b", false, ""},
      {"", "b", false, ""},
      {"b=1&b=2", "b", false, ""},
      {"b=%2", "b", false, ""},
      {"b=%zz", "b", false, ""},
      {"b=%00", "b", false, ""},
      {"a=%4&b=1", "b", false, ""},
      {"bb=1", "b", false, ""},
  };
  for (const field_case& c : cases) {
    std::string v = "untouched";
    EXPECT_EQ(admin_form_field(c.form, c.name, &v), c.found) << c.form;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.form;
    }
  }
  std::string v;
  EXPECT_FALSE(admin_form_field("b=1&" + std::string(kAdminMaxForm, 'x'), "b", &v));
}

TEST(AdminChecks, Cookies) {
  struct cookie_case {
    const char* header;
    bool found;
    const char* value;
  };
  const cookie_case cases[] = {
      {"vorlix_admin=abc", true, "abc"},
      {"a=1; vorlix_admin=abc; b=2", true, "abc"},
      {"a=1;vorlix_admin=abc", true, "abc"},
      {"vorlix_admin=\"abc\"", true, "abc"},
      {"vorlix_admin=", true, ""},
      {"vorlix_admin", false, ""},
      {"xvorlix_admin=abc", false, ""},
      {"vorlix_adminx=abc", false, ""},
      {"", false, ""},
      {";;;", false, ""},
  };
  for (const cookie_case& c : cases) {
    std::string v;
    EXPECT_EQ(admin_cookie_value(c.header, kAdminCookie, &v), c.found) << c.header;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.header;
    }
  }
  std::string v;
  EXPECT_FALSE(admin_cookie_value(std::string(kAdminMaxCookie, ' ') + "vorlix_admin=a", kAdminCookie, &v));
}

TEST(AdminChecks, PickerPaths) {
  struct path_case {
    const char* path;
    bool windows;
    bool ok;
    const char* clean;
    const char* parent;
  };
  const path_case cases[] = {
      {"", false, true, "", ""},
      {"/", false, true, "/", ""},
      {"/srv", false, true, "/srv", "/"},
      {"//srv//films/", false, true, "/srv/films", "/srv"},
      {"/srv/./films", false, false, "", ""},
      {"/srv/../etc", false, false, "", ""},
      {"srv", false, false, "", ""},
      {"/srv/a\nb", false, false, "", ""},
      {"/srv/..a/b.", false, true, "/srv/..a/b.", "/srv/..a"},
      {"", true, true, "", ""},
      {"D:", true, true, "D:\\", ""},
      {"d:\\", true, true, "D:\\", ""},
      {"D:\\Films", true, true, "D:\\Films", "D:\\"},
      {"D:/Films//Old/", true, true, "D:\\Films\\Old", "D:\\Films"},
      {"D:Films", true, false, "", ""},
      {"\\\\server\\share", true, false, "", ""},
      {"\\\\?\\D:\\x", true, false, "", ""},
      {"D:\\a:b", true, false, "", ""},
      {"D:\\a\\..\\b", true, false, "", ""},
      {"/srv", true, false, "", ""},
      {"1:\\", true, false, "", ""},
  };
  for (const path_case& c : cases) {
    std::string clean = "untouched", why;
    EXPECT_EQ(admin_picker_path(c.path, c.windows, &clean, &why), c.ok) << c.path;
    if (!c.ok) {
      EXPECT_FALSE(why.empty()) << c.path;
      continue;
    }
    EXPECT_EQ(clean, c.clean) << c.path;
    EXPECT_EQ(admin_picker_parent(clean, c.windows), c.parent) << c.path;
  }
  std::string clean, why;
  EXPECT_FALSE(admin_picker_path("/" + std::string(kAdminMaxPath, 'a'), false, &clean, &why));
  EXPECT_EQ(admin_picker_join("/", "srv", false), "/srv");
  EXPECT_EQ(admin_picker_join("/srv", "films", false), "/srv/films");
  EXPECT_EQ(admin_picker_join("D:\\", "Films", true), "D:\\Films");
  EXPECT_EQ(admin_picker_join("", "D:\\", true), "D:\\");
}

TEST(AdminChecks, SameSecret) {
  EXPECT_TRUE(admin_same_secret("abc", "abc"));
  EXPECT_FALSE(admin_same_secret("abc", "abd"));
  EXPECT_FALSE(admin_same_secret("abc", "abcd"));
  EXPECT_FALSE(admin_same_secret("", ""));
}

}  // namespace
