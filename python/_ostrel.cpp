// The Python module's core, ostrel._ostrel: libostrel's calls on any
// object with the buffer protocol, with the GIL released while the
// library works.
#include <ostrel/lzh8.h>

#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// ostrel.Error, made when the module is.
PyObject* error_type = nullptr;

// Raises what a library result means: MemoryError where memory ran out,
// ostrel.Error with the result's words and code for the rest.
[[noreturn]] void raise_result(lzh8_result result, const std::string& words = "")
{
    if (result == LZH8_NO_MEMORY)
        throw std::bad_alloc();
    PyObject* error = PyObject_CallFunction(
        error_type, "s", words.empty() ? lzh8_result_text(result) : words.c_str());
    if (error != nullptr) {
        PyObject* code = PyLong_FromLong(result);
        if (code != nullptr) {
            PyObject_SetAttrString(error, "code", code);
            Py_DECREF(code);
        }
        PyErr_SetObject(error_type, error);
        Py_DECREF(error);
    }
    throw py::error_already_set();
}

// An object's bytes, held for as long as they are used: while the buffer
// is held, its owner may not move or resize it, so the library may use
// it without the GIL. Contiguous bytes only: a strided view is refused.
struct Held {
    Py_buffer view;
};

void hold(py::handle object, bool writable, Held& held)
{
    if (PyObject_GetBuffer(object.ptr(), &held.view, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) == 0)
        return;
    // As Python's own calls that write into a buffer: a read-only one is
    // the wrong type of argument.
    if (writable && PyErr_ExceptionMatches(PyExc_BufferError)) {
        PyErr_Clear();
        throw py::type_error("the buffer must be a writable bytes-like object");
    }
    throw py::error_already_set();
}

// Releases the buffer however the call ends.
struct Release {
    Held& held;
    ~Release()
    {
        PyBuffer_Release(&held.view);
    }
};

const void* bytes_of(const Held& held)
{
    return held.view.buf;
}

std::size_t size_of(const Held& held)
{
    return static_cast<std::size_t>(held.view.len);
}

// The size that the header of the held file declares.
std::size_t declared_size(const Held& input)
{
    std::size_t size = 0;
    lzh8_result result = lzh8_decoded_size(bytes_of(input), size_of(input), &size);
    if (result != LZH8_OK)
        raise_result(result);
    return size;
}

py::int_ decompressed_size(py::handle data)
{
    Held input;
    hold(data, false, input);
    Release release{input};
    return py::int_(declared_size(input));
}

// A whole number within first..last, or ValueError naming what it is for.
long long within(py::int_ number, long long first, long long last, const char* what)
{
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < first || value > last)
        throw py::value_error(std::string(what) + " must be " + std::to_string(first) + " to " +
                              std::to_string(last) + ", not " + std::string(py::str(number)));
    return value;
}

// Makes a bytes object of the size given, or raises.
PyObject* new_bytes(std::size_t size)
{
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr)
        throw py::error_already_set();
    return bytes;
}

// A stream decoder, freed with its owner.
using Decoder = std::unique_ptr<lzh8_decoder, void (*)(lzh8_decoder*)>;

Decoder new_decoder()
{
    Decoder decoder(lzh8_decoder_new(), lzh8_decoder_free);
    if (!decoder)
        throw std::bad_alloc();
    return decoder;
}

// The failure of a file whose declared size its input cannot reach,
// found by decoding it through a stream decoder, whose memory is fixed,
// into a scratch buffer; LZH8_OK only where the bound were wrong.
lzh8_result failure_in_stream(const Held& input)
{
    Decoder decoder = new_decoder();
    std::vector<std::uint8_t> scratch(64 << 10);
    const auto* in = static_cast<const std::uint8_t*>(bytes_of(input));
    std::size_t at = 0, used = 0, made = 0;
    lzh8_result result = LZH8_MORE;
    py::gil_scoped_release unlocked;
    while (result == LZH8_MORE && at < size_of(input)) {
        result = lzh8_decoder_decode(decoder.get(), in + at, size_of(input) - at, &used,
                                     scratch.data(), scratch.size(), &made);
        at += used;
    }
    while (result == LZH8_MORE)
        result = lzh8_decoder_end(decoder.get(), scratch.data(), scratch.size(), &made, nullptr);
    return result;
}

