// Python faces of our own objects: the images the operations pass along, and the handles
// (the open backup archive) that a run leaves in the host's dict.
#include "binding.hpp"

namespace img_util::python {

using namespace pybind11::literals;

ImagePtr image_arg(py::handle o) {
  if (o.is_none()) return nullptr;
  if (!py::isinstance<Image>(o)) {
    throw py::type_error("im must be an img_util.Image or None, not " + python_type_name(o));
  }
  return o.cast<ImagePtr>();
}

py::object image_result(const ImagePtr& im) {
  if (!im) return py::none();
  return py::cast(im);
}

namespace {

py::dict info_of(const Image& im) {
  const ImageInfo& info = im.info;
  py::dict out;
  if (info.duration) out["duration"] = *info.duration;
  if (info.loop) out["loop"] = *info.loop;
  if (info.transparency) out["transparency"] = *info.transparency;
  if (!info.exif.empty()) out["exif"] = py::bytes(info.exif);
  if (!info.icc.empty()) out["icc_profile"] = py::bytes(info.icc);
  return out;
}

}  // namespace

void register_image(py::module_& m) {
  py::class_<Image, std::shared_ptr<Image>>(
      m, "Image",
      "An image as the operations pass it along: mode, size and info. Made by the operations "
      "or by Image.open; never changed once handed on.")
      .def_static(
          "open",
          [](py::handle path) {
            const PathArg p = path_arg(path);
            py::gil_scoped_release released;
            return Image::open(p.bytes);
          },
          "path"_a, "Reads the header of an image file; pixels are decoded when first needed.")
      .def_property_readonly("mode", [](const Image& im) { return mode_name(im.mode()); })
      .def_property_readonly("size",
                             [](const Image& im) { return py::make_tuple(im.width(), im.height()); })
      .def_property_readonly("width", &Image::width)
      .def_property_readonly("height", &Image::height)
      .def_property_readonly("format",
                             [](const Image& im) -> py::object {
                               if (im.info.format.empty()) return py::none();
                               return py::str(im.info.format);
                             })
      .def_property_readonly("info", &info_of,
                             "A new dict on every access: duration, loop, transparency, exif, "
                             "icc_profile where the image has them.")
      .def_property_readonly("n_frames", &Image::frame_count)
      .def_property_readonly("is_animated", &Image::is_animated)
      .def(
          "load", [](Image& im) { im.load(); }, "Decodes the pixels now.")
      .def(
          "tobytes",
          [](Image& im) {
            const auto& px = im.pixels();
            return py::bytes(reinterpret_cast<const char*>(px.data()), px.size());
          },
          "The pixels, row by row, interleaved bands.")
      .def("__repr__", [](const Image& im) {
        return "<img_util.Image mode=" + std::string(mode_name(im.mode())) +
               " size=" + std::to_string(im.width()) + "x" + std::to_string(im.height()) + ">";
      });
}

void register_handle(py::module_& m) {
  py::class_<HandleBox>(m, "BackupArchive",
                        "The open backup archive of a run, as it stays under cfg['zfile'] when "
                        "a run raised. close() completes it.")
      .def(
          "close",
          [](HandleBox& box) {
            if (!box.handle) return;
            py::gil_scoped_release released;
            box.handle->close();
          },
          "Writes the archive's directory and closes it.")
      .def("__repr__", [](const HandleBox& box) {
        return "<img_util.BackupArchive " + (box.handle ? box.handle->type_name() : "") + ">";
      });
}

}  // namespace img_util::python
