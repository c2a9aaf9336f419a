#include "core/matcher/code_points.hpp"
#include "core/matcher/term_matching.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"
#include "python/result_list.hpp"

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

    const std::vector<uint32_t> query = CodePoints(term);
    std::vector<PyRef> items;
    // Only terminal nodes are recorded, so the flag is always 1.
    auto sink = [&items](uint32_t, uint32_t distance,
                         std::span<const uint32_t> path) {
      PyRef text = StrFromCodePoints(path);
      PyRef flag = Check(PyLong_FromLong(1));
      PyRef dist = Check(PyLong_FromUnsignedLong(distance));
      items.push_back(
          TupleOf({std::move(text), std::move(flag), std::move(dist)}));
    };
    FuzzyMatchTerms(index, query, max_dist, limit, sink);
    return ListOf(items).release();
  });
}

}  // namespace quillomar::py
