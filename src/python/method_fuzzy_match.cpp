#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"

namespace quillomar::py {
namespace {
const char* const kParams[] = {"term", "max_dist", "limit"};
const Signature kSignature = {"PrefixSearch.fuzzy_match()", kParams, 3, 1};
}  // namespace

PyObject* FuzzyMatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(kSignature, args, nargsf, kwnames, slots);
    const SearchIndex& index = IndexOf(self);
    const std::string_view term =
        NamedArgument("term", [&] { return ToUtf8(slots[0]); });
    const uint32_t max_dist =
        slots[1] == nullptr
            ? 1
            : NamedArgument("max_dist", [&] { return ToU32(slots[1]); });
    const std::optional<uint32_t> limit =
        NamedArgument("limit", [&] { return ToOptionalU32(slots[2]); });
    (void)index, (void)term, (void)max_dist, (void)limit;
    Raise(PyExc_NotImplementedError, "fuzzy_match is not implemented yet");
  });
}

}  // namespace quillomar::py
