// Exceptions of img_util. They mirror what a Python host would see, so that the
// Python module can map each one to the matching built-in exception and the CLI
// can print "Type: message" as a traceback's last line would.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace img_util {

// Base of every error we raise ourselves; `type_name()` is the Python class name.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* type_name() const noexcept { return "Exception"; }
};

// A required configuration key is missing. what() is the key in Python's repr ('key').
class KeyError : public Error {
 public:
  explicit KeyError(const std::string& key);
  const std::string& key() const noexcept { return key_; }
  const char* type_name() const noexcept override { return "KeyError"; }

 private:
  std::string key_;
};

// A value has the wrong type for what is done with it (a text compared with a number, ...).
class TypeError : public Error {
 public:
  using Error::Error;
  const char* type_name() const noexcept override { return "TypeError"; }
};

// A value of the right type is out of range or malformed (a bad colour, an unknown extension).
class ValueError : public Error {
 public:
  using Error::Error;
  const char* type_name() const noexcept override { return "ValueError"; }
};

// A file-system failure. what() reads like Python's: "[Errno 2] No such file or directory: 'x'".
class OSError : public Error {
 public:
  OSError(int err, const std::string& filename);
  // The same with `message` in place of the errno text: "[Errno N] message: 'x'".
  OSError(int err, const std::string& filename, const std::string& message);
  int error_number() const noexcept { return errno_; }
  const std::string& filename() const noexcept { return filename_; }
  const char* type_name() const noexcept override;

 protected:
  OSError(const std::string& what, int err, const std::string& filename);

 private:
  int errno_;
  std::string filename_;
};

// The file is no image we can identify, decode or encode. A kind of OSError, as in Pillow,
// so the input/output-error fallbacks catch it. errno is 0 unless a system call failed.
class ImageError : public OSError {
 public:
  explicit ImageError(const std::string& message, const std::string& filename = "");
  const char* type_name() const noexcept override { return "OSError"; }
};

// The bytes are no image format we know at all (Pillow's UnidentifiedImageError, also an
// OSError): unlike a damaged image, not a failure to read an image.
class UnidentifiedImageError : public ImageError {
 public:
  using ImageError::ImageError;
};

// The run log database failed (cannot be opened, locked too long, a statement failed).
class DatabaseError : public Error {
 public:
  using Error::Error;
  const char* type_name() const noexcept override { return "OperationalError"; }
};

// Throws OSError for the current errno and `filename`.
[[noreturn]] void throw_errno(const std::string& filename);

// "Type: message" for an exception, as a traceback's last line names it ("OSError: [Errno 2]
// ..."); anything that is not one of ours is an "Exception".
std::string describe_exception(const std::exception_ptr& e);

}  // namespace img_util
