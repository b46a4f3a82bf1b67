// The Python module `img_util`: the class IMAGES with every operation under the names and
// parameters a plugin host calls, working on the host's own dict.
#include "img_util/module.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "img_util/images.hpp"

namespace img_util::python {

using namespace pybind11::literals;

namespace {

// Name under which this module was imported, so an operation can read `_debug` as the host
// left it (a host may switch progress lines on after the import, as with a pure module).
std::string& module_name() {
  static std::string name;
  return name;
}

void follow_debug_switch() {
  py::object module = py::module_::import(module_name().c_str());
  set_debug(py::bool_(module.attr("_debug")));
}

// A KeyboardInterrupt (or SystemExit) that Python raised in a callback in the middle of a
// file, waiting for the next point between files: raising it there would make it look like a
// failure of that one file, which `jumperr` would skip over.
std::optional<PythonRaised>& pending_abort() {
  thread_local std::optional<PythonRaised> pending;
  return pending;
}

[[noreturn]] void raise_pending_abort() {
  PythonRaised abort = std::move(*pending_abort());
  pending_abort().reset();
  throw abort;
}

// Runs an operation without the GIL, so a host's other threads keep running meanwhile. A stop
// requested during the operation wins over its result or its error.
template <class Fn>
auto released(Fn&& fn) {
  follow_debug_switch();
  try {
    if constexpr (std::is_void_v<decltype(fn())>) {
      {
        py::gil_scoped_release unlocked;
        fn();
      }
      if (pending_abort()) raise_pending_abort();
    } else {
      auto out = [&] {
        py::gil_scoped_release unlocked;
        return fn();
      }();
      if (pending_abort()) raise_pending_abort();
      return out;
    }
  } catch (const PythonRaised&) {
    throw;
  } catch (...) {
    if (pending_abort()) raise_pending_abort();
    throw;
  }
}

// Runs an operation on the host's dict and writes the changes back, also when it raised.
template <class Fn>
auto on_dict(py::handle cfg, Fn&& fn) {
  DictBridge bridge(cfg, Purpose::Run, "cfg");
  using R = decltype(fn(bridge.value()));
  auto run = [&] {
    try {
      return released([&] { return fn(bridge.value()); });
    } catch (...) {
      bridge.sync();
      throw;
    }
  };
  if constexpr (std::is_void_v<R>) {
    run();
    bridge.sync();
    bridge.check_nothing_lost();
  } else {
    R out = run();
    bridge.sync();
    bridge.check_nothing_lost();
    return out;
  }
}

bool truth(py::handle o) { return PyObject_IsTrue(o.ptr()) == 1; }

// The run was stopped from outside (Ctrl-C, SystemExit): complete the backup archive now, as
// the host is on its way out. The key stays in cfg, as after any run that raised.
void complete_archive_on_abort(const Value& cfg) {
  const Value* zfile = cfg.as_dict().find("zfile");
  if (!zfile || !zfile->is_handle()) return;
  try {
    py::gil_scoped_release unlocked;
    zfile->as_handle()->close();
  } catch (const std::exception& e) {
    PySys_WriteStderr("img_util: the backup archive could not be completed: %.500s\n", e.what());
  }
}

void execute(IMAGES& self, py::handle cfg) {
  DictBridge bridge(cfg, Purpose::Run, "cfg");
  try {
    released([&] { self.execute(bridge.value()); });
  } catch (const PythonRaised& e) {
    if (!e.matches(PyExc_Exception)) complete_archive_on_abort(bridge.value());
    bridge.sync();
    throw;
  } catch (...) {
    bridge.sync();
    throw;
  }
  bridge.sync();
  bridge.check_nothing_lost();
}

void set_plugin_directory(py::module_& m, const std::string& dir) {
  img_util::set_plugin_dir(dir);
  m.attr("basedir") = str_of(img_util::basedir());
  m.attr("plugin_path") = str_of(img_util::plugin_path());
  py::object cls = m.attr("IMAGES");
  cls.attr("backdir") = str_of(IMAGES::backdir());
  cls.attr("tmpPath") = str_of(IMAGES::tmpPath());
}

// The module's own lines go to the host's sys.stdout, so a host that redirects it sees them,
// in the order the module writes them.
void write_to_python_stdout(const std::string& line) {
  py::gil_scoped_acquire gil;
  try {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) return;
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    if (!text) throw py::error_already_set();
    py::handle stream(out);
    stream.attr("write")(text);
    stream.attr("write")("\n");
  } catch (py::error_already_set& e) {
    PythonRaised raised(std::move(e));
    if (raised.matches(PyExc_Exception)) throw raised;
    if (!pending_abort()) pending_abort().emplace(std::move(raised));
  }
}

// Between files: let Python run its signal handlers; Ctrl-C raises KeyboardInterrupt there,
// which stops the run before the next file.
void check_signals() {
  py::gil_scoped_acquire gil;
  if (pending_abort()) raise_pending_abort();
  if (PyErr_CheckSignals() != 0) throw PythonRaised(py::error_already_set());
}

bool debug_in_argv() {
  py::object sys = py::module_::import("sys");
  if (!py::hasattr(sys, "argv")) return false;
  for (py::handle arg : sys.attr("argv")) {
    if (PyUnicode_Check(arg.ptr()) && utf8_of(arg) == "--debug") return true;
  }
  return false;
}

void define_images(py::module_& m) {
  py::class_<IMAGES> cls(m, "IMAGES",
                         "Every operation of the image tool. Create it without arguments and "
                         "call execute(cfg), then save_db(cfg). All run state lives in cfg.");
  cls.def(py::init<>());

  cls.def_static(
      "get_size",
      [](py::object file) {
        const PathArg p = path_arg(file);
        return released([&] { return IMAGES::get_size(p.bytes); });
      },
      "file"_a, "Size of the file in KiB (bytes / 1024).");

  cls.def(
      "backup",
      [](IMAGES& self, py::object fpath, py::object cfg) {
        const PathArg p = path_arg(fpath);
        on_dict(cfg, [&](const Value& v) { self.backup(p.bytes, v); });
      },
      "fpath"_a, "cfg"_a, "Records the file in result['files'] and, with isbackup, archives it.");

  cls.def_static(
      "check",
      [](py::object fpath, py::object cfg, py::object checkTemp, py::object checkTime) {
        const PathArg p = path_arg(fpath);
        const bool temp = truth(checkTemp), time = truth(checkTime);
        const bool ok =
            on_dict(cfg, [&](const Value& v) { return IMAGES::check(p.bytes, v, temp, time); });
        // A rejection is None, an acceptance True, as hosts of a pure module see them.
        return ok ? py::object(py::bool_(true)) : py::object(py::none());
      },
      "fpath"_a, "cfg"_a, "checkTemp"_a = 1, "checkTime"_a = 1, "Whether the file qualifies.");

  cls.def_static(
      "compress",
      [](py::object fpath, py::object cfg, py::object im, py::object iscount) {
        const PathArg p = path_arg(fpath);
        ImagePtr in = image_arg(im);
        const bool count = truth(iscount);
        return image_result(
            on_dict(cfg, [&](const Value& v) { return IMAGES::compress(p.bytes, v, in, count); }),
            in, im);
      },
      "fpath"_a, "cfg"_a, "im"_a = py::none(), "iscount"_a = 1,
      "Downscales and re-encodes towards the size target; None when there is nothing to write.");

  using Watermark = ImagePtr (IMAGES::*)(const std::string&, const Value&, ImagePtr, bool);
  auto watermark = [](Watermark op) {
    return [op](IMAGES& self, py::object fpath, py::object cfg, py::object im, py::object iscount) {
      const PathArg p = path_arg(fpath);
      ImagePtr in = image_arg(im);
      const bool count = truth(iscount);
      return image_result(
          on_dict(cfg, [&](const Value& v) { return (self.*op)(p.bytes, v, in, count); }), in, im);
    };
  };
  cls.def("watermark_word", watermark(&IMAGES::watermark_word), "fpath"_a, "cfg"_a,
          "im"_a = py::none(), "iscount"_a = 1,
          "Tiled diagonal text watermark; None when the file cannot be opened.");
  cls.def("watermark_pic", watermark(&IMAGES::watermark_pic), "fpath"_a, "cfg"_a,
          "im"_a = py::none(), "iscount"_a = 1,
          "Picture watermark; None when the file cannot be opened.");

  cls.def(
      "gifsicle",
      [](IMAGES& self, py::object fpath, py::object cfg) {
        const PathArg p = path_arg(fpath);
        on_dict(cfg, [&](const Value& v) { self.gifsicle(p.bytes, v); });
      },
      "fpath"_a, "cfg"_a, "Lossy pass of an animated GIF through the gifsicle tool.");

  cls.def_static(
      "get_save_path",
      [](py::object fpath, py::object cfg) {
        const PathArg p = path_arg(fpath);
        auto [name, path] =
            on_dict(cfg, [&](const Value& v) { return IMAGES::get_save_path(p.bytes, v); });
        return py::make_tuple(path_like(p, name), path_like(p, path));
      },
      "fpath"_a, "cfg"_a, "(file name, target path) of the file's output.");

  cls.def_static(
      "save",
      [](py::object fpath, py::object cfg, py::object im) {
        const PathArg p = path_arg(fpath);
        ImagePtr in = image_arg(im);
        on_dict(cfg, [&](const Value& v) { IMAGES::save(p.bytes, v, in); });
      },
      "fpath"_a, "cfg"_a, "im"_a, "Writes the image to its target path with the processed marker.");

  cls.def(
      "doing",
      [](IMAGES& self, py::object fpath, py::object cfg, py::object use_check,
         py::object use_back) {
        const PathArg p = path_arg(fpath);
        const bool checked = truth(use_check), backed = truth(use_back);
        on_dict(cfg, [&](const Value& v) { self.doing(p.bytes, v, checked, backed); });
      },
      "fpath"_a, "cfg"_a, "use_check"_a = 1, "use_back"_a = 1, "The still-image pipeline.");

  cls.def(
      "doing_gif",
      [](IMAGES& self, py::object fpath, py::object cfg, const std::string& mode) {
        const PathArg p = path_arg(fpath);
        on_dict(cfg, [&](const Value& v) { self.doing_gif(p.bytes, v, mode); });
      },
      "fpath"_a, "cfg"_a, "mode"_a = "jpg", "The GIF pipeline.");

  cls.def(
      "enpath",
      [](IMAGES& self, py::object path) -> py::object {
        // Whatever makes the path unusable (wrong type, NUL byte, no such entry) gives "".
        PathArg p;
        try {
          p = path_arg(path);
        } catch (py::error_already_set&) {
          return py::str("");
        } catch (const std::exception&) {
          return py::str("");
        }
        const std::string usable = released([&] { return self.enpath(p.bytes); });
        if (usable.empty()) return py::str("");
        return p.object;
      },
      "path"_a, "The path when it names a reachable entry, else ''.");

  cls.def("execute", &execute, "cfg"_a,
          "Runs over cfg['folder']; cfg is updated in place, also when the run raises.");

  cls.def(
      "save_db",
      [](IMAGES& self, py::object d) {
        DictBridge bridge(d, Purpose::Json, "d");
        released([&] { self.save_db(bridge.value()); });
      },
      "d"_a, "Appends the finished run's row to the run log.");

  cls.attr("backdir") = str_of(IMAGES::backdir());
  cls.attr("tmpPath") = str_of(IMAGES::tmpPath());
  cls.attr("allmaxsize") = IMAGES::allmaxsize;
}

}  // namespace

}  // namespace img_util::python

