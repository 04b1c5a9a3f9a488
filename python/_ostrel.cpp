// The Python module's core, ostrel._ostrel: libostrel's calls on any
// object with the buffer protocol, with the GIL released while the
// library works.
#include <ostrel/lzh8.h>

#include <pybind11/pybind11.h>

#include <new>
#include <string>

namespace py = pybind11;

namespace {

// ostrel.Error, made when the module is.
PyObject* error_type = nullptr;

// Raises what a library result means: MemoryError where memory ran out,
// ostrel.Error with the result's words and code for the rest.
[[noreturn]] void raise_result(lzh8_result result)
{
    if (result == LZH8_NO_MEMORY)
        throw std::bad_alloc();
    PyObject* error = PyObject_CallFunction(error_type, "s", lzh8_result_text(result));
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

py::bytes decompress(py::handle data)
{
    Held input;
    hold(data, false, input);
    Release release{input};
    std::size_t size = declared_size(input);
    lzh8_result result;
    // The result is made once, at the declared size, and decoded into.
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (out == nullptr)
        throw py::error_already_set();
    py::bytes decoded = py::reinterpret_steal<py::bytes>(out);
    {
        py::gil_scoped_release unlocked;
        result = lzh8_decode(bytes_of(input), size_of(input), PyBytes_AS_STRING(out), size, &size);
    }
    if (result != LZH8_OK)
        raise_result(result);
    return decoded;
}

py::int_ decompress_into(py::handle data, py::handle buffer)
{
    Held input, output;
    hold(data, false, input);
    Release release_input{input};
    hold(buffer, true, output);
    Release release_output{output};
    std::size_t size = 0;
    lzh8_result result;
    {
        py::gil_scoped_release unlocked;
        result =
            lzh8_decode(bytes_of(input), size_of(input), output.view.buf, size_of(output), &size);
    }
    if (result != LZH8_OK)
        raise_result(result);
    return py::int_(size);
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

PYBIND11_MODULE(_ostrel, module)
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
    module.def("decompress", &decompress, py::arg("data"),
               "decompress(data) -> bytes\n\n"
               "The bytes that the LZH8 file in data (any object with the buffer\n"
               "protocol: bytes, bytearray, memoryview, mmap, a NumPy array) decodes\n"
               "to. Raises ostrel.Error for a file that is not LZH8, ends early or is\n"
               "damaged; the GIL is released while decoding.");
    module.def("decompress_into", &decompress_into, py::arg("data"), py::arg("buffer"),
               "decompress_into(data, buffer) -> int\n\n"
               "Decodes the LZH8 file in data into the writable buffer and returns the\n"
               "decoded size. A buffer smaller than that raises ostrel.Error (\"output\n"
               "buffer too small\") before anything is written.");
    module.def("compress", &compress, py::arg("data"), py::arg("level") = 6, py::arg("threads") = 0,
               "compress(data, level=6, threads=0) -> bytes\n\n"
               "data packed as an LZH8 file, the same bytes as lzh8pack -<level>\n"
               "writes. level: 1 (fastest) to 9 (smallest), 0 for the default 6.\n"
               "threads: 0 for every core the process may use, 1 for the calling\n"
               "thread alone, n for at most n; the file is the same whatever it is.\n"
               "The GIL is released while packing.");
}
