// Placeholder until the base work lands: every function here throws.
#include <stdexcept>
#include <string>
#include "img_util/errors.hpp"
#include "img_util/images.hpp"
#include "img_util/module.hpp"
#include "img_util/value.hpp"
#include "imaging/imaging.hpp"
namespace img_util {
KeyError::KeyError(const std::string& key) : Error(key), key_(key) {}
OSError::OSError(int err, const std::string& filename) : Error(filename), errno_(err), filename_(filename) {}
OSError::OSError(int err, const std::string& filename, const std::string& message) : Error(message), errno_(err), filename_(filename) {}
OSError::OSError(const std::string& what, int err, const std::string& filename) : Error(what), errno_(err), filename_(filename) {}
const char* OSError::type_name() const noexcept { return "OSError"; }
ImageError::ImageError(const std::string& message, const std::string& filename) : OSError(message, 0, filename) {}
void throw_errno(const std::string& filename) { throw OSError(errno, filename); }
}
