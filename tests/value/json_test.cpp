// JSON: parsing keeps order and kinds; output matches Python's json.dumps byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "img_util/errors.hpp"
#include "img_util/value.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

struct Zip : Handle {
  std::string type_name() const override { return "ZipFile"; }
};

TEST(Json, RepeatedKeysCanBeRefusedAtAnyDepth) {
  const struct {
    std::string text, key, where;
  } cases[] = {
      {R"({"folder": "/site", "folder": "/"})", "folder", "line 1 column 21 (char 20)"},
      {"{\"a\": {\"x\": 1,\n \"x\": 2}}", "x", "line 2 column 2 (char 16)"},
      {R"([{"k": 1}, {"k": 2}, {"k": 3, "j": 0, "k": 4}])", "k", "line 1 column 39 (char 38)"},
  };
  for (const auto& c : cases) {
    try {
      parse_json(c.text, DuplicateKeys::Refuse);
      ADD_FAILURE() << c.text;
    } catch (const DuplicateKeyError& e) {
      EXPECT_EQ(e.key(), c.key);
      EXPECT_EQ(e.where(), c.where);
      EXPECT_EQ(std::string(e.what()), "Duplicate key '" + c.key + "': " + c.where);
    }
    EXPECT_NO_THROW(parse_json(c.text)) << "the default keeps the last value";
  }
  EXPECT_NO_THROW(parse_json(R"({"a": {"a": 1}, "b": [{"a": 2}]})", DuplicateKeys::Refuse));
}

TEST(Json, ParseKeepsOrderAndKinds) {
  Value v = parse_json(R"( {"z": 1, "a": [1.0, -2, 3e2, true, null, "x"], "m": {}, "z": 5} )");
  const auto& items = v.as_dict().items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].first, "z");
  EXPECT_EQ(items[0].second.as_int(), 5);  // a repeated key keeps its place, last value wins
  EXPECT_EQ(items[1].first, "a");
  const List& a = items[1].second.as_list();
  EXPECT_TRUE(a[0].is_float());
  EXPECT_TRUE(a[1].is_int());
  EXPECT_EQ(a[1].as_int(), -2);
  EXPECT_TRUE(a[2].is_float());
  EXPECT_TRUE(a[3].is_bool());
  EXPECT_TRUE(a[4].is_none());
  EXPECT_TRUE(items[2].second.is_dict());
  EXPECT_EQ(parse_json("9223372036854775807").as_int(), INT64_MAX);
  EXPECT_TRUE(parse_json("92233720368547758070").is_float());
}

TEST(Json, ParseEscapes) {
  EXPECT_EQ(parse_json(R"("a\"b\\c\/d\n\t\u00e9\u6c34\ud83d\ude00")").as_text(),
            "a\"b\\c/d\n\t\xc3\xa9\xe6\xb0\xb4\xf0\x9f\x98\x80");
  EXPECT_EQ(parse_json("\"\xe6\xb0\xb4\"").as_text(), "\xe6\xb0\xb4");
  // A lone surrogate survives a round trip.
  EXPECT_EQ(to_json(parse_json(R"("\ud800x")")), R"("\ud800x")");
}

TEST(Json, ParseErrorsAreValueErrorsWithPosition) {
  const char* bad[] = {"",    "{",     "[1,]",       "{\"a\" 1}", "{'a': 1}",
                       "tru", "\"abc", "\"a\x01\"",  "\"\\q\"",   "1 2",
                       "-",   "[1] x", "\"\\u12G4\""};
  for (const char* text : bad) {
    try {
      parse_json(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("line 1 column"), std::string::npos) << e.what();
    }
  }
}

TEST(Json, DeepNestingIsAnErrorNotACrash) {
  EXPECT_THROW(parse_json(std::string(100000, '[') + std::string(100000, ']')), ValueError);
  EXPECT_NO_THROW(parse_json(std::string(100, '[') + std::string(100, ']')));
}

// Damaged documents either parse or raise ValueError; nothing else (the sanitizer build
// watches the reads).
TEST(Json, DamagedInputOnlyEverRaisesValueError) {
  const std::string doc =
      R"({"folder": "/srv/\u56fe", "n": [1, -2.5e3, true, null], "s": "a\"b\ud83d\ude00"})";
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text = doc;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0: text[at] = static_cast<char>(rng() % 256); break;
        case 1: text.erase(at, 1 + rng() % 3); break;
        default: text.resize(at); break;
      }
      if (text.empty()) text = "{";
    }
    try {
      const Value v = parse_json(text);
      to_json(v);
    } catch (const ValueError&) {
    }
  }
}

TEST(Json, DumpsTable) {
  Dict d;
  d.set("folder", "/srv/图片");
  d.set("n", List{1, 2.0, 1e16, 0.1, -0.0, Value(), true, false});
  d.set("esc", "q\"\\/\b\f\n\r\t\x01\x7f");
  d.set("emoji", "\xf0\x9f\x98\x80");
  d.set("special", List{std::nan(""), HUGE_VAL, -HUGE_VAL});
  d.set("empty", List{Value::list(), Value::dict()});
  EXPECT_EQ(
      to_json(Value(d)),
      R"({"folder": "/srv/\u56fe\u7247", "n": [1, 2.0, 1e+16, 0.1, -0.0, null, true, false], )"
      R"("esc": "q\"\\/\b\f\n\r\t\u0001\u007f", "emoji": "\ud83d\ude00", )"
      R"("special": [NaN, Infinity, -Infinity], "empty": [[], {}]})");
}

TEST(Json, UnserialisableValuesAreTypeErrors) {
  try {
    to_json(Value(List{Bytes{"x"}}));
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Object of type bytes is not JSON serializable");
  }
  Value cfg = Value::dict();
  cfg.set("zfile", std::shared_ptr<Handle>(std::make_shared<Zip>()));
  try {
    to_json(cfg);
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Object of type ZipFile is not JSON serializable");
  }
  auto self = std::make_shared<List>();
  self->push_back(Value(self));
  EXPECT_THROW(to_json(Value(self)), ValueError);
  self->clear();  // break the cycle so the list is freed
}

// Python itself is the oracle: json.loads then json.dumps must give our to_json output.
TEST(Json, MatchesPythonDumps) {
  const std::string doc =
      R"({"masktext": "水印 © 2026 \ud83d\ude00", "ctime": 100.9, "big": 12345678901234567890, )"
      R"("f": [0.1, 1e-7, 1e22, 123456.789, 5e-324, 1.7976931348623157e308, 3.0], )"
      R"("s": "tab\t\"q\" \\ \u0000 \u001f \u007f \u00a0", "nested": {"a": [], "b": {}}, "x": null})";
  test::TempDir tmp;
  const std::string in = tmp / "in.json";
  test::write_file(in, doc);
  const std::string cmd =
      "/usr/bin/python3 -c 'import json,sys; "
      "sys.stdout.write(json.dumps(json.loads(open(sys.argv[1]).read())))' " +
      in;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string expected;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) expected.append(buf, n);
  ASSERT_EQ(pclose(p), 0);
  // Python keeps the 20-digit integer exact; we hold it as a float, so compare the rest.
  std::string ours = to_json(parse_json(doc));
  const std::string py_big = "\"big\": 12345678901234567890";
  const std::string our_big = "\"big\": 1.2345678901234567e+19";
  ASSERT_NE(expected.find(py_big), std::string::npos);
  ASSERT_NE(ours.find(our_big), std::string::npos) << ours;
  ours.replace(ours.find(our_big), our_big.size(), py_big);
  EXPECT_EQ(ours, expected);
}

}  // namespace
}  // namespace img_util
