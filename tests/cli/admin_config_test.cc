// The settings page's changes to a configuration file's text.
#include "cli/admin_config.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kFile[] =
    "# Made by hand.\r\n"
    "bind 0.0.0.0\r\n"
    "allow /films=10.0.0.0/8\r\n"
    "export /films=D:\\Films\r\n"
    "export /music=/srv/music\r\n"
    "\r\n"
    "nfs-port 2049\r\n";

TEST(AdminConfig, ReadsExportsAndTheirAllowLists) {
  const auto got = admin_config_exports(kFile);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].path, "/films");
  EXPECT_EQ(got[0].folder, "D:\\Films");
  EXPECT_EQ(got[0].allow, "10.0.0.0/8");
  EXPECT_EQ(got[1].path, "/music");
  EXPECT_EQ(got[1].folder, "/srv/music");
  EXPECT_EQ(got[1].allow, "");
  // Comments, other options and "export" without a path are not exports.
  EXPECT_TRUE(admin_config_exports("# export /x=/y\nexports /a=/b\nexport\nexport /nofolder\n").empty());
  // A later line of the same path wins, as for serve.
  const auto twice = admin_config_exports("export /a=/one\nallow /a=1.2.3.4\nexport /a=/two\nallow /a=*\n");
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(twice[0].folder, "/two");
  EXPECT_EQ(twice[0].allow, "*");
}

TEST(AdminConfig, AddKeepsEveryOtherLineAndTheLineEnds) {
  std::string out, why;
  ASSERT_TRUE(admin_config_add(kFile, {"/tv", "E:\\TV", "192.168.1.0/24"}, &out, &why)) << why;
  EXPECT_EQ(out, std::string(kFile) + "export /tv=E:\\TV\r\nallow /tv=192.168.1.0/24\r\n");
  ASSERT_TRUE(admin_config_add("bind 127.0.0.1", {"/tv", "/srv/tv", ""}, &out, &why)) << why;
  EXPECT_EQ(out, "bind 127.0.0.1\nexport /tv=/srv/tv\n");
  EXPECT_FALSE(admin_config_add(kFile, {"/films", "/elsewhere", ""}, &out, &why));
  EXPECT_NE(why.find("already"), std::string::npos);
  // A file that ends with a lone carriage return: the new line is a line
  // of its own.
  ASSERT_TRUE(admin_config_add("bind 127.0.0.1\r", {"/tv", "/srv/tv", ""}, &out, &why)) << why;
  EXPECT_EQ(out, "bind 127.0.0.1\r\nexport /tv=/srv/tv\n");
  EXPECT_EQ(admin_config_exports(out)[0].folder, "/srv/tv");
  // A stray allow line of the new path does not outlive the add.
  ASSERT_TRUE(admin_config_add("allow /tv=*\n", {"/tv", "/srv/tv", ""}, &out, &why)) << why;
  EXPECT_EQ(out, "export /tv=/srv/tv\n");
}

TEST(AdminConfig, SetAllowReplacesTheListAfterItsExport) {
  std::string out, why;
  ASSERT_TRUE(admin_config_set_allow(kFile, "/films", "192.168.0.0/16,fd00::/8", &out, &why)) << why;
  EXPECT_EQ(out,
            "# Made by hand.\r\nbind 0.0.0.0\r\nexport /films=D:\\Films\r\nallow /films=192.168.0.0/16,fd00::/8\r\n"
            "export /music=/srv/music\r\n\r\nnfs-port 2049\r\n");
  ASSERT_TRUE(admin_config_set_allow(kFile, "/films", "", &out, &why)) << why;
  EXPECT_EQ(admin_config_exports(out)[0].allow, "");
  EXPECT_EQ(out.find("allow"), std::string::npos);
  ASSERT_TRUE(admin_config_set_allow("export /m=/srv", "/m", "*", &out, &why)) << why;
  EXPECT_EQ(out, "export /m=/srv\nallow /m=*\n");
  EXPECT_FALSE(admin_config_set_allow(kFile, "/nope", "*", &out, &why));
  EXPECT_NE(why.find("no export /nope"), std::string::npos);
}

TEST(AdminConfig, RemoveDropsTheExportAndItsAllowLines) {
  std::string out, why;
  ASSERT_TRUE(admin_config_remove(kFile, "/films", &out, &why)) << why;
  EXPECT_EQ(out, "# Made by hand.\r\nbind 0.0.0.0\r\nexport /music=/srv/music\r\n\r\nnfs-port 2049\r\n");
  EXPECT_FALSE(admin_config_remove(kFile, "/film", &out, &why));
  EXPECT_FALSE(admin_config_remove("# export /films=/x\n", "/films", &out, &why));
}

}  // namespace
