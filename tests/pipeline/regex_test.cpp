#include "support/regex.hpp"

#include <gtest/gtest.h>

#include "img_util/errors.hpp"

namespace img_util {
namespace {

TEST(Regex, CompiledOncePerPatternText) {
  auto a = cached_regex("\\.jpe?g$");
  auto b = cached_regex("\\.jpe?g$");
  auto c = cached_regex("\\.png$");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
}

TEST(Regex, CaseInsensitiveUnanchoredSearch) {
  struct Case {
    const char* pattern;
    std::string subject;
    bool found;
  } cases[] = {
      {"\\.jpe?g$", "PHOTO.JPEG", true},
      {"\\.jpe?g$", "photo.jpeg.bak", false},
      {"thumb", "my_Thumb_01.png", true},
      {"^thumb", "my_thumb.png", false},
      {"ÄRGER", "ärger.png", true},
      {"\\.png$", std::string("bad\xff\xfe name.png"), true},
      {"\\.jpg$", std::string("bad\xff name.png"), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cached_regex(c.pattern)->search(c.subject), c.found) << c.pattern << " " << c.subject;
}

TEST(Regex, InvalidPatternNamesItselfAndThePosition) {
  try {
    Regex r("a(b");
    FAIL() << "no error";
  } catch (const ValueError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("'a(b'"), std::string::npos) << what;
    EXPECT_NE(what.find("position 3"), std::string::npos) << what;
  }
}

}  // namespace
}  // namespace img_util
