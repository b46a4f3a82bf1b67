// Python faces of our own objects: the images the operations pass along, and the handles
// (the open backup archive) that a run leaves in the host's dict.
#include <algorithm>
#include <optional>

#include "binding.hpp"
#include "img_util/errors.hpp"

namespace img_util::python {

using namespace pybind11::literals;

namespace {

ImagePtr from_pixels(const std::string& mode, py::handle size, py::handle data) {
  const auto [width, height] = size.cast<std::pair<int, int>>();
  auto im = std::make_shared<Image>(parse_mode(mode), width, height);
  const std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(data));
  auto& px = im->pixels();
  if (bytes.size() != px.size()) {
    throw py::value_error("image data holds " + std::to_string(bytes.size()) + " bytes, " + mode +
                          " " + std::to_string(width) + "x" + std::to_string(height) + " needs " +
                          std::to_string(px.size()));
  }
  std::copy(bytes.begin(), bytes.end(), px.begin());
  return im;
}

std::optional<int> optional_int(const py::dict& info, const char* key) {
  if (!info.contains(key)) return std::nullopt;
  py::object v = info[key];
  if (!PyLong_Check(v.ptr())) return std::nullopt;
  return v.cast<int>();
}

// A Pillow image (anything with mode, size and tobytes()), for hosts that open their images
// themselves. Modes we do not hold are converted the way Pillow converts them.
ImagePtr from_pillow(py::handle o) {
  py::object image = py::reinterpret_borrow<py::object>(o);
  std::string mode = py::str(image.attr("mode"));
  py::dict info = py::hasattr(image, "info") ? py::dict(image.attr("info")) : py::dict();
  if (mode != "L" && mode != "LA" && mode != "RGB" && mode != "RGBA" && mode != "P") {
    const bool alpha = mode.find('A') != std::string::npos || info.contains("transparency");
    mode = alpha ? "RGBA" : "RGB";
    image = image.attr("convert")(mode);
  }
  ImagePtr im = from_pixels(mode, image.attr("size"), image.attr("tobytes")());
  if (mode == "P") {
    // A list of ints (Pillow) or bytes: R, G, B, A per entry.
    std::vector<uint8_t> rgba;
    py::object palette = image.attr("getpalette")("RGBA");
    if (!palette.is_none()) {
      for (py::handle v : palette) rgba.push_back(static_cast<uint8_t>(v.cast<int>()));
    }
    for (size_t i = 0; i + 4 <= rgba.size() && im->palette.size() < 256; i += 4) {
      im->palette.push_back({rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]});
    }
    im->info.transparency = optional_int(info, "transparency");
  }
  im->info.duration = optional_int(info, "duration");
  im->info.loop = optional_int(info, "loop");
  if (info.contains("exif") && PyBytes_Check(py::object(info["exif"]).ptr())) {
    std::string exif = py::bytes(py::object(info["exif"]));
    // Pillow keeps the JPEG segment's "Exif\0\0" header; ours starts at the TIFF header.
    if (exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0) exif.erase(0, 6);
    im->info.exif = std::move(exif);
  }
  if (info.contains("icc_profile") && PyBytes_Check(py::object(info["icc_profile"]).ptr())) {
    im->info.icc = py::bytes(py::object(info["icc_profile"]));
  }
  if (py::hasattr(image, "format") && !image.attr("format").is_none()) {
    im->info.format = py::str(image.attr("format"));
  }
  return im;
}

}  // namespace

ImagePtr image_arg(py::handle o) {
  if (o.is_none()) return nullptr;
  if (py::isinstance<Image>(o)) return o.cast<ImagePtr>();
  if (py::hasattr(o, "mode") && py::hasattr(o, "size") && py::hasattr(o, "tobytes")) {
    return from_pillow(o);
  }
  throw py::type_error("im must be an img_util.Image, a Pillow image or None, not " +
                       python_type_name(o));
}

py::object image_result(const ImagePtr& im, const ImagePtr& given, py::handle given_object) {
  if (!im) return py::none();
  if (im == given && given_object) return py::reinterpret_borrow<py::object>(given_object);
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
      .def_static("frombytes", &from_pixels, "mode"_a, "size"_a, "data"_a,
                  "An image made from raw pixels, row by row, interleaved bands (as tobytes() "
                  "gives them). P images start with an empty palette.")
      .def_static("from_pillow", &from_pillow, "image"_a,
                  "A copy of a Pillow image: pixels, palette, duration, loop, transparency, "
                  "EXIF and ICC profile.")
      .def_property_readonly("mode", [](const Image& im) { return mode_name(im.mode()); })
      .def_property_readonly(
          "size", [](const Image& im) { return py::make_tuple(im.width(), im.height()); })
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
