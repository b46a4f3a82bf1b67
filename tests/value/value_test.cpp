// Value: Python truth and equality, dictionary lookups, accessor errors.
#include "img_util/value.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "img_util/errors.hpp"

namespace img_util {
namespace {

struct Named : Handle {
  std::string type_name() const override { return "ZipFile"; }
};

TEST(ValueTruth, FollowsPython) {
  const struct {
    Value v;
    bool truth;
  } cases[] = {
      {Value(), false},        {Value(false), false},
      {Value(true), true},     {Value(0), false},
      {Value(-1), true},       {Value(0.0), false},
      {Value(0.5), true},      {Value(std::nan("")), true},
      {Value(""), false},      {Value("0"), true},
      {Value(Bytes{}), false}, {Value(Bytes{"x"}), true},
      {Value::list(), false},  {Value(List{Value()}), true},
      {Value::dict(), false},  {Value(std::shared_ptr<Handle>(std::make_shared<Named>())), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.truthy(), c.truth) << py_repr(c.v);
}

TEST(ValueEquality, NumbersCompareNumericallyTextNever) {
  const struct {
    Value a, b;
    bool equal;
  } cases[] = {
      {Value(2), Value(2.0), true},
      {Value(true), Value(1), true},
      {Value(true), Value(1.0), true},
      {Value(false), Value(0), true},
      {Value(2), Value("2"), false},
      {Value("2"), Value("2"), true},
      {Value(2.5), Value(2), false},
      {Value(int64_t{9007199254740993}), Value(9007199254740992.0), false},
      {Value(std::nan("")), Value(std::nan("")), false},
      {Value(), Value(), true},
      {Value(), Value(0), false},
      {Value(""), Value(Bytes{}), false},
      {Value(List{1, "a"}), Value(List{1.0, "a"}), true},
      {Value(List{1, "a"}), Value(List{1}), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.a == c.b, c.equal) << py_repr(c.a) << " == " << py_repr(c.b);

  Dict x, y;
  x.set("a", 1);
  x.set("b", 2);
  y.set("b", 2.0);
  y.set("a", true);
  EXPECT_EQ(Value(x), Value(y)) << "dict equality ignores key order";

  std::shared_ptr<Handle> h = std::make_shared<Named>();
  EXPECT_EQ(Value(h), Value(h));
  EXPECT_FALSE(Value(h) == Value(std::shared_ptr<Handle>(std::make_shared<Named>())));
}

TEST(ValueEquality, NumEq) {
  EXPECT_TRUE(num_eq(Value(2), 2));
  EXPECT_TRUE(num_eq(Value(2.0), 2));
  EXPECT_TRUE(num_eq(Value(true), 1));
  EXPECT_FALSE(num_eq(Value("2"), 2));
  EXPECT_FALSE(num_eq(Value(), 0));
}

TEST(ValueDict, KeepsOrderReplacesInPlaceAndSharesContainers) {
  Value cfg = Value::dict();
  cfg.set("b", 1);
  cfg.set("a", 2);
  cfg.set("b", 3);
  ASSERT_EQ(cfg.as_dict().size(), 2u);
  EXPECT_EQ(cfg.as_dict().items()[0].first, "b");
  EXPECT_EQ(cfg.at("b").as_int(), 3);

  Value copy = cfg;  // shares the dictionary, as a Python reference would
  copy.set("c", "x");
  EXPECT_TRUE(cfg.contains("c"));
  EXPECT_TRUE(cfg.erase("c"));
  EXPECT_FALSE(cfg.erase("c"));
  EXPECT_TRUE(cfg.get("missing").is_none());
  EXPECT_EQ(cfg.get("missing", 7).as_int(), 7);
}

TEST(ValueDict, MissingKeyIsKeyErrorWithRepr) {
  Value cfg = Value::dict();
  try {
    cfg.at("folder");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "'folder'");
    EXPECT_EQ(e.key(), "folder");
    EXPECT_STREQ(e.type_name(), "KeyError");
  }
}

TEST(ValueAccess, WrongKindIsTypeError) {
  EXPECT_THROW(Value("x").as_int(), TypeError);
  EXPECT_THROW(Value(1).as_text(), TypeError);
  EXPECT_THROW(Value(1.5).as_int(), TypeError);
  EXPECT_THROW(Value(List{}).at("k"), TypeError);
  EXPECT_EQ(Value(true).as_int(), 1);
  EXPECT_DOUBLE_EQ(Value(3).as_number(), 3.0);
  try {
    Value("x").as_dict();
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "expected dict, got str");
  }
}

TEST(ValueTypeName, AsPythonNamesThem) {
  EXPECT_EQ(Value().type_name(), "NoneType");
  EXPECT_EQ(Value(true).type_name(), "bool");
  EXPECT_EQ(Value(1).type_name(), "int");
  EXPECT_EQ(Value(1.0).type_name(), "float");
  EXPECT_EQ(Value("").type_name(), "str");
  EXPECT_EQ(Value(Bytes{}).type_name(), "bytes");
  EXPECT_EQ(Value::list().type_name(), "list");
  EXPECT_EQ(Value::dict().type_name(), "dict");
  EXPECT_EQ(Value(std::shared_ptr<Handle>(std::make_shared<Named>())).type_name(), "ZipFile");
}

TEST(Errors, OSErrorReadsLikePython) {
  OSError e(2, "/x/a'b.jpg");
  EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: \"/x/a'b.jpg\"");
  EXPECT_STREQ(e.type_name(), "FileNotFoundError");
  EXPECT_EQ(e.error_number(), 2);
  EXPECT_STREQ(OSError(16, "/p/.lock", "another run is using /p").what(),
               "[Errno 16] another run is using /p: '/p/.lock'");
  ImageError ie("cannot identify image file '/a.jpg'", "/a.jpg");
  EXPECT_STREQ(ie.what(), "cannot identify image file '/a.jpg'");
  EXPECT_STREQ(ie.type_name(), "OSError");
}

}  // namespace
}  // namespace img_util
