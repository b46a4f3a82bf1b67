// JPEGs written by libjpeg itself, with options our encoder does not offer (CMYK, progressive
// scripts, restart markers, chroma sampling), for the decoder tests.
#pragma once

#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace img_util::test {

// `rows(y)` gives row y of `components` bytes a pixel in `space`; `adjust` may change libjpeg's
// settings after its defaults, quality 95 and, when asked, its standard progression.
inline std::string libjpeg_file(int w, int h, int components, J_COLOR_SPACE space, bool progressive,
                                const std::function<const unsigned char*(int)>& rows,
                                const std::function<void(jpeg_compress_struct&)>& adjust = {}) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = components;
  c.in_color_space = space;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  if (adjust) adjust(c);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    // libjpeg takes non-const rows but only reads them.
    auto* r = const_cast<unsigned char*>(rows(static_cast<int>(c.next_scanline)));
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string out(reinterpret_cast<char*>(buf), size);
  std::free(buf);
  return out;
}

}  // namespace img_util::test
