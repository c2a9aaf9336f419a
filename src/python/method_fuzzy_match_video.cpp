#include "core/matcher/code_points.hpp"
#include "core/ranking/identifier_text.hpp"
#include "core/ranking/video_ranking.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/prefix_search.hpp"
#include "python/result_list.hpp"

namespace quillomar::py {
namespace {
const char* const kParams[] = {"term", "max_dist", "limit",
                               "include_prefix_nodes", "min_score"};
const Signature kSignature = {"PrefixSearch.fuzzy_match_video()", kParams, 5,
                              1};
}  // namespace

PyObject* FuzzyMatchVideo(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
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
    const std::optional<bool> include_prefix_nodes = NamedArgument(
        "include_prefix_nodes", [&] { return ToOptionalBool(slots[3]); });
    const std::optional<double> min_score =
        NamedArgument("min_score", [&] { return ToOptionalDouble(slots[4]); });

    const std::vector<RankedVideo> rows =
        RankVideos(index, CodePoints(term),
                   {max_dist, limit, include_prefix_nodes, min_score});
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
