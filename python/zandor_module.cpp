// The compiled part of the Python package zandor: reading frames of any
// supported file, running command lines in-process, and writing an image.
// Each call is a job of its own on the calling thread, run without the GIL.
#include "prg_lib.hpp"
#include "xy_decoder.hpp"
#include "xy_lib.hpp"
#include "zandor.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A job's messages by kind, for the caller; `on_message` (when given) sees
// each one as it comes, with the GIL taken for it.
class Collector : public MessageSink {
  public:
    explicit Collector(py::object on_message) : on_message_(std::move(on_message)) {}
    void report(std::string_view t) override { keep("report", t, report_); }
    void screen(std::string_view t) override { keep("screen", t, screen_); }
    void notice(std::string_view t) override { keep("notice", t, notice_); }
    void progress(const char* what, int64_t done, int64_t total) override {
        if (on_message_.is_none()) return;
        const py::gil_scoped_acquire gil;
        on_message_("progress", prg_format("%s %lld/%lld", what, static_cast<long long>(done),
                                           static_cast<long long>(total)));
    }
    py::dict texts() const {
        py::dict d;
        d["report"] = report_;
        d["screen"] = screen_;
        d["notice"] = notice_;
        return d;
    }

  private:
    void keep(const char* kind, std::string_view text, std::string& into) {
        into.append(text);
        if (on_message_.is_none()) return;
        const py::gil_scoped_acquire gil;
        on_message_(kind, std::string(text));
    }
    py::object on_message_;
    std::string report_, screen_, notice_;
};

