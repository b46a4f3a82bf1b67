// Shared pieces of the Python module: the bridge between a host's dict and our Value, the
// Python object wrappers, and the way Python errors travel through the C++ run.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "img_util/image.hpp"
#include "img_util/value.hpp"

namespace img_util::python {

namespace py = pybind11;

// A Python error raised inside a host callback (the signal check between files, a write to
// sys.stdout, a host object's close()) while the run is in C++. It carries the Python exception
// through the C++ frames, is safe to copy and drop without the GIL, and is raised again as it
// was once the run is back in Python.
class PythonRaised : public std::exception {
 public:
  // Takes over a fetched Python error; needs the GIL.
  explicit PythonRaised(py::error_already_set error);
  const char* what() const noexcept override { return message_.c_str(); }
  // Sets the carried exception as the pending Python error; needs the GIL. Once only.
  void restore() const;
  // Whether the carried exception is an instance of `type`; needs the GIL.
  bool matches(py::handle type) const { return error_.matches(type); }

 private:
  py::error_already_set error_;
  std::string message_;
};

// Runs `fn` with the GIL held from C++ code that runs without it; a Python error becomes
// PythonRaised.
template <class Fn>
auto with_gil(Fn&& fn) {
  py::gil_scoped_acquire gil;
  try {
    return fn();
  } catch (py::error_already_set& e) {
    throw PythonRaised(std::move(e));
  }
}

// Text as a Python str and back. File names need not be UTF-8, so undecodable bytes travel
// as lone surrogates (surrogateescape), as os.fsdecode does.
std::string utf8_of(py::handle str);
py::str str_of(const std::string& text);

// A file-system path argument: str, bytes or os.PathLike, as the os module accepts it.
struct PathArg {
  std::string bytes;  // the path as the file system sees it
  bool is_bytes = false;
  py::object object;  // what the caller passed
};
PathArg path_arg(py::handle o);
// `text` in the caller's flavour of path: bytes for a bytes argument, else str.
py::object path_like(const PathArg& like, const std::string& text);

// A host value we carry without looking into it. Holds a reference to the Python object; its
// type name is taken when it is wrapped, so JSON errors can name it without the GIL.
class PyHandle : public Handle {
 public:
  explicit PyHandle(py::handle obj);
  ~PyHandle() override;
  // The driver closes what it finds under `zfile`: a host may have put its own archive there.
  void close() override;
  std::string type_name() const override { return type_name_; }
  py::object object() const { return obj_; }

 private:
  py::object obj_;
  std::string type_name_;
};

// The Python face of a C++ handle we created (the open backup archive under `zfile`).
struct HandleBox {
  std::shared_ptr<Handle> handle;
};

// How a host value is seen: for running an operation (sets and tuples readable as lists,
// dicts with keys other than str show only their str keys) or for the run log's JSON (exactly
// what json.dumps would accept).
enum class Purpose { Run, Json };

// Converts a host dict into a Value and, after the operation, writes every change the
// operation made back into the same Python objects: keys added, removed or replaced in place,
// lists appended to, new objects created for new values. What did not change keeps its
// identity, and keys keep their order unless the operation removed and re-added them.
class DictBridge {
 public:
  // `root` must be a dict; raises TypeError otherwise, naming `what`.
  DictBridge(py::handle root, Purpose purpose, const char* what);
  const Value& value() const { return root_; }
  // Writes the changes back; needs the GIL.
  void sync();
  // Raises TypeError when the operation changed a tuple or set of the host's, which has no
  // way back into it. Called after a sync of an operation that returned normally.
  void check_nothing_lost() const;

 private:
  struct Container {
    py::object object;
    Value value;                      // the List or Dict the operations see
    bool writable = false;            // false for tuples, sets and foreign mappings
    std::vector<std::string> keys;    // dict: the str keys as they were, in order
    std::vector<Value> values;        // their values (or the list items) as they were
    std::vector<py::object> objects;  // the Python objects behind `values`
  };

  Value convert(py::handle o);
  Value convert_dict(py::handle o);
  Value convert_sequence(py::handle o, bool writable);
  std::string json_key(py::handle key);
  py::object to_python(const Value& now, const Value* before, py::handle before_object);
  py::object fresh(const Value& v);
  void sync_container(Container& c);
  void sync_dict(Container& c);
  void sync_list(Container& c);
  Container* find(const void* container);

  Purpose purpose_;
  Value root_;
  std::vector<std::unique_ptr<Container>> containers_;
  std::unordered_map<PyObject*, Value> seen_;             // shared sub-objects stay shared
  std::unordered_set<PyObject*> open_;                    // being converted (cycle guard)
  std::unordered_map<const void*, Container*> by_value_;  // List/Dict address -> container
  std::unordered_set<Container*> synced_;
  std::string lost_change_;  // type name of a read-only container the operation changed
};

// Python type name of `o` (type(o).__name__).
std::string python_type_name(py::handle o);

// Registers the exception translation and the Image and archive classes.
void register_errors(py::module_& m);
void register_image(py::module_& m);
void register_handle(py::module_& m);

// An `im` argument: None or an img_util.Image.
ImagePtr image_arg(py::handle o);
// An operation's image result; when it hands back the image it was given, the caller gets
// back the very object it passed (a Pillow image included).
py::object image_result(const ImagePtr& im, const ImagePtr& given = nullptr,
                        py::handle given_object = py::handle());

}  // namespace img_util::python
