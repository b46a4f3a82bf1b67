// Pillow (Debian's python3-pil) as the reference for pixel operations: images made in code
// are handed over as raw bytes, a Python expression runs on them, the result comes back.
#pragma once

#include <string>
#include <vector>

#include "img_util/image.hpp"

namespace img_util::test {

// Whether /usr/bin/python3 can import PIL; tests skip themselves when it cannot.
bool pillow_available();

// Runs `code` with `ins` (a list of PIL images made from `inputs`; a P input gets its palette
// and info["transparency"]) and `Image` in scope; the code assigns the result to `out`.
// Throws std::runtime_error with Python's error output when the script fails.
Image pillow(const std::string& code, const std::vector<const Image*>& inputs);

// Deterministic noise image; P images get a palette of `palette_size` random entries.
Image random_image(Mode mode, int width, int height, unsigned seed, int palette_size = 16);

// Largest per-byte difference; -1 when modes or sizes differ.
int max_difference(const Image& a, const Image& b);
// PSNR in dB over all bytes of two images of one mode and size (99 when identical).
double psnr(const Image& a, const Image& b);
// The pixels as a grid of hex bytes, for failure messages (small images only).
std::string hex_grid(const Image& im);

}  // namespace img_util::test
