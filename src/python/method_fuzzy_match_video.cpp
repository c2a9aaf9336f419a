#include "core/ranking/identifier_text.hpp"
#include "core/ranking/video_ranking.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/prefix_search.hpp"
#include "python/query_arguments.hpp"
#include "python/result_list.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* FuzzyMatchVideo(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    BindArguments(signatures::kFuzzyMatchVideo, args, nargsf, kwnames, slots);
    const SearchIndex& index = IndexOf(self);
    const QueryArguments q = ConvertQueryArguments(slots);
    const Signature& sig = signatures::kFuzzyMatchVideo;
    const std::optional<bool> include_prefix_nodes =
        ConvertArgument(sig, slots, 3, ToOptionalBool);
    const std::optional<double> min_score =
        ConvertArgument(sig, slots, 4, ToOptionalDouble);

    const std::vector<RankedVideo> rows = RankVideos(
        index, q.query, {q.max_dist, q.limit, include_prefix_nodes, min_score});
    PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    char text[kMaxIdentifierText];
    for (size_t i = 0; i < rows.size(); ++i) {
      // RankVideos keeps only rows with an identifier, so size > 0.
      const size_t size = IdentifierText(index.trie(), rows[i].video, text);
      PyRef id = StrFromAscii(text, size);
      PyRef score = Check(PyFloat_FromDouble(rows[i].score));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      TupleOf({std::move(id), std::move(score)}).release());
    }
    return list.release();
  });
}

}  // namespace quillomar::py
