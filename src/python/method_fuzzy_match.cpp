#include "core/matcher/term_matching.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/prefix_search.hpp"
#include "python/query_arguments.hpp"
#include "python/result_list.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* FuzzyMatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(signatures::kFuzzyMatch, args, nargsf, kwnames, slots);
    const SearchIndex& index = IndexOf(self);
    const QueryArguments q = ConvertQueryArguments(slots);
    std::vector<PyRef> items;
    // Only terminal nodes are recorded, so the flag is always 1.
    auto sink = [&items](uint32_t distance, std::span<const uint32_t> path) {
      PyRef text = StrFromCodePoints(path);
      PyRef flag = Check(PyLong_FromLong(1));
      PyRef dist = Check(PyLong_FromUnsignedLong(distance));
      items.push_back(
          TupleOf({std::move(text), std::move(flag), std::move(dist)}));
    };
    FuzzyMatchTerms(index, q.query, q.max_dist, q.limit, sink);
    return ListOf(items).release();
  });
}

}  // namespace quillomar::py