PYBIND11_MODULE(img_util, m) {
  namespace py = pybind11;
  using namespace img_util::python;
  m.doc() = "img_util: compresses and watermarks the images of a folder, keeping backups.";
  module_name() = py::str(m.attr("__name__")).cast<std::string>();

  register_errors(m);
  register_image(m);
  register_handle(m);

  const bool debug = debug_in_argv();
  img_util::set_debug(debug);
  m.attr("basedir") = str_of(img_util::basedir());
  m.attr("plugin_path") = str_of(img_util::plugin_path());
  m.attr("_debug") = debug;
  m.attr("__version__") = IMG_UTIL_VERSION;
  define_images(m);
  py::list all;
  all.append("IMAGES");
  m.attr("__all__") = all;

  m.def(
      "set_plugin_dir",
      [](py::handle path) {
        auto self = py::module_::import(module_name().c_str());
        set_plugin_directory(self, path_arg(path).bytes);
      },
      "path"_a,
      "Places the plugin directory elsewhere; basedir, plugin_path, IMAGES.backdir and "
      "IMAGES.tmpPath follow it.");

  m.def(
      "set_keep_mtime", [](bool on) { img_util::set_keep_mtime(on); }, "on"_a,
      "Whether written files keep their source's modification time (off by default).");

  m.def(
      "set_jobs",
      [](int n) {
        if (n < 0) throw py::value_error("jobs must be 0 (one per CPU) or more");
        img_util::set_jobs(n);
      },
      "n"_a,
      "How many files a run works on at once (0, the default: one per CPU). Every output, "
      "archive, line and counter is the same as with 1.");

  img_util::set_line_sink(&write_to_python_stdout);
  img_util::RunHooks hooks;
  hooks.poll = &check_signals;
  img_util::set_run_hooks(hooks);
}