// Hands a vector's buffer to numpy without copying it.
template <class T> py::array_t<T> hand_over(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
    auto* owner = new std::vector<T>(std::move(values));
    py::capsule release(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(shape, owner->data(), release);
}

py::dict statistics_of(const IMG& img) {
    py::dict s;
    s["mean"] = img.mean;
    s["sigma"] = img.sigma;
    s["min"] = img.min;
    s["max"] = img.max;
    s["min_xy"] = py::make_tuple(img.min_x, img.min_y);
    s["max_xy"] = py::make_tuple(img.max_x, img.max_y);
    s["frames"] = img.frames;
    s["used"] = img.used;
    s["nonzero"] = img.nonzero;
    return s;
}

py::dict image_of(IMG&& img) {
    py::dict d;
    const std::vector<py::ssize_t> shape = {img.ny, img.nx};
    const bool has_planes = img.size > 0 && img.data.size() == static_cast<size_t>(img.size);
    d["name"] = img.name;
    d["statistics"] = statistics_of(img);
    const bool has_counts = has_planes && img.frame.size() == img.data.size();
    d["data"] = has_planes ? py::object(hand_over(std::move(img.data), shape)) : py::none();
    d["counts"] = has_counts ? py::object(hand_over(std::move(img.frame), shape)) : py::none();
    return d;
}

// Runs one command line; returns its messages, files, summary and image.
py::dict run_words(const std::vector<std::string>& words, const std::string& settings_file,
                   const std::string& program, bool strict, bool with_summary, py::object on_message,
                   int32_t threads) {
    if (threads < 0) throw py::value_error("threads must be 1 or more (0: the settings' THREADS)");
    Collector sink(std::move(on_message));
    BatchOptions options;
    options.words = words;
    options.settings_file = settings_file;
    options.strict = strict;
    options.threads = threads;
    RunOutcome outcome;
    {
        const py::gil_scoped_release free;
        outcome = zandor_run(program, options, sink, with_summary);
    }
    py::dict d = sink.texts();
    d["files"] = outcome.files_written;
    d["summary"] = outcome.summary;
    d["image"] = image_of(std::move(outcome.image));
    return d;
}

// ---------------------------------------------------------------- reading frames

struct FrameBlock {
    std::vector<uint8_t> bytes;
    const char* dtype;
    size_t pixel_bytes;
};

// The numpy type of a file's stored pixels.
FrameBlock block_for(const HDR& hdr, size_t pixels) {
    switch (hdr.type) {
    case XY_TYPE_UINT8:
        return {std::vector<uint8_t>(pixels), "uint8", 1};
    case XY_TYPE_INT16:
        return {std::vector<uint8_t>(pixels * 2), "int16", 2};
    case XY_TYPE_UINT16:
        return {std::vector<uint8_t>(pixels * 2), "uint16", 2};
    case XY_TYPE_FLOAT:
        return {std::vector<uint8_t>(pixels * 4), "float32", 4};
    default: // 32-bit integers and text
        return {std::vector<uint8_t>(pixels * 4), hdr.uint32_samples ? "uint32" : "int32", 4};
    }
}

// Reads one frame into `out` (its pixel type); false when the file lacks it.
bool read_frame(const IMG& img, int32_t frame, uint8_t* out) {
    const HDR& hdr = *img.hdr;
    const XyWindow whole{0, 0, hdr.dim_x, hdr.dim_y};
    // Decoding formats give unsigned 32-bit samples as they are.
    if (hdr.source) return xy_source_decode_shared(hdr, frame, whole, out) == whole.height;
    if (hdr.decoder) return hdr.decoder(hdr, frame, whole, out) == whole.height;
    switch (hdr.type) {
    case XY_TYPE_UINT8:
        return xy_getrawc(img, whole, out, frame, nullptr) == whole.height;
    case XY_TYPE_INT16:
    case XY_TYPE_UINT16:
        return xy_getrawu(img, whole, reinterpret_cast<uint16_t*>(out), frame, nullptr) == whole.height;
    case XY_TYPE_FLOAT:
        return xy_getrawf(img, whole, reinterpret_cast<float*>(out), frame, nullptr) == whole.height;
    case XY_TYPE_TEXT:
        return xy_getrawa(img, whole, reinterpret_cast<int32_t*>(out), frame, nullptr) == whole.height;
    default:
        return xy_getrawl(img, whole, reinterpret_cast<int32_t*>(out), frame, nullptr) == whole.height;
    }
}

struct ReadResult {
    FrameBlock block{{}, "", 0};
    int32_t width = 0, height = 0, frames_read = 0, frames_in_file = 0;
    std::vector<KvfItem> header;
};

ReadResult read_file_frames(const std::string& path, int32_t first, int32_t last, const std::string& h5_data,
                            int32_t threads) {
    XyReadOptions reading;
    reading.h5_data_path = h5_data;
    if (threads > 0) reading.threads = std::min(threads, kXyMaxThreads);
    IMG img;
    img.name = path;
    img.hdr = xy_open(path, prg_state().name, "", 0, true, reading);
    xy_setsize(img);
    const HDR& hdr = *img.hdr;
    if (last == 0) last = first;
    if (last < 0) last = hdr.frames;
    if (first < 1 || last < first || last > hdr.frames)
        v_fatal("zandor", "frames %d to %d asked of '%s', which holds %d", first, last, hdr.file_name.c_str(),
                hdr.frames);
    ReadResult r;
    r.width = hdr.dim_x;
    r.height = hdr.dim_y;
    r.frames_in_file = hdr.frames;
    r.frames_read = last - first + 1;
    r.header = hdr.items;
    const size_t pixels = static_cast<size_t>(r.width) * r.height;
    r.block = block_for(hdr, pixels * static_cast<size_t>(r.frames_read));
    for (int32_t f = first; f <= last; ++f)
        if (!read_frame(img, f,
                        r.block.bytes.data() + static_cast<size_t>(f - first) * pixels * r.block.pixel_bytes))
            v_fatal("zandor", "frame %d of '%s' cannot be read", f, hdr.file_name.c_str());
    xy_freehdr(img.hdr);
    return r;
}

py::tuple read_frames(const std::string& path, int32_t first, int32_t last, const std::string& h5_data,
                      int32_t threads) {
    ProgramState state;
    Collector sink{py::none()};
    state.sink = &sink;
    ReadResult r;
    {
        const py::gil_scoped_release free;
        const ProgramScope bind(state);
        r = read_file_frames(path, first, last, h5_data, threads);
    }
    std::vector<py::ssize_t> shape = {r.height, r.width};
    if (r.frames_read > 1) shape.insert(shape.begin(), r.frames_read);
    auto* owner = new std::vector<uint8_t>(std::move(r.block.bytes));
    py::capsule release(owner, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
    const py::dtype dtype(r.block.dtype);
    py::array pixels(dtype, shape, owner->data(), release);
    py::dict header;
    for (const KvfItem& item : r.header)
        header[py::str(item.key)] = item.value;
    header["frames"] = r.frames_in_file;
    return py::make_tuple(pixels, header, sink.texts());
}

// ---------------------------------------------------------------- writing

// Writes `data` (and its frame counts) through the writer that `name` selects.
py::list write_image(py::array_t<int32_t, py::array::c_style | py::array::forcecast> data, py::object counts,
                     const std::string& name, int32_t depth_mode) {
    if (data.ndim() != 2) throw py::value_error("the image must be a 2-D array");
    IMG img;
    img.ny = static_cast<int32_t>(data.shape(0));
    img.nx = static_cast<int32_t>(data.shape(1));
    img.size = img.nx * img.ny;
    img.name = name;
    img.frames = 1;
    img.data.assign(data.data(), data.data() + img.size);
    if (!counts.is_none()) {
        auto c = counts.cast<py::array_t<uint16_t, py::array::c_style | py::array::forcecast>>();
        if (c.size() != img.size) throw py::value_error("the counts must have the shape of the image");
        img.frame.assign(c.data(), c.data() + img.size);
    }
    ProgramState state;
    Collector sink{py::none()};
    state.sink = &sink;
    {
        const py::gil_scoped_release free;
        const ProgramScope bind(state);
        xy_info(img, INFO_ALL);
        XyWriteOptions options;
        options.depth_mode = depth_mode;
        xy_write(img, name, "tif", options);
    }
    return py::cast(state.files_written);
}

} // namespace

PYBIND11_MODULE(_zandor, m) {
    m.doc() = "zandor's engine: frame readers, in-process runs, image writers";
    static py::exception<Fatal> error(m, "Error");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Fatal& fatal) {
            std::string text = fatal.report.empty() ? "zandor exit" : fatal.report;
            while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
                text.pop_back();
            while (!text.empty() && text.front() == ' ')
                text.erase(0, 1);
            error(text.c_str());
        }
    });
    m.def("run_words", &run_words, py::arg("words"), py::arg("settings_file"), py::arg("program"),
          py::arg("strict"), py::arg("with_summary"), py::arg("on_message"), py::arg("threads"),
          "Runs a command line as the console program does; returns its messages, files, summary and image.");
    m.def("read_frames", &read_frames, py::arg("path"), py::arg("first"), py::arg("last"), py::arg("h5_data"),
          py::arg("threads"),
          "Reads frames first..last (0: first only, -1: to the end) of a file in its pixel type.");
    m.def("write_image", &write_image, py::arg("data"), py::arg("counts"), py::arg("name"),
          py::arg("depth_mode"), "Writes an int32 image through the writer its name selects.");
    m.attr("version") = RELEASE;
}
