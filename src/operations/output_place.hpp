// Where the writers put a processed file: the target that get_save_path names, with its
// directory opened so that no name on the way can lead out of its tree.
#pragma once

#include <string>

#include "support/atomic_file.hpp"

namespace img_util {

class Value;

// Writing in place (no `outpath`), a source that is a symbolic link is written through only
// when its final target lies inside `folder`. Throws OSError naming the link and where it
// points otherwise, so the pipelines can leave such a file alone before its backup.
void refuse_link_leaving_folder(const std::string& fpath, const Value& cfg);

// The path of `fpath`'s target, worked out from the texts alone (nothing is made or opened).
// Throws as output_place does for a name that would lead out of the output tree.
std::string target_path(const std::string& fpath, const Value& cfg);

// Raises what output_place would raise for `fpath` in a run that makes nothing: a file at the
// top of the tree needs the output folder to be there (deeper ones make their folders).
void check_place(const std::string& fpath, const Value& cfg);

// The target of `fpath` (the path get_save_path returns), its directory opened without
// following links below `outpath`, or, in place, the source's directory (a symbolic link's
// target directory below `folder`, under the rule above). Creates the mirrored directories as
// get_save_path does. Throws OSError naming the path that refused.
FilePlace output_place(const std::string& fpath, const Value& cfg);

}  // namespace img_util
