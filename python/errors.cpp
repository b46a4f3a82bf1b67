// Our exceptions as the Python exceptions a host expects from an image module.
#include "img_util/errors.hpp"

#include <cstring>
#include <string_view>

#include "binding.hpp"

namespace img_util::python {

namespace {

// The strerror part of an OSError text "[Errno 2] No such file or directory: 'x'".
std::string strerror_of(const OSError& e) {
  std::string_view text = e.what();
  const std::string prefix = "[Errno " + std::to_string(e.error_number()) + "] ";
  if (!text.starts_with(prefix)) return std::strerror(e.error_number());
  text.remove_prefix(prefix.size());
  if (!e.filename().empty()) {
    std::string suffix;
    try {
      suffix = ": " + py_repr(std::string_view(e.filename()));
    } catch (const std::exception&) {
      return std::strerror(e.error_number());
    }
    if (text.ends_with(suffix)) text.remove_suffix(suffix.size());
  }
  return std::string(text);
}

// OSError(errno, strerror, filename): Python picks the subclass (FileNotFoundError, ...).
void raise_os_error(const OSError& e) {
  py::object filename = py::none();
  if (!e.filename().empty()) filename = str_of(e.filename());
  py::object error;
  if (e.error_number() != 0) {
    error = py::reinterpret_borrow<py::object>(PyExc_OSError)(e.error_number(),
                                                              str_of(strerror_of(e)), filename);
  } else {
    // An image we cannot read or write: no system call failed, the text says why.
    error = py::reinterpret_borrow<py::object>(PyExc_OSError)(str_of(e.what()));
    error.attr("filename") = filename;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

}  // namespace

void register_errors(py::module_&) {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const PythonRaised& e) {
      e.restore();
    } catch (const KeyError& e) {
      PyErr_SetObject(PyExc_KeyError, str_of(e.key()).ptr());
    } catch (const TypeError& e) {
      PyErr_SetObject(PyExc_TypeError, str_of(e.what()).ptr());
    } catch (const ValueError& e) {
      PyErr_SetObject(PyExc_ValueError, str_of(e.what()).ptr());
    } catch (const OSError& e) {
      try {
        raise_os_error(e);
      } catch (py::error_already_set& inner) {
        inner.restore();
      }
    } catch (const Error& e) {
      PyErr_SetObject(PyExc_Exception, str_of(e.what()).ptr());
    }
  });
}

}  // namespace img_util::python
