// Module values that come from the process itself.
#include "img_util/module.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "helpers.hpp"

namespace img_util::test {
namespace {

// Starts this test binary again with one extra argument; the child checks debug() against
// what the parent expects.
TEST(ModuleDebug, OnlyAnArgumentExactlyDebugSwitchesItOn) {
  if (const char* expect = std::getenv("IMG_UTIL_EXPECT_DEBUG")) {
    EXPECT_EQ(debug(), std::string(expect) == "1");
    return;
  }
  const struct {
    const char* arg;
    const char* expect;
  } cases[] = {{"--debug", "1"}, {"--debugging", "0"}, {"-debug", "0"}, {"debug", "0"}};
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  for (const auto& c : cases) {
    const std::string cmd = std::string("IMG_UTIL_EXPECT_DEBUG=") + c.expect + " " +
                            shell_quote(self) + " --gtest_filter=ModuleDebug.* " + c.arg +
                            " >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << c.arg;
  }
}

}  // namespace
}  // namespace img_util::test
