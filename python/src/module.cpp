// mirt._mirt: the binding of libmirt that the Python package builds on.
// Every call into the codec runs without the GIL; callbacks into Python
// take it back.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "mirt/mirt.h"

namespace py = pybind11;

namespace {

// A failed call: the status and the library's message, raised in Python
// as the matching mirt.Error subclass.
struct Failure {
  int status;
  std::string message;
};

[[noreturn]] void raise_failure(int64_t status) {
  throw Failure{static_cast<int>(status), mirt_last_error()};
}

int64_t checked(int64_t result) {
  if (result < 0) raise_failure(result);
  return result;
}

// mirt.Error and its subclasses, by status.
py::dict& error_classes() {
  static py::dict* classes = new py::dict();  // lives as long as the module
  return *classes;
}

py::object make_error(py::module_& m, const char* name, py::object bases) {
  PyObject* type = PyErr_NewException((std::string("mirt.") + name).c_str(), bases.ptr(), nullptr);
  if (type == nullptr) throw py::error_already_set();
  py::object cls = py::reinterpret_steal<py::object>(type);
  m.attr(name) = cls;
  return cls;
}

void define_errors(py::module_& m) {
  py::module_ io = py::module_::import("io");
  py::object error = make_error(m, "Error", py::reinterpret_borrow<py::object>(PyExc_Exception));
  auto with = [&](py::handle other) { return py::make_tuple(error, other); };
  error_classes()[py::int_(0)] = error;
  py::object corrupt = make_error(m, "CorruptError", error);
  py::object stream = make_error(m, "StreamError", with(PyExc_OSError));
  py::object usage = make_error(m, "UsageError", with(PyExc_ValueError));
  py::dict& classes = error_classes();
  auto key = [](int status) { return py::int_(status); };
  classes[key(MIRT_ERROR_ARGUMENT)] = usage;
  classes[key(MIRT_ERROR_SPACE)] = usage;
  classes[key(MIRT_ERROR_STATE)] = usage;
  classes[key(MIRT_ERROR_MEMORY)] = make_error(m, "OutOfMemoryError", with(PyExc_MemoryError));
  classes[key(MIRT_ERROR_MEMORY_LIMIT)] = make_error(m, "MemoryLimitError", error);
  classes[key(MIRT_ERROR_IO)] = stream;
  classes[key(MIRT_ERROR_CALLBACK)] = stream;
  classes[key(MIRT_ERROR_FORMAT)] = make_error(m, "FormatError", error);
  classes[key(MIRT_ERROR_CORRUPT)] = corrupt;
  classes[key(MIRT_ERROR_CHECKSUM)] = make_error(m, "ChecksumError", corrupt);
  classes[key(MIRT_ERROR_UNAVAILABLE)] = make_error(m, "UnavailableError", error);
  classes[key(MIRT_ERROR_CONFIG)] = make_error(m, "ConfigError", error);
  classes[key(MIRT_ERROR_UNSUPPORTED)] =
      make_error(m, "UnsupportedError", with(io.attr("UnsupportedOperation")));
  py::register_exception_translator([](std::exception_ptr pointer) {
    try {
      if (pointer) std::rethrow_exception(pointer);
    } catch (const Failure& failure) {
      py::dict& known = error_classes();
      const py::int_ status(failure.status);
      // Key 0 holds mirt.Error itself, for a status without a class.
      py::object cls = known[known.contains(status) ? status : py::int_(0)];
      py::object error = cls(failure.message);
      error.attr("status") = failure.status;
      PyErr_SetObject(cls.ptr(), error.ptr());
    }
  });
}

// Read-only bytes of any buffer object, held for the duration of a call.
struct Bytes {
  explicit Bytes(const py::buffer& source) : info(source.request()) {
    if (info.ndim > 1 && !PyBuffer_IsContiguous(info.view(), 'C'))
      throw Failure{MIRT_ERROR_ARGUMENT, "the buffer is not contiguous"};
  }
  const void* data() const { return info.ptr; }
  size_t size() const { return static_cast<size_t>(info.size * info.itemsize); }
  py::buffer_info info;
};

// A bytes object of `capacity` to fill, cut to what was filled.
class Output {
 public:
  explicit Output(size_t capacity)
      : object_(py::reinterpret_steal<py::object>(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)))) {
    if (!object_) throw py::error_already_set();
  }
  char* data() { return PyBytes_AS_STRING(object_.ptr()); }
  py::bytes finish(size_t length) {
    PyObject* raw = object_.release().ptr();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(length)) != 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(raw);
  }

 private:
  py::object object_;
};