// The result is made at the declared size and decoded into. The call
// itself says how many bytes it wrote: the input may be a buffer that
// another thread or process changes meanwhile (a shared mapping), so the
// header read here is only a first guess. A declared size that shrank
// gives a shorter result, one that grew a larger one, made afresh; never
// bytes the call did not write. A declared size above max_length, or one
// the input cannot reach, is refused before anything is allocated.
py::bytes decompress(py::handle data, py::object max_length, py::int_ threads_given)
{
    const auto threads = static_cast<unsigned>(within(threads_given, 0, 1 << 16, "threads"));
    const long long most =
        max_length.is_none() ? -1 : within(py::int_(max_length), 0, LLONG_MAX, "max_length");
    Held input;
    hold(data, false, input);
    Release release{input};
    std::size_t size = declared_size(input);
    if (most >= 0 && size > static_cast<unsigned long long>(most))
        raise_result(LZH8_OUTPUT_TOO_SMALL, "declared size " + std::to_string(size) +
                                                " exceeds max_length " + std::to_string(most));
    if (size > lzh8_reachable_size(size_of(input))) {
        lzh8_result failure = failure_in_stream(input);
        if (failure != LZH8_OK)
            raise_result(failure);
    }
    for (int tries = 0;; tries++) {
        PyObject* out = new_bytes(size);
        std::size_t decoded = 0;
        lzh8_result result;
        {
            py::gil_scoped_release unlocked;
            result = lzh8_decode_parallel(bytes_of(input), size_of(input), PyBytes_AS_STRING(out),
                                          size, &decoded, nullptr, threads);
        }
        if (result == LZH8_OK && decoded < size &&
            _PyBytes_Resize(&out, static_cast<Py_ssize_t>(decoded)) != 0)
            throw py::error_already_set();
        if (result == LZH8_OK)
            return py::reinterpret_steal<py::bytes>(out);
        Py_DECREF(out);
        if (result != LZH8_OUTPUT_TOO_SMALL || tries == 2)
            raise_result(result);
        size = decoded;
        if (most >= 0 && size > static_cast<unsigned long long>(most))
            raise_result(LZH8_OUTPUT_TOO_SMALL);
    }
}

// The stream decoder, for ostrel's Decompressor and file objects: decode
// takes input and gives output up to a limit, end says the input has
// ended.
struct StreamDecoder {
    Decoder decoder = new_decoder();
};

// Output gathered up to most bytes (all when most is negative), in pieces
// that grow as it does.
struct Gathered {
    std::vector<std::uint8_t> bytes;
    std::size_t made = 0;
};

std::size_t room_for(const Gathered& out, long long most)
{
    const std::size_t left = most < 0 ? SIZE_MAX : static_cast<std::size_t>(most) - out.made;
    return std::min(left, std::max<std::size_t>(out.made, 64 << 10));
}

void raise_failure(lzh8_result result)
{
    if (result != LZH8_OK && result != LZH8_MORE)
        raise_result(result);
}

// (output, input used, done)
py::tuple stream_decode(StreamDecoder& stream, py::handle data, long long most)
{
    Held input;
    hold(data, false, input);
    Release release{input};
    const auto* in = static_cast<const std::uint8_t*>(bytes_of(input));
    Gathered out;
    std::size_t at = 0;
    lzh8_result result = LZH8_MORE;
    {
        py::gil_scoped_release unlocked;
        while (result == LZH8_MORE && (most < 0 || out.made < static_cast<std::size_t>(most))) {
            const std::size_t room = room_for(out, most);
            out.bytes.resize(out.made + room);
            std::size_t used = 0, made = 0;
            result = lzh8_decoder_decode(stream.decoder.get(), in + at, size_of(input) - at, &used,
                                         out.bytes.data() + out.made, room, &made);
            at += used;
            out.made += made;
            if (result == LZH8_MORE && at == size_of(input) && made < room)
                break;  // it wants input
        }
    }
    raise_failure(result);
    return py::make_tuple(py::bytes(reinterpret_cast<const char*>(out.bytes.data()), out.made), at,
                          result == LZH8_OK);
}

