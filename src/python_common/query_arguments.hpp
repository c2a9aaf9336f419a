// The leading arguments both search methods share: term, max_dist, limit.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/matcher/code_points.hpp"
#include "python_common/binding.hpp"
#include "python_common/convert.hpp"
#include "python_common/method_signatures.hpp"

namespace quillomar::py {

struct QueryArguments {
  std::vector<uint32_t> query;  // the term's code points
  uint32_t max_dist;
  std::optional<uint32_t> limit;
};

// Converts slots[0..2] (term, max_dist with its default, optional limit)
// in that order, naming the argument in a TypeError.
inline QueryArguments ConvertQueryArguments(PyObject* const* slots) {
  // Both search methods start with the same three parameters.
  const Signature& sig = signatures::kFuzzyMatch;
  QueryArguments out;
  const std::string_view term = ConvertArgument(sig, slots, 0, ToUtf8);
  out.max_dist = slots[1] == nullptr ? signatures::kDefaultMaxDist
                                     : ConvertArgument(sig, slots, 1, ToU32);
  out.limit = ConvertArgument(sig, slots, 2, ToOptionalU32);
  out.query = CodePoints(term);
  return out;
}

}  // namespace quillomar::py
