#include "python_build/mapped_index_type.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "core/mapped/bus_guard.hpp"
#include "core/mapped/mapped_index.hpp"
#include "python_build/search_section_type.hpp"
#include "python_build/without_gil.hpp"
#include "python_common/errors.hpp"
#include "python_common/method_signatures.hpp"
#include "python_common/module_setup.hpp"
#include "python_common/search_calls.hpp"

namespace quillomar::py {
namespace {

using mapped::MappedIndex;

struct MappedIndexObject {
  PyObject_HEAD
      // The exporter's buffer, held for the object's life: a mapping cannot be
      // closed, nor a bytearray resized, under it.
      Py_buffer view;
  std::optional<MappedIndex> index;
  mapped::BusGuard guard;
  // A descriptor of the mapped file (-1 when none was given) and what it
  // was when opened: a writer that changes the file in place instead of
  // renaming a new one over it changes the mapped bytes too.
  int fd;
  struct stat opened;
};

bool ChangedInPlace(const MappedIndexObject& s) {
  if (s.fd < 0) return false;
  struct stat now;
  if (fstat(s.fd, &now) != 0) return true;
  return now.st_size != s.opened.st_size ||
         now.st_mtim.tv_sec != s.opened.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != s.opened.st_mtim.tv_nsec;
}

MappedIndexObject& Self(PyObject* self) {
  return *reinterpret_cast<MappedIndexObject*>(self);
}

// Sets ValueError(message) for a section that cannot be opened.
[[noreturn]] void RaiseUnreadable(const std::string& why) {
  Raise(PyExc_ValueError, "cannot map the search section: " + why);
}

// MappedIndex(buffer, offset=0, length=None, fd=-1)
PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    static const char* kNames[] = {"buffer", "offset", "length", "fd", nullptr};
    PyObject* source;
    Py_ssize_t offset = 0;
    PyObject* length_obj = Py_None;
    int fd = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|nOi:MappedIndex",
                                     const_cast<char**>(kNames), &source,
                                     &offset, &length_obj, &fd)) {
      return nullptr;
    }
    struct stat file_state = {};
    if (fd >= 0) {
      fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (fd < 0 || fstat(fd, &file_state) != 0) {
        if (fd >= 0) close(fd);
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
      }
    }
    std::unique_ptr<int, void (*)(int*)> fd_held(fd >= 0 ? &fd : nullptr,
                                                 [](int* f) { close(*f); });
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return nullptr;
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view,
                                                          PyBuffer_Release);
    Py_ssize_t length = view.len - offset;
    if (length_obj != Py_None) {
      length = PyLong_AsSsize_t(length_obj);
      if (length == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
    }
    if (offset < 0 || length < 0 || offset > view.len ||
        length > view.len - offset) {
      Raise(PyExc_ValueError, "offset and length lie outside the buffer");
    }
    const std::span<const uint8_t> section(
        static_cast<const uint8_t*>(view.buf) + offset,
        static_cast<size_t>(length));
    std::variant<MappedIndex, std::string> opened =
        WithoutGil([&] { return MappedIndex::Open(section); });
    if (auto* why = std::get_if<std::string>(&opened)) RaiseUnreadable(*why);

    PyRef obj = Check(type->tp_alloc(type, 0));
    MappedIndexObject& s = Self(obj.get());
    s.view = *held.release();
    s.fd = fd;
    s.opened = file_state;
    fd_held.release();
    new (&s.index)
        std::optional<MappedIndex>(std::get<MappedIndex>(std::move(opened)));
    new (&s.guard) mapped::BusGuard(section);
    return obj.release();
  });
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  MappedIndexObject& s = Self(self);
  using Index = std::optional<MappedIndex>;
  s.index.~Index();
  s.guard.~BusGuard();  // before the buffer (and maybe the mapping) goes
  PyBuffer_Release(&s.view);
  if (s.fd >= 0) close(s.fd);
  type->tp_free(self);
  Py_DECREF(type);
}

const MappedIndex& IndexOf(PyObject* self) {
  PyTypeObject* type = MappedIndexType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    RaiseWrongType(self == nullptr ? Py_None : self, "MappedIndex");
  }
  const MappedIndexObject& s = Self(self);
  if (s.guard.faulted()) {
    Raise(PyExc_OSError, "the index file was truncated while it was mapped");
  }
  if (ChangedInPlace(s)) {
    Raise(PyExc_OSError,
          "the index file was changed in place while it was mapped");
  }
  return *s.index;
}

// A search that met a page the file no longer has read zeros there; its
// answer is refused.
template <class F>
PyObject* Searched(PyObject* self, F&& search) {
  return Guarded([&]() -> PyObject* {
    PyRef out = PyRef::Steal(search());
    if (out && Self(self).guard.faulted()) {
      Raise(PyExc_OSError, "the index file was truncated while it was mapped");
    }
    return out.release();
  });
}

PyObject* FuzzyMatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return Searched(self, [&] {
    return FuzzyMatchCall(self, args, nargsf, kwnames, IndexOf);
  });
}

PyObject* FuzzyMatchVideo(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
  return Searched(self, [&] {
    return FuzzyMatchVideoCall(
        self, args, nargsf, kwnames, IndexOf,
        [](const MappedIndex& index, std::span<const uint32_t> query,
           const VideoQuery& options) {
          return mapped::RankVideos(index, query, options);
        },
        [](const MappedIndex& index, uint32_t video, char* out) {
          return IdentifierText(index.id_mode(), index.uuid_ids(),
                                index.int32_ids(), video, out);
        });
  });
}

// parts() -> [(name, bytes)] of each array, in section order.
PyObject* Parts(PyObject* self, PyObject*) {
  // PartList reports failures as the build module's other entry points do.
  return Guarded([&] { return PartList(Self(self).index->part_bytes()); });
}

PyObject* GetNodeCount(PyObject* self, void*) {
  return Guarded(
      [&] { return PyLong_FromSize_t(Self(self).index->node_count()); });
}

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction Fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"fuzzy_match", Fastcall<FuzzyMatch>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"fuzzy_match_video", Fastcall<FuzzyMatchVideo>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"parts", Parts, METH_NOARGS,
     "parts($self)\n--\n\n[(name, bytes)] of each array of the section"},
    {nullptr, nullptr, 0, nullptr},
};

void FillDocStrings() {
  static const std::string docs[] = {DocString(signatures::kFuzzyMatch),
                                     DocString(signatures::kFuzzyMatchVideo)};
  for (size_t i = 0; i < std::size(docs); ++i) {
    kMethods[i].ml_doc = docs[i].c_str();
  }
}

PyGetSetDef kGetSet[] = {
    {"node_count", GetNodeCount, nullptr, "nodes of the index", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(
         "MappedIndex(buffer, offset=0, length=None, fd=-1): the index whose "
         "search section is buffer[offset:offset + length], searched in "
         "place; the buffer stays exported (a mapping cannot be closed) "
         "while the index lives. With fd, the descriptor of the mapped "
         "file, searches raise OSError once the file is changed in place.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_quillomar_build.MappedIndex",
    sizeof(MappedIndexObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* MappedIndexType() {
  static const bool filled = (FillDocStrings(), true);
  (void)filled;
  return HeapType<kSpec>();
}

}  // namespace quillomar::py
