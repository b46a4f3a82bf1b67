// Exception texts as a Python host prints them.
#include "img_util/errors.hpp"

#include <cerrno>
#include <cstring>

#include "img_util/value.hpp"

namespace img_util {

namespace {
std::string os_text(int err, const std::string& filename, const std::string& message) {
  std::string out = "[Errno " + std::to_string(err) + "] " + message;
  if (!filename.empty()) out += ": " + py_repr(std::string_view(filename));
  return out;
}
}  // namespace

KeyError::KeyError(const std::string& key) : Error(py_repr(std::string_view(key))), key_(key) {}

OSError::OSError(int err, const std::string& filename)
    : Error(os_text(err, filename, std::strerror(err))), errno_(err), filename_(filename) {}

OSError::OSError(int err, const std::string& filename, const std::string& message)
    : Error(os_text(err, filename, message)), errno_(err), filename_(filename) {}

OSError::OSError(const std::string& what, int err, const std::string& filename)
    : Error(what), errno_(err), filename_(filename) {}

// The subclass Python raises for this errno, so messages read as a traceback would.
const char* OSError::type_name() const noexcept {
  switch (errno_) {
    case ENOENT: return "FileNotFoundError";
    case EEXIST: return "FileExistsError";
    case EACCES:
    case EPERM: return "PermissionError";
    case EISDIR: return "IsADirectoryError";
    case ENOTDIR: return "NotADirectoryError";
    case EAGAIN: return "BlockingIOError";
    case EINTR: return "InterruptedError";
    case ECHILD: return "ChildProcessError";
    case ESRCH: return "ProcessLookupError";
    case ETIMEDOUT: return "TimeoutError";
    default: return "OSError";
  }
}

ImageError::ImageError(const std::string& message, const std::string& filename)
    : OSError(message, 0, filename) {}

void throw_errno(const std::string& filename) {
  const int err = errno;
  throw OSError(err, filename);
}

std::string describe_exception(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const Error& err) {
    return std::string(err.type_name()) + ": " + err.what();
  } catch (const std::exception& err) {
    return std::string("Exception: ") + err.what();
  } catch (...) {
    return "Exception: unknown error";
  }
}

}  // namespace img_util