class Context {
 public:
  Context(std::optional<std::string> config, std::optional<uint32_t> threads,
          std::optional<uint32_t> block_size, std::optional<uint64_t> memory_limit,
          bool checksums, bool installed_config) {
    mirt_options options;
    mirt_options_init(&options);
    if (config) options.config = config->c_str();
    options.threads = threads.value_or(0);
    options.block_size = block_size.value_or(0);
    options.memory_limit = memory_limit.value_or(0);
    if (!checksums) options.flags |= MIRT_NO_CHECKSUMS;
    if (!installed_config) options.flags |= MIRT_NO_INSTALLED_CONFIG;
    mirt_context* made = nullptr;
    int status;
    {
      py::gil_scoped_release free;
      status = mirt_context_create(&options, &made);
    }
    checked(status);
    context_.reset(made);
  }

  mirt_context* get() const { return context_.get(); }

  uint32_t block_size(uint64_t plain_size) const {
    return mirt_context_block_size(get(), plain_size);
  }

  py::bytes compress(const py::buffer& data) const {
    Bytes in(data);
    Output out(mirt_compress_bound(get(), in.size()));
    int64_t length;
    {
      py::gil_scoped_release free;
      length = mirt_compress(get(), in.data(), in.size(), out.data(),
                             mirt_compress_bound(get(), in.size()));
    }
    return out.finish(static_cast<size_t>(checked(length)));
  }

  py::bytes decompress(const py::buffer& data) const {
    Bytes in(data);
    uint64_t size = 0;
    int status;
    {
      py::gil_scoped_release free;
      status = mirt_decompressed_size(in.data(), in.size(), &size);
    }
    // Encrypted, gzip and bzip2 input tell no size beforehand.
    if (status == MIRT_ERROR_UNSUPPORTED || status == MIRT_ERROR_FORMAT) return expand_streaming(in);
    checked(status);
    Output out(static_cast<size_t>(size));
    int64_t length;
    {
      py::gil_scoped_release free;
      length = mirt_decompress(get(), in.data(), in.size(), out.data(), static_cast<size_t>(size));
    }
    return out.finish(static_cast<size_t>(checked(length)));
  }

 private:
  struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
  };

  py::bytes expand_streaming(const Bytes& in) const {
    Cursor cursor{static_cast<const uint8_t*>(in.data()), in.size()};
    mirt_input input{};
    input.opaque = &cursor;
    input.read = [](void* opaque, void* buffer, size_t size) -> int64_t {
      auto* c = static_cast<Cursor*>(opaque);
      const size_t n = std::min(size, c->size - c->at);
      std::memcpy(buffer, c->data + c->at, n);
      c->at += n;
      return static_cast<int64_t>(n);
    };
    std::string plain;
    int64_t got = 0;
    {
      py::gil_scoped_release free;
      mirt_reader* reader = nullptr;
      got = mirt_reader_open_input(get(), &input, &reader);
      const std::unique_ptr<mirt_reader, void (*)(mirt_reader*)> owner(reader, mirt_reader_free);
      std::string chunk(1 << 20, '\0');
      while (got >= 0 && (got = mirt_reader_read(reader, chunk.data(), chunk.size())) > 0)
        plain.append(chunk.data(), static_cast<size_t>(got));
    }
    checked(got);
    return py::bytes(plain);
  }

  std::unique_ptr<mirt_context, void (*)(mirt_context*)> context_{nullptr, mirt_context_free};
};

// A Python file object behind the library's callbacks.
struct PythonFile {
  py::object file;

