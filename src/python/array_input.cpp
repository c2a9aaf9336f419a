#include "python/array_input.hpp"

#include <cstring>
#include <optional>

#include "core/codec/utf8.hpp"
#include "python_common/buffer_view.hpp"
#include "python_common/convert.hpp"
#include "python_common/errors.hpp"
#include "python_common/int_buffer.hpp"

namespace quillomar::py {
namespace {

// True for a one-dimensional buffer with shape and strides and without
// indirection, the only kind the fast paths read.
bool IsFlatVector(const Py_buffer& view) {
  return view.ndim == 1 && view.shape != nullptr && view.strides != nullptr &&
         view.suboffsets == nullptr;
}

// Appends the elements of a one-dimensional integer buffer when every one
// of them is an unsigned 32-bit value; otherwise returns false with `out`
// as it was, so the general path can raise the element's own error.
bool TryAppendIntBuffer(PyObject* seq, std::vector<uint32_t>& out) {
  BufferView buffer;
  if (!buffer.TryAcquire(seq, PyBUF_RECORDS_RO)) return false;
  const Py_buffer& view = buffer.view();
  if (!IsFlatVector(view)) return false;
  const std::optional<IntFormat> f = NativeIntFormat(view);
  if (!f) return false;
  const size_t before = out.size();
  const auto n = static_cast<size_t>(view.shape[0]);
  out.resize(before + n);
  if (CopyU32InRange(*f, buffer.data(), view.strides[0], n,
                     out.data() + before) != n) {
    out.resize(before);
    return false;
  }
  return true;
}

// Labels from a one-dimensional buffer of fixed-width UCS-4 strings (numpy
// unicode arrays, format "Nw"): an element is the string of its code units
// with trailing NULs dropped, so its first unit is its first code point, or
// 0 for an empty string. Returns false, with `out` as it was, for any other
// buffer and for any element holding a unit that is not a Unicode scalar
// value, so that the general path raises that element's own error.
bool TryAppendUcs4Buffer(PyObject* seq, std::vector<uint32_t>& out) {
  BufferView buffer;
  if (!buffer.TryAcquire(seq, PyBUF_RECORDS_RO)) return false;
  const Py_buffer& view = buffer.view();
  if (!IsFlatVector(view) || view.format == nullptr) return false;
  const char* fmt = NativeElementFormat(view);
  Py_ssize_t width = 0;
  bool digits = false;
  for (; *fmt >= '0' && *fmt <= '9'; ++fmt) {
    digits = true;
    width = width * 10 + (*fmt - '0');
    if (width > (1 << 20)) return false;
  }
  if (!digits) width = 1;
  if (fmt[0] != 'w' || fmt[1] != '\0' || width == 0 ||
      view.itemsize != 4 * width) {
    return false;
  }
  const char* p = static_cast<const char*>(view.buf);
  const Py_ssize_t n = view.shape[0];
  const size_t before = out.size();
  out.reserve(before + static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i, p += view.strides[0]) {
    for (Py_ssize_t j = 0; j < width; ++j) {
      uint32_t u;
      std::memcpy(&u, p + 4 * j, 4);
      if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
        out.resize(before);
        return false;
      }
    }
    uint32_t first;
    std::memcpy(&first, p, 4);
    out.push_back(first);
  }
  return true;
}

// The first code point of text, 0 for empty text.
uint32_t FirstCodePoint(std::string_view s) {
  if (s.empty()) return 0;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  return codec::NextCodePointLossy(p, p + s.size());
}

uint8_t ToByte(PyObject* o) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
  if (v < 0 || v > 255) {
    Raise(PyExc_OverflowError,
          "out of range integral type conversion attempted");
  }
  return static_cast<uint8_t>(v);
}

void ReserveHint(std::vector<uint32_t>& v, Py_ssize_t extra) {
  if (extra > 0) v.reserve(v.size() + static_cast<size_t>(extra));
}

}  // namespace

size_t AppendU32Sequence(PyObject* seq, std::vector<uint32_t>& out) {
  const size_t before = out.size();
  CheckSequence(seq);
  if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq) &&
      TryAppendIntBuffer(seq, out)) {
    return out.size() - before;
  }
  ForEachInSequence(
      seq, [&](Py_ssize_t size) { ReserveHint(out, size); },
      [&](PyObject* item) { out.push_back(ToU32(item)); });
  return out.size() - before;
}

std::vector<uint32_t> ReadU32Sequence(PyObject* seq) {
  std::vector<uint32_t> out;
  AppendU32Sequence(seq, out);
  return out;
}

std::vector<uint32_t> ReadLabels(PyObject* seq) {
  std::vector<uint32_t> out;
  CheckSequence(seq);
  if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq) &&
      TryAppendUcs4Buffer(seq, out)) {
    return out;
  }
  ForEachInSequence(
      seq, [&](Py_ssize_t size) { ReserveHint(out, size); },
      [&](PyObject* item) { out.push_back(FirstCodePoint(ToUtf8(item))); });
  return out;
}

std::vector<PyRef> ReadObjects(PyObject* seq) {
  std::vector<PyRef> out;
  ForEachInSequence(
      seq,
      [&](Py_ssize_t size) {
        if (size > 0) out.reserve(static_cast<size_t>(size));
      },
      [&](PyObject* item) { out.push_back(PyRef::Borrow(item)); });
  return out;
}

ByteEntries ReadByteEntries(PyObject* seq) {
  ByteEntries out;
  ForEachInSequence(
      seq,
      [&](Py_ssize_t size) {
        if (size > 0) out.sizes.reserve(static_cast<size_t>(size));
      },
      [&](PyObject* entry) {
        if (PyBytes_CheckExact(entry)) {
          const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(entry));
          out.sizes.push_back(size);
          if (size == 4 || size == 16) {
            const auto* p =
                reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(entry));
            out.bytes.insert(out.bytes.end(), p, p + size);
          }
          return;
        }
        uint8_t first[16];
        size_t size = 0;
        ForEachInSequence(
            entry, [](Py_ssize_t) {},
            [&](PyObject* item) {
              const uint8_t b = ToByte(item);
              if (size < 16) first[size] = b;
              ++size;
            });
        out.sizes.push_back(size);
        if (size == 4 || size == 16) {
          out.bytes.insert(out.bytes.end(), first, first + size);
        }
      });
  return out;
}

void ConvertPayloads(std::vector<PyRef>& items, PayloadTable& out) {
  out.Reserve(items.size(), 0, 0);
  std::vector<uint32_t> ids;
  std::vector<uint32_t> counts;
  for (PyRef& held : items) {
    PyObject* item = held.get();
    if (item == Py_None) {
      out.AppendAbsent();
    } else {
      if (!PyTuple_Check(item)) RaiseWrongType(item, "PyTuple");
      if (PyTuple_GET_SIZE(item) != 3) {
        Raise(PyExc_ValueError, "Payload tuple must have 3 elements");
      }
      const uint32_t total_count = ToU32(PyTuple_GET_ITEM(item, 0));
      ids.clear();
      counts.clear();
      AppendU32Sequence(PyTuple_GET_ITEM(item, 1), ids);
      AppendU32Sequence(PyTuple_GET_ITEM(item, 2), counts);
      if (ids.size() != counts.size()) {
        Raise(PyExc_ValueError, "video_ids and video_counts length mismatch");
      }
      out.AppendPresent(total_count, ids, counts);
    }
    held = PyRef();
  }
  out.Seal();
}

}  // namespace quillomar::py
