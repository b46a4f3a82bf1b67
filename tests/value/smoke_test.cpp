#include <gtest/gtest.h>
#include "img_util/image.hpp"
TEST(Smoke, MadeImageHasItsSize) {
  img_util::Image im(img_util::Mode::RGBA, 3, 2);
  EXPECT_EQ(im.pixels().size(), 24u);
}
