// quillet.thumbnails: the C interface's quillet_thumbnails as a list of
// quillet.Thumbnail. The library runs without the interpreter lock; its
// callback (on this thread) only moves each picture's bytes into C++ storage,
// and the NumPy arrays are made afterwards, with the lock, owning those bytes.
#include <pybind11/stl.h>

#include <cstring>
#include <variant>

#include "Player.h"

namespace QuilletPython {

namespace {

struct Thumbnail {
    int index = 0;
    double requested = 0.0;
    double time = 0.0;
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    std::optional<std::string> error;
    py::object array = py::none();
};

void Collect(void* user, const quillet_thumbnail* t)
{
    auto& all = *static_cast<std::vector<Thumbnail>*>(user);
    if (t->index < 0 || static_cast<size_t>(t->index) >= all.size())
        return;
    Thumbnail& out = all[static_cast<size_t>(t->index)];
    out.requested = t->requested;
    out.time = t->picture.time;
    if (t->error) {
        out.error = t->error;
        return;
    }
    out.width = t->picture.width;
    out.height = t->picture.height;
    out.pixels.resize(static_cast<size_t>(t->picture.height) * t->picture.width * 3);
    for (int row = 0; row < t->picture.height; ++row)
        std::memcpy(out.pixels.data() + static_cast<size_t>(row) * t->picture.width * 3,
                    t->picture.data + static_cast<size_t>(row) * t->picture.stride,
                    static_cast<size_t>(t->picture.width) * 3);
}

std::vector<Thumbnail> Thumbnails(const std::string& source, std::variant<int, std::vector<double>> times,
                                  std::optional<std::pair<int, int>> size, bool exact, const std::string& pixelFormat)
{
    const int format = pixelFormat == "bgr24" ? QUILLET_PIXEL_BGR24
                       : pixelFormat == "rgb24" ? QUILLET_PIXEL_RGB24
                                                : throw py::value_error("pixel_format must be \"bgr24\" or \"rgb24\"");
    const auto* list = std::get_if<std::vector<double>>(&times);
    const int count = list ? static_cast<int>(list->size()) : std::get<int>(times);
    if (count <= 0)
        return {};
    const int width = size ? size->first : 0, height = size ? size->second : 0;
    if (width < 0 || height < 0)
        throw py::value_error("size must be (width, height), each 0 (follow the other) or more");
    std::vector<Thumbnail> all(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        all[static_cast<size_t>(i)].index = i;
    int status;
    std::string detail;
    {
        py::gil_scoped_release released;
        status = quillet_thumbnails(source.c_str(), list ? list->data() : nullptr, count, width, height, format,
                                    exact ? 1 : 0, &Collect, &all);
        if (status == QUILLET_ERROR_OPEN_FAILED)
            detail = quillet_error_message();
    }
    if (status == QUILLET_ERROR_OPEN_FAILED) {
        const size_t colon = detail.rfind(": ");
        RaiseOpenError(source, colon == std::string::npos ? detail : detail.substr(colon + 2));
    }
    Check(status, "thumbnails");
    for (Thumbnail& t : all) {
        if (t.error)
            continue;
        auto* bytes = new std::vector<uint8_t>(std::move(t.pixels));
        py::capsule owner(bytes, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
        t.array = py::array_t<uint8_t>({t.height, t.width, 3}, bytes->data(), owner);
    }
    return all;
}

} // namespace

void RegisterThumbnails(py::module_& m)
{
    py::class_<Thumbnail>(m, "Thumbnail", "One time's picture from quillet.thumbnails, or why there is none.")
        .def_readonly("array", &Thumbnail::array, "height x width x 3 uint8, or None when `error` says why not")
        .def_readonly("time", &Thumbnail::time, "the picture's own media time in seconds")
        .def_readonly("requested", &Thumbnail::requested, "the time asked for")
        .def_readonly("index", &Thumbnail::index, "position of the time in the request")
        .def_readonly("error", &Thumbnail::error, "None with a picture; else why there is none")
        .def("__repr__", [](const Thumbnail& t) {
            if (t.error)
                return "<quillet.Thumbnail at " + std::to_string(t.requested) + " s: " + *t.error + ">";
            return "<quillet.Thumbnail " + std::to_string(t.width) + "x" + std::to_string(t.height) + " at " +
                   std::to_string(t.time) + " s>";
        });
    m.def("thumbnails", &Thumbnails, py::arg("source"), py::arg("times"), py::kw_only(), py::arg("size") = py::none(),
          py::arg("exact") = false, py::arg("pixel_format") = "bgr24",
          "One picture per time (a list of seconds, or a count spread over the duration) at `size`: the key "
          "picture at or before each time, or with exact=True the picture a seek to it shows. Decodes on "
          "every core; returns a list of quillet.Thumbnail in the order of the times; quillet.OpenError when "
          "the source cannot be opened.");
}

} // namespace QuilletPython
