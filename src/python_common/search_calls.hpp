// The bodies of the two search methods, for any index the core can search
// (a PrefixSearch's SearchIndex, a mapped index): the same binding,
// conversions, order of checks and results for each.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/matcher/term_matching.hpp"
#include "core/ranking/identifier_text.hpp"
#include "core/ranking/video_ranking.hpp"
#include "python_common/binding.hpp"
#include "python_common/convert.hpp"
#include "python_common/errors.hpp"
#include "python_common/method_signatures.hpp"
#include "python_common/query_arguments.hpp"
#include "python_common/result_list.hpp"

namespace quillomar::py {

// fuzzy_match(term, max_dist=1, limit=None). `index_of(self)` gives the
// index or raises, after the arguments are bound and before they are
// converted.
template <class IndexOfSelf>
PyObject* FuzzyMatchCall(PyObject* self, PyObject* const* args,
                         Py_ssize_t nargsf, PyObject* kwnames,
                         IndexOfSelf&& index_of) {
  PyObject* slots[kMaxParams];
  BindArguments(signatures::kFuzzyMatch, args, nargsf, kwnames, slots);
  const auto& index = index_of(self);
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
}

// fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None,
// min_score=None). `rank(index, query, options)` ranks the videos and
// `text(index, video, out)` writes a video's identifier text.
template <class IndexOfSelf, class Rank, class Text>
PyObject* FuzzyMatchVideoCall(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargsf, PyObject* kwnames,
                              IndexOfSelf&& index_of, Rank&& rank,
                              Text&& text_of) {
  PyObject* slots[kMaxParams];
  BindArguments(signatures::kFuzzyMatchVideo, args, nargsf, kwnames, slots);
  const auto& index = index_of(self);
  const QueryArguments q = ConvertQueryArguments(slots);
  const Signature& sig = signatures::kFuzzyMatchVideo;
  const std::optional<bool> include_prefix_nodes =
      ConvertArgument(sig, slots, 3, ToOptionalBool);
  const std::optional<double> min_score =
      ConvertArgument(sig, slots, 4, ToOptionalDouble);

  const std::vector<RankedVideo> rows =
      rank(index, q.query,
           VideoQuery{q.max_dist, q.limit, include_prefix_nodes, min_score});
  PyRef list = Check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  char text[kMaxIdentifierText];
  for (size_t i = 0; i < rows.size(); ++i) {
    // The ranking keeps only rows with an identifier, so size > 0.
    const size_t size = text_of(index, rows[i].video, text);
    PyRef id = StrFromAscii(text, size);
    PyRef score = Check(PyFloat_FromDouble(rows[i].score));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    TupleOf({std::move(id), std::move(score)}).release());
  }
  return list.release();
}

}  // namespace quillomar::py
