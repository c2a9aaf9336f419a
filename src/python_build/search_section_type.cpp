#include "python_build/search_section_type.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <variant>

#include "core/mapped/section_writer.hpp"
#include "core/trie/trie_codec.hpp"
#include "python_build/without_gil.hpp"
#include "python_common/buffer_view.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {
namespace {

struct SearchSectionObject {
  PyObject_HEAD
      // The writer reads the trie, so both live (and die) together.
      std::unique_ptr<Trie>
          trie;
  std::optional<mapped::SectionWriter> writer;
};

SearchSectionObject& Self(PyObject* self) {
  return *reinterpret_cast<SearchSectionObject*>(self);
}

PyObject* NoConstructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "SearchSection objects come from search_section() or "
                  "Aggregator.encode_to_file()");
  return nullptr;
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Owned = std::unique_ptr<Trie>;
  using Writer = std::optional<mapped::SectionWriter>;
  Self(self).writer.~Writer();  // reads the trie: goes first
  Self(self).trie.~Owned();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* GetSize(PyObject* self, void*) {
  return Guarded([&] { return PyLong_FromSize_t(Self(self).writer->size()); });
}

// parts() -> [(name, bytes)], one per array in section order.
PyObject* Parts(PyObject* self, PyObject*) {
  return Guarded([&] { return PartList(Self(self).writer->part_bytes()); });
}

// write(fd, offset) -> bytes written, through pwrite.
PyObject* Write(PyObject* self, PyObject* args) {
  return Guarded([&]() -> PyObject* {
    int fd;
    long long offset;
    if (!PyArg_ParseTuple(args, "iL:write", &fd, &offset)) return nullptr;
    if (offset < 0) Raise(PyExc_ValueError, "offset must not be negative");
    const mapped::SectionWriter& w = *Self(self).writer;
    const int error = WithoutGil([&] {
      off_t at = static_cast<off_t>(offset);
      int err = 0;
      w.Write([&](std::span<const uint8_t> bytes) {
        for (size_t done = 0; err == 0 && done < bytes.size();) {
          const ssize_t n =
              pwrite(fd, bytes.data() + done, bytes.size() - done, at);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
          }
          done += static_cast<size_t>(n);
          at += n;
        }
      });
      return err;
    });
    if (error != 0) {
      errno = error;
      PyErr_SetFromErrno(PyExc_OSError);
      return nullptr;
    }
    return PyLong_FromSize_t(w.size());
  });
}

// to_bytes() -> the whole section.
PyObject* ToBytes(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    const mapped::SectionWriter& w = *Self(self).writer;
    PyRef out = Check(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(w.size())));
    uint8_t* at = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
    WithoutGil([&] {
      w.Write([&](std::span<const uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), at);
        at += bytes.size();
      });
    });
    return out.release();
  });
}

PyMethodDef kMethods[] = {
    {"parts", Parts, METH_NOARGS,
     "parts(): [(name, bytes)] of each array, in section order"},
    {"write", Write, METH_VARARGS,
     "write(fd, offset): write the section into the file open as fd at "
     "offset; returns its size"},
    {"to_bytes", ToBytes, METH_NOARGS, "to_bytes(): the whole section"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"size", GetSize, nullptr, "bytes of the whole section", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(NoConstructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>("The search section of an index, ready to be written "
                       "after it (from search_section or "
                       "Aggregator.encode_to_file)")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_quillomar_build.SearchSection",
    sizeof(SearchSectionObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyTypeObject* SearchSectionType() { return HeapType<kSpec>(); }

PyObject* NewSearchSection(Trie&& trie) {
  PyTypeObject* type = SearchSectionType();
  if (type == nullptr) throw PyErrorAlreadySet{};
  auto owned = std::make_unique<Trie>(std::move(trie));
  std::optional<mapped::SectionWriter> writer =
      WithoutGil([&] { return mapped::SectionWriter::Derive(*owned); });
  if (!writer) Py_RETURN_NONE;
  PyRef obj = Check(type->tp_alloc(type, 0));
  SearchSectionObject& s = Self(obj.get());
  new (&s.trie) std::unique_ptr<Trie>(std::move(owned));
  new (&s.writer) std::optional<mapped::SectionWriter>(std::move(writer));
  return obj.release();
}

PyObject* PartList(const std::array<uint64_t, mapped::kArrayCount>& bytes) {
  PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  for (size_t k = 0; k < bytes.size(); ++k) {
    PyObject* item = Py_BuildValue("(sK)", mapped::kArrayName[k],
                                   static_cast<unsigned long long>(bytes[k]));
    if (item == nullptr) throw PyErrorAlreadySet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

PyObject* SearchSectionOf(PyObject*, PyObject* arg) {
  return Guarded([&]() -> PyObject* {
    const BufferView view(arg, "index_bytes");
    const std::span<const uint8_t> bytes(
        reinterpret_cast<const uint8_t*>(view.data()), view.bytes());
    std::variant<Trie, codec::DecodeError> decoded =
        WithoutGil([&] { return Decode(bytes); });
    if (auto* err = std::get_if<codec::DecodeError>(&decoded)) {
      Raise(PyExc_ValueError, "decode error: " + err->ToString());
    }
    return NewSearchSection(std::get<Trie>(std::move(decoded)));
  });
}

}  // namespace quillomar::py