  static int64_t read(void* opaque, void* buffer, size_t size) {
    py::gil_scoped_acquire hold;
    try {
      py::bytes got = static_cast<PythonFile*>(opaque)->file.attr("read")(size);
      const std::string_view view = got;
      if (view.size() > size) return -1;
      std::memcpy(buffer, view.data(), view.size());
      return static_cast<int64_t>(view.size());
    } catch (py::error_already_set&) {
      return -1;
    }
  }
  static int seek(void* opaque, uint64_t offset) {
    py::gil_scoped_acquire hold;
    try {
      static_cast<PythonFile*>(opaque)->file.attr("seek")(offset);
      return 0;
    } catch (py::error_already_set&) {
      return -1;
    }
  }
  static int64_t length(void* opaque) {
    py::gil_scoped_acquire hold;
    try {
      return static_cast<PythonFile*>(opaque)->file.attr("seek")(0, 2).cast<int64_t>();
    } catch (py::error_already_set&) {
      return -1;
    }
  }
  static int write(void* opaque, const void* data, size_t size) {
    py::gil_scoped_acquire hold;
    try {
      static_cast<PythonFile*>(opaque)->file.attr("write")(
          py::bytes(static_cast<const char*>(data), size));
      return 0;
    } catch (py::error_already_set&) {
      return -1;
    }
  }
};

class Reader {
 public:
  // `source`: a descriptor (kept open by the caller) or a binary file
  // object; `seekable` says whether a file object may be seeked.
  Reader(py::object context, py::object source, bool seekable)
      : context_ref_(std::move(context)) {
    const Context& context_value = context_ref_.cast<const Context&>();
    mirt_reader* made = nullptr;
    int status;
    if (py::isinstance<py::int_>(source)) {
      const int fd = source.cast<int>();
      py::gil_scoped_release free;
      status = mirt_reader_open_fd(context_value.get(), fd, &made);
    } else {
      file_ = std::make_unique<PythonFile>(PythonFile{source});
      mirt_input input{};
      input.read = PythonFile::read;
      input.seek = seekable ? PythonFile::seek : nullptr;
      input.length = seekable ? PythonFile::length : nullptr;
      input.opaque = file_.get();
      status = mirt_reader_open_input(context_value.get(), &input, &made);
    }
    checked(status);
    reader_.reset(made);
  }

  size_t readinto(const py::buffer& target) {
    py::buffer_info info = target.request(true);
    const size_t size = static_cast<size_t>(info.size * info.itemsize);
    int64_t got;
    {
      py::gil_scoped_release free;
      got = mirt_reader_read(open(), info.ptr, size);
    }
    return static_cast<size_t>(checked(got));
  }

  int64_t seek(int64_t offset, int whence) {
    int64_t at;
    {
      py::gil_scoped_release free;
      at = mirt_reader_seek(open(), offset, whence);
    }
    return checked(at);
  }

  int64_t tell() { return checked(mirt_reader_tell(open())); }
  uint64_t blocks_decoded() { return mirt_reader_blocks_decoded(open()); }

  void close() {
    py::gil_scoped_release free;
    reader_.reset();
  }

 private:
  mirt_reader* open() {
    if (!reader_) throw Failure{MIRT_ERROR_STATE, "the reader is closed"};
    return reader_.get();
  }

  py::object context_ref_;
  std::unique_ptr<PythonFile> file_;
  std::unique_ptr<mirt_reader, void (*)(mirt_reader*)> reader_{nullptr, mirt_reader_free};
};

class Writer {
 public:
  Writer(py::object context, py::object target) : context_ref_(std::move(context)) {
    const Context& context_value = context_ref_.cast<const Context&>();
    mirt_writer* made = nullptr;
    int status;
    if (py::isinstance<py::int_>(target)) {
      const int fd = target.cast<int>();
      py::gil_scoped_release free;
      status = mirt_writer_open_fd(context_value.get(), fd, &made);
    } else {
      file_ = std::make_unique<PythonFile>(PythonFile{target});
      status = mirt_writer_open_callback(context_value.get(), PythonFile::write, file_.get(), &made);
    }
    checked(status);
    writer_.reset(made);
  }

