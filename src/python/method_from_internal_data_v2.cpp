#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"

namespace quillomar::py {
namespace {
const char* const kParams[] = {"node_shifts", "child_labels",
                               "payloads",    "child_transitions",
                               "video_index", "video_top_n"};
const Signature kSignature = {"PrefixSearch.from_internal_data_v2()", kParams,
                              6, 6};
}  // namespace

PyObject* FromInternalDataV2(PyObject*, PyObject* const* args,
                             Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(kSignature, args, nargsf, kwnames, slots);
    Raise(PyExc_NotImplementedError,
          "from_internal_data_v2 is not implemented yet");
  });
}

}  // namespace quillomar::py
