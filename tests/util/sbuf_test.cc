#include "util/json.h"
#include "util/xdr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string str(const sbuf& b) { return std::string(reinterpret_cast<const char*>(b.data), b.len); }

TEST(Sbuf, GrowthRule) {
  sbuf_owner o;
  sbuf* b = &o.b;
  sb_reset(b);
  EXPECT_EQ(b->data, nullptr);
  ASSERT_EQ(sb_putc(b, 'x'), 0);
  EXPECT_EQ(b->cap, 256u);
  EXPECT_EQ(b->len, 1u);
  EXPECT_EQ(b->data[1], 0);
  while (b->len < 254) sb_putc(b, 'y');
  sb_putc(b, 'z');
  EXPECT_EQ(b->len, 255u);
  EXPECT_EQ(b->cap, 256u);
  sb_putc(b, 'w');
  EXPECT_EQ(b->cap, 512u);
  sb_reset(b);
  EXPECT_EQ(b->cap, 512u);
  EXPECT_EQ(b->data[0], 0);

  sbuf_owner o2;
  std::string big(300, 'q');
  sb_putn(&o2.b, big.data(), big.size());
  EXPECT_EQ(o2.b.cap, 512u);
  sbuf_owner o3;
  sb_putn(&o3.b, "", 0);
  EXPECT_EQ(o3.b.cap, 256u);
  EXPECT_EQ(o3.b.len, 0u);
}

TEST(Sbuf, PrintfLongText) {
  sbuf_owner o;
  std::string s(1000, 'a');
  ASSERT_EQ(sb_printf(&o.b, "<%s>", s.c_str()), 0);
  EXPECT_EQ(str(o.b), "<" + s + ">");
}

TEST(Json, Escapes) {
  sbuf_owner o;
  json_put_string(&o.b, nullptr);
  EXPECT_EQ(str(o.b), "\"\"");
  sb_reset(&o.b);
  json_put_string(&o.b, "\t\"\x01/\\\n\r\b\f\x1f\x7f\xc3\xa9");
  EXPECT_EQ(str(o.b), "\"\\t\\\"\\u0001/\\\\\\n\\r\\b\\f\\u001f\x7f\xc3\xa9\"");
}

TEST(Xdr, Encoding) {
  sbuf_owner o;
  xdr_enc e{&o.b};
  xe_opaque(&e, "abcde", 5);
  EXPECT_EQ(o.b.len, 12u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(o.b.data), 12), std::string("\0\0\0\5abcde\0\0\0", 12));
  sb_reset(&o.b);
  xe_opaque(&e, "", 0);
  xe_string(&e, "");
  xe_string(&e, "four");
  EXPECT_EQ(o.b.len, 16u);
  sb_reset(&o.b);
  xe_u64(&e, (1ull << 32) + 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(o.b.data), 8), std::string("\0\0\0\1\0\0\0\2", 8));
  EXPECT_EQ(e.err, 0);
}

TEST(Xdr, DecodingBoundsAndStickyError) {
  const unsigned char opaque65[] = {0, 0, 0, 65};
  xdr_cursor c;
  std::string buf(std::string("\0\0\0\x41", 4) + std::string(68, 'x'));
  xd_init(&c, buf.data(), buf.size());
  size_t n = 0;
  EXPECT_EQ(xd_opaque(&c, &n, 64), nullptr);
  EXPECT_FALSE(xd_ok(&c));
  (void)opaque65;

  std::string five(std::string("\0\0\0\5", 4) + "abcdefg");  // 5 bytes + only 2 of padding
  xd_init(&c, five.data(), five.size());
  EXPECT_EQ(xd_opaque(&c, &n, 64), nullptr);

  std::string ok(std::string("\0\0\0\5", 4) + "abcde" + std::string(3, '\0'));
  xd_init(&c, ok.data(), ok.size());
  const unsigned char* v = xd_opaque(&c, &n, 64);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(c.pos, 12u);

  std::string zero(std::string("\0\0\0\0", 4));
  xd_init(&c, zero.data(), zero.size());
  EXPECT_NE(xd_opaque(&c, &n, 64), nullptr);
  EXPECT_EQ(n, 0u);

  std::string three("abc");
  xd_init(&c, three.data(), 3);
  xd_u32(&c);
  EXPECT_FALSE(xd_ok(&c));
  std::string eight(8, '\0');
  xd_init(&c, eight.data(), 8);
  c.err = 1;
  xd_u32(&c);
  EXPECT_EQ(c.pos, 0u);

  xd_init(&c, eight.data(), 4);
  xd_u64(&c);
  EXPECT_FALSE(xd_ok(&c));

  std::string two(std::string("\0\0\0\2", 4));
  xd_init(&c, two.data(), 4);
  xd_bool(&c);
  EXPECT_FALSE(xd_ok(&c));
}

}  // namespace