// (output, done)
py::tuple stream_end(StreamDecoder& stream, long long most)
{
    Gathered out;
    lzh8_result result = LZH8_MORE;
    {
        py::gil_scoped_release unlocked;
        while (result == LZH8_MORE && (most < 0 || out.made < static_cast<std::size_t>(most))) {
            const std::size_t room = room_for(out, most);
            out.bytes.resize(out.made + room);
            std::size_t made = 0;
            result = lzh8_decoder_end(stream.decoder.get(), out.bytes.data() + out.made, room,
                                      &made, nullptr);
            out.made += made;
        }
    }
    raise_failure(result);
    return py::make_tuple(py::bytes(reinterpret_cast<const char*>(out.bytes.data()), out.made),
                          result == LZH8_OK);
}

py::object stream_declared_size(const StreamDecoder& stream)
{
    std::size_t size = 0;
    lzh8_result result = lzh8_decoder_declared_size(stream.decoder.get(), &size);
    if (result == LZH8_MORE)
        return py::none();
    raise_failure(result);
    return py::int_(size);
}

// Whether the two buffers share any byte.
bool overlap(const Held& a, const Held& b)
{
    auto first_a = reinterpret_cast<std::uintptr_t>(a.view.buf);
    auto first_b = reinterpret_cast<std::uintptr_t>(b.view.buf);
    return size_of(a) > 0 && size_of(b) > 0 && first_a < first_b + size_of(b) &&
           first_b < first_a + size_of(a);
}

py::int_ decompress_into(py::handle data, py::handle buffer, py::int_ threads_given)
{
    const auto threads = static_cast<unsigned>(within(threads_given, 0, 1 << 16, "threads"));
    Held input, output;
    hold(data, false, input);
    Release release_input{input};
    hold(buffer, true, output);
    Release release_output{output};
    // The decoder reads the input as it writes the output: where they
    // share memory, it would read bytes it has itself written.
    if (overlap(input, output))
        throw py::value_error("data and buffer must not overlap");
    std::size_t size = 0;
    lzh8_result result;
    {
        py::gil_scoped_release unlocked;
        result = lzh8_decode_parallel(bytes_of(input), size_of(input), output.view.buf,
                                      size_of(output), &size, nullptr, threads);
    }
    if (result != LZH8_OK)
        raise_result(result);
    return py::int_(size);
}

py::bytes compress(py::handle data, py::int_ level_given, py::int_ threads_given)
{
    const int level = static_cast<int>(within(level_given, 0, 9, "level"));
    const auto threads = static_cast<unsigned>(within(threads_given, 0, 1 << 16, "threads"));
    Held input;
    hold(data, false, input);
    Release release{input};
    const std::size_t bound = lzh8_pack_bound(size_of(input));
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
    if (out == nullptr)
        throw py::error_already_set();
    std::size_t size = 0;
    lzh8_result result;
    {
        py::gil_scoped_release unlocked;
        result = lzh8_pack(bytes_of(input), size_of(input), PyBytes_AS_STRING(out), bound, &size,
                           level, threads);
    }
    if (result != LZH8_OK) {
        Py_DECREF(out);
        raise_result(result);
    }
    if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(size)) != 0)
        throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(out);
}

}  // namespace

// pybind11 keeps one state for the whole process, which it reaches through
// the main interpreter's GIL: called from a subinterpreter, its first
// step waits forever. So the module refuses to be made there (the package
// refuses too, for a subinterpreter that would copy the main one's).
static py::module_::module_def module_definition;
static void define_module(py::module_& module);

PYBIND11_PLUGIN_IMPL(_ostrel)
{
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "ostrel cannot be imported in a subinterpreter");
        return nullptr;
    }
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    auto module = py::module_::create_extension_module("_ostrel", nullptr, &module_definition);
    try {
        define_module(module);
        return module.ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}

