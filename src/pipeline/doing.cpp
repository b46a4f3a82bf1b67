// The still-image pipeline: select, back up the untouched source, compress, watermark, write.
// The order is the behaviour: the archive must receive the original bytes, the watermark goes
// onto the compressed pixels, and the file is written once, at the end.
#include <string>

#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "operations/output_place.hpp"

namespace img_util {

void IMAGES::doing(const std::string& fpath, const Value& cfg, bool use_check, bool use_back) {
  if (use_check) {
    if (!check(fpath, cfg)) return;
    note_file_selected();
  }
  refuse_link_leaving_folder(fpath, cfg);
  if (debug()) print_line(tuple_line({fpath, "start", "."}));

  if (use_back) backup(fpath, cfg);

  ImagePtr im = compress(fpath, cfg);

  if (num_eq(cfg.at("maskmode"), 2)) {
    im = watermark_word(fpath, cfg, im);
  } else if (num_eq(cfg.at("maskmode"), 3)) {
    im = watermark_pic(fpath, cfg, im);
  }

  if (im) save(fpath, cfg, im);
}

}  // namespace img_util
