// Python's repr of texts and values, and the tuple lines built from it.
#include <gtest/gtest.h>

#include <cmath>

#include "img_util/value.hpp"

namespace img_util {
namespace {

TEST(Repr, TextTable) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", "''"},
      {"/data/a.jpg", "'/data/a.jpg'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"both ' and \"", "'both \\' and \"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"tab\tnl\ncr\r", "'tab\\tnl\\ncr\\r'"},
      {std::string("nul\0x", 5), "'nul\\x00x'"},
      {"\x1b[0m\x7f", "'\\x1b[0m\\x7f'"},
      {"图片/水印.jpg", "'图片/水印.jpg'"},
      {"caf\xc3\xa9", "'café'"},
      {"nb\xc2\xa0sp", "'nb\\xa0sp'"},        // U+00A0 is not printable
      {"soft\xc2\xadhy", "'soft\\xadhy'"},    // U+00AD (format character)
      {"zw\xe2\x80\x8bsp", "'zw\\u200bsp'"},  // U+200B
      {"ls\xe2\x80\xa8", "'ls\\u2028'"},      // line separator
      {"emoji \xf0\x9f\x98\x80", "'emoji \xf0\x9f\x98\x80'"},
      {"pua \xf3\xb0\x80\x80", "'pua \\U000f0000'"},  // private use plane
      {"bad \xff\xfe.jpg", "'bad \\xff\\xfe.jpg'"},
      {"cut \xe5\x9b", "'cut \\xe5\\x9b'"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_repr(std::string_view(c.in)), c.out) << c.in;
}

TEST(Repr, Values) {
  Dict d;
  d.set("a", List{1, 2.5, Value(), true, "x"});
  d.set("b", Bytes{"q'\x01\xff"});
  d.set("c", Value::dict());
  EXPECT_EQ(py_repr(Value(d)), "{'a': [1, 2.5, None, True, 'x'], 'b': b\"q'\\x01\\xff\", 'c': {}}");
  EXPECT_EQ(py_repr(Value(false)), "False");
  EXPECT_EQ(py_repr(Value(int64_t{-9223372036854775807 - 1})), "-9223372036854775808");
}

TEST(Repr, FloatTable) {
  const struct {
    double in;
    const char* out;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.9, "100.9"},
      {0.1, "0.1"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1e15, "1000000000000000.0"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1e300, "1e+300"},
      {-2.5, "-2.5"},
      {1.0 / 3, "0.3333333333333333"},
      {HUGE_VAL, "inf"},
      {-HUGE_VAL, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_repr(Value(c.in)), c.out);
}

TEST(TupleLine, AsPythonPrintsATuple) {
  EXPECT_EQ(tuple_line({"/data/a.jpg", "error"}), "('/data/a.jpg', 'error')");
  EXPECT_EQ(tuple_line({"/data/a.jpg", "start", "."}), "('/data/a.jpg', 'start', '.')");
  EXPECT_EQ(tuple_line({"/d/it's.jpg", "error"}), "(\"/d/it's.jpg\", 'error')");
  EXPECT_EQ(tuple_line({"only"}), "('only',)");
  EXPECT_EQ(tuple_line({}), "()");
}

}  // namespace
}  // namespace img_util