void define_module(py::module_& module)
{
    module.doc() = "LZH8 decoding and packing, through libostrel.";
    // Each docstring's first line is its call, as Python's own modules have.
    py::options options;
    options.disable_function_signatures();
    error_type = PyErr_NewExceptionWithDoc(
        "ostrel.Error",
        "A failure of the library: the message is its words (such as \"corrupt length "
        "tree\"), and the attribute code its result code.",
        PyExc_ValueError, nullptr);
    if (error_type == nullptr)
        throw py::error_already_set();
    module.add_object("Error", py::handle(error_type));
    module.attr("__version__") = lzh8_version();

    module.def("decompressed_size", &decompressed_size, py::arg("data"),
               "decompressed_size(data) -> int\n\n"
               "The size that an LZH8 file's header declares, from the header alone.\n"
               "data is any object with the buffer protocol.");
    module.def("decompress", &decompress, py::arg("data"), py::kw_only(),
               py::arg("max_length") = py::none(), py::arg("threads") = 0,
               "decompress(data, *, max_length=None, threads=0) -> bytes\n\n"
               "The bytes that the LZH8 file in data (any object with the buffer\n"
               "protocol: bytes, bytearray, memoryview, mmap, a NumPy array) decodes\n"
               "to. Raises ostrel.Error for a file that is not LZH8, ends early or is\n"
               "damaged; the GIL is released while decoding. The declared size is\n"
               "allocated first: one above max_length raises ostrel.Error at once, and\n"
               "one that data is too short to reach is decoded to its failure in\n"
               "fixed memory instead. Only the first file in data is decoded; bytes\n"
               "after it are ignored. threads: 0 for every core the process may use,\n"
               "1 for the calling thread alone, n for at most n; the bytes are the\n"
               "same whatever it is.");
    module.def("decompress_into", &decompress_into, py::arg("data"), py::arg("buffer"),
               py::kw_only(), py::arg("threads") = 0,
               "decompress_into(data, buffer, *, threads=0) -> int\n\n"
               "Decodes the LZH8 file in data into the writable buffer and returns the\n"
               "decoded size. A buffer smaller than that raises ostrel.Error (\"output\n"
               "buffer too small\") before anything is written. data and buffer must\n"
               "not share memory: ValueError. threads: as for decompress.");
#define DEFAULT_LEVEL LZH8_STRINGIFY(LZH8_DEFAULT_LEVEL)
    module.def("compress", &compress, py::arg("data"), py::arg("level") = LZH8_DEFAULT_LEVEL,
               py::arg("threads") = 0,
               "compress(data, level=" DEFAULT_LEVEL ", threads=0) -> bytes\n\n"
               "data packed as an LZH8 file, the same bytes as lzh8pack -<level>\n"
               "writes. level: 1 (fastest) to 9 (smallest), 0 for the default " DEFAULT_LEVEL ".\n"
               "threads: 0 for every core the process may use, 1 for the calling\n"
               "thread alone, n for at most n; the file is the same whatever it is.\n"
               "The GIL is released while packing.");
#undef DEFAULT_LEVEL
    py::class_<StreamDecoder>(module, "_StreamDecoder",
                              "The library's stream decoder: one LZH8 file fed in pieces, decoded "
                              "in fixed memory.")
        .def(py::init<>())
        .def(
            "decode",
            [](StreamDecoder& stream, py::handle data, py::int_ most) {
                return stream_decode(stream, data, within(most, -1, LLONG_MAX, "max_length"));
            },
            py::arg("data"), py::arg("max_length") = -1,
            "decode(data, max_length=-1) -> (bytes, int, bool)\n\n"
            "Output up to max_length bytes (-1: all it can make), the bytes of data\n"
            "used, and whether the file is done.")
        .def(
            "end",
            [](StreamDecoder& stream, py::int_ most) {
                return stream_end(stream, within(most, -1, LLONG_MAX, "max_length"));
            },
            py::arg("max_length") = -1,
            "end(max_length=-1) -> (bytes, bool)\n\n"
            "Says the input has ended: what is left, and whether the file is done.\n"
            "A file cut short raises ostrel.Error with code 2.")
        .def("reset", [](StreamDecoder& stream) { lzh8_decoder_reset(stream.decoder.get()); })
        .def_property_readonly("declared_size", &stream_declared_size,
                               "The header's size, or None before it is read.");
}
