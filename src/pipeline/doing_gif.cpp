// doing_gif: one file whose name ends in ".gif".
//
// A still GIF (or a file that only carries the name) goes to the still-image pipeline. An
// animated GIF is taken apart frame by frame, each frame compressed and watermarked, and put back
// together into the scratch GIF, which becomes the target with its processed marker.
#include <exception>
#include <string>

#include "img_util/errors.hpp"
#include "img_util/image.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"

namespace img_util {

void IMAGES::doing_gif(const std::string& fpath, const Value& cfg, const std::string& mode) {
  (void)mode;
  if (!check(fpath, cfg)) return;
  note_file_selected();

  // Whatever stops the file from opening (missing, unreadable, not an image) means there is
  // nothing to do with it: no backup, no line.
  ImagePtr im;
  try {
    im = Image::open(fpath);
  } catch (const std::exception&) {
    return;
  }

  if (!im->is_animated()) {
    im.reset();
    doing(fpath, cfg, /*use_check=*/false);
    return;
  }

  throw ValueError("animated GIF processing is not available yet: '" + fpath + "'");
}

}  // namespace img_util
