#include "operations/marker.hpp"

#include <gtest/gtest.h>

#include "img_util/errors.hpp"
#include "support/fixtures.hpp"

namespace img_util {
namespace {

using test::TempDir;
using test::write_file;

TEST(Marker, ChosenByNumericEqualityOfMaskmodeWithOne) {
  struct Case {
    Value maskmode;
    std::string_view marker;
  } cases[] = {{1, "Amask"}, {1.0, "Amask"}, {true, "Amask"}, {"1", "Bmask"},
               {2, "Bmask"}, {3, "Bmask"},   {0, "Bmask"},    {Value(), "Bmask"}};
  for (const auto& c : cases) {
    Value cfg = Value::dict();
    cfg.set("maskmode", c.maskmode);
    EXPECT_EQ(marker_for(cfg), c.marker) << py_repr(c.maskmode);
  }
}

TEST(Marker, MissingMaskmodeIsAKeyError) {
  Value cfg = Value::dict();
  EXPECT_THROW(marker_for(cfg), KeyError);
}

TEST(Marker, ReadsTheLastFiveBytesOrTheWholeShortFile) {
  TempDir dir;
  struct Case {
    std::string content, tail;
  } cases[] = {{"", ""},
               {"abc", "abc"},
               {"Amask", "Amask"},
               {std::string("\xff\xd9", 2) + "Bmask", "Bmask"},
               {std::string(100000, 'x') + "Cmask", "Cmask"}};
  for (const auto& c : cases) {
    std::string path = dir / "f";
    write_file(path, c.content);
    EXPECT_EQ(read_marker(path), c.tail) << c.content.size();
  }
  EXPECT_THROW(read_marker(dir / "missing"), OSError);
}

}  // namespace
}  // namespace img_util
