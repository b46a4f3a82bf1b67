// watermark_pic: a configured picture (typically a logo with alpha) stamped once onto the
// image: optionally scaled relative to the image, optionally made more transparent, placed in
// one of five positions with margins, and blended over the image by its own alpha.
#include "operations/watermark_pic.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "imaging/imaging.hpp"
#include "imaging/text.hpp"
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/count.hpp"
#include "operations/watermark_common.hpp"

namespace img_util {
namespace watermark {

std::optional<std::pair<int, int>> scaled_size(int image_x, int image_y, int mark_x, int mark_y,
                                               double scale) {
  const double factor = std::max(image_y / (scale * mark_y), image_x / (scale * mark_x));
  if (!(factor > 0)) return std::nullopt;
  const double w = std::trunc(mark_x * factor), h = std::trunc(mark_y * factor);
  if (!(w >= 1 && h >= 1 && w * h <= static_cast<double>(pixel_limit())))
    throw ValueError("scaling the watermark picture by 'maskscale' " + std::to_string(scale) +
                     " gives an unusable size");
  return std::pair<int, int>{static_cast<int>(w), static_cast<int>(h)};
}

Image scale_alpha(Image mark, double opacity, const std::string& path) {
  if (mark.mode() != Mode::RGBA)
    throw ValueError("cannot apply 'maskopacity' to the watermark picture '" + path +
                     "': it has no alpha band (mode " + mode_name(mark.mode()) + ")");
  // Single precision, truncated: the host library's band blend toward black.
  const float f = static_cast<float>(opacity);
  std::vector<uint8_t>& px = mark.pixels();
  for (size_t k = 3; k < px.size(); k += 4)
    px[k] = static_cast<uint8_t>(0 + f * static_cast<int>(px[k]));
  return mark;
}

Placement place(const std::string& markpos, int image_x, int image_y, int mark_x, int mark_y,
                int64_t margin_x, int64_t margin_y) {
  const int64_t ix = image_x, iy = image_y, mx = mark_x, my = mark_y;
  auto floor_half = [](int64_t v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); };
  if (markpos.empty() || markpos == "rightbottom") return {ix - mx - margin_x, iy - my - margin_y};
  if (markpos == "leftbottom") return {margin_x, iy - my - margin_y};
  if (markpos == "lefttop") return {margin_x, margin_y};
  if (markpos == "righttop") return {ix - mx - margin_x, margin_y};
  // Half a pixel of slack goes to the left and top.
  if (markpos == "center") return {floor_half(ix - mx) - margin_x, floor_half(iy - my) - margin_y};
  throw ValueError("unknown watermark position 'markpos': '" + markpos +
                   "' (expected rightbottom, leftbottom, lefttop, righttop or center)");
}

Image blend_picture(Image out, const Image& mark_rgba, Placement pos) {
  out.pixels();  // decoded here, not inside the threads
  mark_rgba.pixels();
  const int64_t x0 = std::max<int64_t>(pos.x, 0),
                x1 = std::min<int64_t>(pos.x + mark_rgba.width(), out.width());
  const int64_t y0 = std::max<int64_t>(pos.y, 0),
                y1 = std::min<int64_t>(pos.y + mark_rgba.height(), out.height());
  if (x0 >= x1 || y0 >= y1) return out;
  split_rows(static_cast<int>(y1 - y0), static_cast<double>(x1 - x0) * static_cast<double>(y1 - y0),
             [&](int r0, int r1, int) {
               for (int64_t y = y0 + r0; y < y0 + r1; ++y) {
                 uint8_t* o = out.row(static_cast<int>(y)) + x0 * 4;
                 const uint8_t* m = mark_rgba.row(static_cast<int>(y - pos.y)) + (x0 - pos.x) * 4;
                 for (int64_t x = x0; x < x1; ++x, o += 4, m += 4) {
                   // Every band, alpha included, moves toward the picture by the picture's alpha.
                   const uint8_t a = m[3];
                   if (a == 0) continue;
                   if (a == 255) {
                     o[0] = m[0], o[1] = m[1], o[2] = m[2], o[3] = 255;
                     continue;
                   }
                   for (int c = 0; c < 4; ++c) o[c] = imaging::blend255(a, o[c], m[c]);
                 }
               }
             });
  return out;
}

namespace {

int64_t margin(const Value& cfg, const char* key) {
  Value v = cfg.get(key);
  if (!v.truthy()) return 0;
  if (v.is_float()) {
    double d = v.as_number();
    if (d != std::trunc(d) || std::fabs(d) > 1e12)
      throw ValueError(std::string("'") + key + "' must be a whole number of pixels, not " +
                       py_repr(v));
    return static_cast<int64_t>(d);
  }
  if (!v.is_int() && !v.is_bool())
    throw TypeError(std::string("'") + key + "' must be a number of pixels, not '" + v.type_name() +
                    "'");
  return std::clamp<int64_t>(v.as_int(), -(int64_t{1} << 40), int64_t{1} << 40);
}

}  // namespace
}  // namespace watermark

ImagePtr IMAGES::watermark_pic(const std::string& fpath, const Value& cfg, ImagePtr im,
                               bool iscount) {
  // A file that is no image is no watermark, and no error; one that cannot be read fails.
  if (!im && !(im = Image::open_if_image(fpath))) {
    note_unchanged("not an image");
    return nullptr;
  }
  im->load();  // damaged pixel data is an error of this file, unlike an unreadable header
  const int image_x = im->width(), image_y = im->height();

  const std::string mark_path = watermark::path_value(cfg.at("maskimgPath"), "maskimgPath");
  ImagePtr opened = Image::open(mark_path);
  opened->load();
  Image mark = *opened;

  Value scale_v = cfg.get("maskscale");
  if (scale_v.truthy()) {
    if (auto size = watermark::scaled_size(image_x, image_y, mark.width(), mark.height(),
                                           scale_v.as_number())) {
      const auto [w, h] = *size;
      if (w != mark.width() || h != mark.height()) mark = imaging::resize(mark, w, h);
    }
  }

  Value opacity_v = cfg.get("maskopacity");
  const double opacity = (opacity_v.truthy() ? opacity_v.as_number() : 0.0) / 100.0;
  if (opacity > 0 && opacity < 0.99)
    mark = watermark::scale_alpha(std::move(mark), opacity, mark_path);

  Value pos_v = cfg.get("markpos");
  std::string markpos;
  if (pos_v.truthy()) {
    if (!pos_v.is_text())
      throw ValueError("unknown watermark position 'markpos': " + py_repr(pos_v));
    markpos = pos_v.as_text();
  }
  const watermark::Placement pos =
      watermark::place(markpos, image_x, image_y, mark.width(), mark.height(),
                       watermark::margin(cfg, "marginx"), watermark::margin(cfg, "marginy"));

  Image out =
      mark.mode() == Mode::RGBA
          ? watermark::blend_picture(watermark::to_rgba(*im), mark, pos)
          : watermark::blend_picture(watermark::to_rgba(*im), watermark::to_rgba(mark), pos);
  watermark::keep_metadata(*im, out);
  if (iscount) count_one(cfg, "maskcount");
  return std::make_shared<Image>(std::move(out));
}

}  // namespace img_util
