// Reading pictures, sound and events: each wait is cut into slices of at most
// kSliceMs so that Ctrl-C reaches a thread blocked without limit; every slice
// waits on the library's own signal (a picture, an event, an interrupt).
#include <chrono>
#include <cmath>
#include <cstring>

#include "Player.h"
#include "Waiting.h"

namespace QuilletPython {
namespace {

/// Owns one reference to a library picture buffer; the buffer protocol shows its bytes, and
/// NumPy views of them keep this object alive.
py::object OwnBuffer(quillet_buffer* ref);

py::array CheckOut(py::object out)
{
    if (!py::isinstance<py::array>(out))
        throw py::type_error("out must be a numpy.ndarray");
    py::array a = py::reinterpret_borrow<py::array>(out);
    if (!a.dtype().is(py::dtype::of<uint8_t>()) || a.ndim() != 3 || a.shape(2) != 3 || a.strides(2) != 1 ||
        a.strides(1) != 3 || a.strides(0) < a.shape(1) * 3 || !a.writeable())
        throw py::value_error("out must be a writeable uint8 array of height x width x 3 with packed rows");
    return a;
}

} // namespace

Player::Outcome Player::ReadOnce(int timeoutMs, py::object out, Picture& picture)
{
    quillet_player* handle = _handle.load();
    if (!handle)
        return Outcome::Closed;
    quillet_picture info{};
    quillet_buffer* ref = nullptr;
    int status;
    if (out.is_none()) {
        py::gil_scoped_release released;
        status = quillet_player_read_picture_ref(handle, &info, &ref, timeoutMs);
    } else {
        py::array a = CheckOut(out);
        uint8_t* dst = static_cast<uint8_t*>(a.mutable_data());
        const auto stride = a.strides(0);
        const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(a.shape(0));
        py::gil_scoped_release released;
        status = quillet_player_read_picture_into(handle, dst, size, static_cast<int>(stride), &info, timeoutMs);
    }
    switch (status) {
    case QUILLET_OK: break;
    case QUILLET_AGAIN: return Outcome::Again;
    case QUILLET_END: return Outcome::End;
    case QUILLET_INTERRUPTED:
    case QUILLET_ERROR_INVALID_HANDLE: return Closed() ? Outcome::Closed : Outcome::Again;
    case QUILLET_ERROR_BUFFER_TOO_SMALL:
        throw py::value_error("out cannot hold a picture of " + std::to_string(info.height) + " x " +
                              std::to_string(info.width) + " x 3");
    default: Check(status, "read"); return Outcome::Again;
    }
    picture.time = info.time;
    picture.first = info.first != 0;
    int64_t captureUs = 0;
    int trusted = 0;
    quillet_player_get_capture_time(handle, &captureUs, &trusted);
    if (captureUs != 0)
        picture.captureTime = py::float_(static_cast<double>(captureUs) / 1e6);
    picture.captureTimeTrusted = trusted != 0;
    if (out.is_none()) {
        picture.buffer = OwnBuffer(ref);
        py::array view(py::dtype::of<uint8_t>(), {info.height, info.width, 3}, {info.stride, 3, 1}, info.data,
                       picture.buffer);
        // The library's pixels: shared, never written by Python.
        py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        picture.array = std::move(view);
    } else {
        py::array a = py::reinterpret_borrow<py::array>(out);
        picture.buffer = py::none();
        if (a.shape(0) == info.height && a.shape(1) == info.width)
            picture.array = a;
        else
            picture.array = a[py::make_tuple(py::slice(0, info.height, 1), py::slice(0, info.width, 1))];
    }
    return Outcome::Picture;
}

py::object Player::Read(std::optional<double> timeout, py::object out)
{
    const auto deadline = Deadline(timeout);
    for (bool first = true;; first = false) {
        const int slice = NextSlice(deadline, first);
        if (slice < 0)
            return py::none();
        Picture picture;
        switch (ReadOnce(slice, out, picture)) {
        case Outcome::Picture: return py::cast(std::move(picture));
        case Outcome::End: Raise(Errors().end, _source + ": end of stream");
        case Outcome::Closed: Raise(Errors().closed, "the player is closed");
        case Outcome::Again: break;
        }
        CheckSourceFailure();
        CheckSignals();
        if (slice == 0)
            return py::none();
    }
}

Picture Player::NextPicture(std::optional<double> giveUp)
{
    auto deadline = Deadline(giveUp);
    for (;;) {
        Picture picture;
        switch (ReadOnce(kSliceMs, py::none(), picture)) {
        case Outcome::Picture: return picture;
        case Outcome::End:
        case Outcome::Closed: throw py::stop_iteration();
        case Outcome::Again: break;
        }
        CheckSourceFailure();
        CheckSignals();
        if (deadline && Clock::now() >= *deadline)
            Raise(Errors().timeout, _source + ": no picture for " + std::to_string(*giveUp) + " s");
    }
}

py::object Player::ReadSound()
{
    if (!_sound)
        Raise(Errors().error, "no sound: open with audio=True a source that has sound");
    double time = -1.0;
    const int status = Run("read_audio", [&](quillet_player* h) { return quillet_player_read_audio(h, &time); });
    std::vector<uint8_t> bytes = _sound->Take();
    const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(_channels);
    if (status != QUILLET_OK || bytes.size() < frameBytes)
        return py::none();
    const size_t frames = bytes.size() / frameBytes;
    py::array_t<int16_t> samples({static_cast<py::ssize_t>(frames), static_cast<py::ssize_t>(_channels)});
    std::memcpy(samples.mutable_data(), bytes.data(), frames * frameBytes);
    return py::module_::import("quillet._quillet").attr("Sound")(samples, time);
}

py::object Player::NextSound()
{
    for (;;) {
        py::object sound = ReadSound();
        if (!sound.is_none())
            return sound;
        // Sound is decoded beside the pictures: take one to move the stream on.
        Picture picture;
        switch (ReadOnce(kSliceMs, py::none(), picture)) {
        case Outcome::End:
        case Outcome::Closed:
            if ((sound = ReadSound()).is_none())
                throw py::stop_iteration();
            return sound;
        default: break;
        }
        CheckSourceFailure();
        CheckSignals();
    }
}

py::object Player::WaitEvent(std::optional<double> timeout)
{
    const auto deadline = Deadline(timeout);
    for (bool first = true;; first = false) {
        const int slice = NextSlice(deadline, first);
        if (slice < 0)
            return py::none();
        quillet_player* handle = _handle.load();
        if (!handle)
            Raise(Errors().closed, "the player is closed");
        quillet_event event{};
        int status;
        EventCopy copy;
        {
            py::gil_scoped_release released;
            status = quillet_player_wait_event(handle, &event, slice);
            if (status == QUILLET_OK)
                copy = EventCopy::From(event); // its strings live until this thread's next event
        }
        if (status == QUILLET_OK)
            return ToPython(copy);
        if (status != QUILLET_AGAIN && status != QUILLET_INTERRUPTED)
            Check(status, "wait_event");
        CheckSignals();
        if (slice == 0)
            return py::none();
    }
}

// ---------------------------------------------------------------------------

namespace {

/// A library picture buffer held by Python (buffer protocol: its bytes, read-only).
struct LibraryBuffer {
    explicit LibraryBuffer(quillet_buffer* r) : ref(r) {}
    ~LibraryBuffer() { quillet_buffer_release(ref); }
    LibraryBuffer(const LibraryBuffer&) = delete;
    LibraryBuffer& operator=(const LibraryBuffer&) = delete;
    quillet_buffer* ref;
};

py::object OwnBuffer(quillet_buffer* ref)
{
    return py::cast(new LibraryBuffer(ref), py::return_value_policy::take_ownership);
}

} // namespace

void RegisterBuffer(py::module_& m)
{
    py::class_<LibraryBuffer>(m, "LibraryBuffer", py::buffer_protocol(),
                              "The library's picture buffer a picture's array views (read-only bytes).")
        .def_buffer([](LibraryBuffer& b) {
            return py::buffer_info(const_cast<uint8_t*>(quillet_buffer_data(b.ref)),
                                   static_cast<py::ssize_t>(quillet_buffer_size(b.ref)), true);
        })
        .def("__len__", [](LibraryBuffer& b) { return quillet_buffer_size(b.ref); });
}

} // namespace QuilletPython