  size_t write(const py::buffer& data) {
    Bytes in(data);
    int status;
    {
      py::gil_scoped_release free;
      status = mirt_writer_write(open(), in.data(), in.size());
    }
    checked(status);
    return in.size();
  }

  void finish() {
    int status;
    {
      py::gil_scoped_release free;
      status = mirt_writer_finish(open());
    }
    checked(status);
  }

  // Without finishing: what was written does not form a container.
  void close() {
    py::gil_scoped_release free;
    writer_.reset();
  }

 private:
  mirt_writer* open() {
    if (!writer_) throw Failure{MIRT_ERROR_STATE, "the writer is closed"};
    return writer_.get();
  }

  py::object context_ref_;
  std::unique_ptr<PythonFile> file_;
  std::unique_ptr<mirt_writer, void (*)(mirt_writer*)> writer_{nullptr, mirt_writer_free};
};

class Index {
 public:
  explicit Index(int fd) {
    mirt_index* made = nullptr;
    int status;
    {
      py::gil_scoped_release free;
      status = mirt_index_build(fd, &made);
    }
    checked(status);
    index_.reset(made);
  }

  uint64_t size() const { return mirt_index_size(index_.get()); }
  uint64_t block_count() const { return mirt_index_block_count(index_.get()); }
  uint32_t container_count() const { return mirt_index_container_count(index_.get()); }
  uint32_t block_size() const { return mirt_index_block_size(index_.get()); }
  uint64_t find(uint64_t offset) const { return mirt_index_find(index_.get(), offset); }

  py::tuple block(uint64_t number) const {
    mirt_block_info info{};
    checked(mirt_index_block(index_.get(), number, &info));
    return py::make_tuple(info.plain_offset, info.plain_length, info.offset, info.stored_length,
                          info.algorithm, info.container, info.block_size);
  }

 private:
  std::unique_ptr<mirt_index, void (*)(mirt_index*)> index_{nullptr, mirt_index_free};
};

}  // namespace

PYBIND11_MODULE(_mirt, m) {
  m.doc() = "The libmirt binding under the mirt package.";
  define_errors(m);
  m.def("version", [] { return std::string(mirt_version_string()); });

  py::class_<Context>(m, "Context")
      .def(py::init<std::optional<std::string>, std::optional<uint32_t>, std::optional<uint32_t>,
                    std::optional<uint64_t>, bool, bool>(),
           py::arg("config") = py::none(), py::arg("threads") = py::none(),
           py::arg("block_size") = py::none(), py::arg("memory_limit") = py::none(),
           py::arg("checksums") = true, py::arg("installed_config") = true)
      .def("compress", &Context::compress, py::arg("data"))
      .def("decompress", &Context::decompress, py::arg("data"))
      .def("block_size", &Context::block_size, py::arg("plain_size"));

  py::class_<Reader>(m, "Reader")
      .def(py::init<py::object, py::object, bool>(), py::arg("context"), py::arg("source"),
           py::arg("seekable") = false)
      .def("readinto", &Reader::readinto, py::arg("buffer"))
      .def("seek", &Reader::seek, py::arg("offset"), py::arg("whence") = 0)
      .def("tell", &Reader::tell)
      .def_property_readonly("blocks_decoded", &Reader::blocks_decoded)
      .def("close", &Reader::close);

  py::class_<Writer>(m, "Writer")
      .def(py::init<py::object, py::object>(), py::arg("context"), py::arg("target"))
      .def("write", &Writer::write, py::arg("data"))
      .def("finish", &Writer::finish)
      .def("close", &Writer::close);

  py::class_<Index>(m, "Index")
      .def(py::init<int>(), py::arg("fd"))
      .def_property_readonly("size", &Index::size)
      .def_property_readonly("block_count", &Index::block_count)
      .def_property_readonly("container_count", &Index::container_count)
      .def_property_readonly("block_size", &Index::block_size)
      .def("find", &Index::find, py::arg("offset"))
      .def("block", &Index::block, py::arg("number"));
}
