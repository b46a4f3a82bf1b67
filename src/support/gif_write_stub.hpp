// TEMPORARY (gif helper): stands in for support/atomic_file until that lands on main; delete then
// and call the real writer from doing_gif.cpp and gifsicle.cpp.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace img_util::support::gif_stub {

// Writes the chunks, in order, as the whole new content of `path` through a temporary file in
// the same directory and a rename; an existing file keeps its permission bits and a symbolic
// link is written through to its target. Throws OSError; on failure `path` is as it was.
void write_chunks_atomically(const std::string& path, std::initializer_list<std::string_view> chunks);

}  // namespace img_util::support::gif_stub
