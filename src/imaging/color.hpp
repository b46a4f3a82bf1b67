// Colour names and notations, read the way the host's image library reads them.
#pragma once

#include <string_view>

#include "img_util/image.hpp"

namespace img_util::imaging {

// Parses "#rgb", "#rgba", "#rrggbb", "#rrggbbaa", "rgb(r, g, b)", "rgb(r%, g%, b%)",
// "rgba(r, g, b, a)", "hsl(h, s%, l%)", "hsv(h, s%, v%)" / "hsb(...)" and the 148 CSS colour
// names, in any letter case. Colours without alpha are opaque; components above 255 are
// clipped. Throws ValueError naming the text for anything else.
Rgba parse_color(std::string_view notation);

}  // namespace img_util::imaging
