// Every method's parameters, written once. The binder reads the names and
// how many are required, the docstring (from which the interpreter derives
// __text_signature__) is rendered from the same table, and the converters
// take their defaults from it.
#pragma once

#include <cstdint>
#include <string>

namespace quillomar::py {

struct Parameter {
  enum class Default : uint8_t { kRequired, kNone, kUnsigned };
  const char* name;
  Default kind = Default::kRequired;
  uint32_t value = 0;  // the default when kind is kUnsigned
};

struct Signature {
  const char* name;          // e.g. "fuzzy_match"
  const char* display_name;  // e.g. "PrefixSearch.fuzzy_match()", in messages
  const Parameter* params;
  int param_count;
  int required;  // the leading `required` parameters have no default
};

constexpr int kMaxParams = 6;

namespace signatures {

using D = Parameter::Default;

inline constexpr Parameter kFromInternalDataV2Params[] = {
    {"node_shifts"},       {"child_labels"}, {"payloads"},
    {"child_transitions"}, {"video_index"},  {"video_top_n"}};
inline constexpr Parameter kFromBytesParams[] = {{"b"}};
// fuzzy_match takes the first three, fuzzy_match_video all five.
inline constexpr Parameter kSearchParams[] = {
    {"term"},
    {"max_dist", D::kUnsigned, 1},
    {"limit", D::kNone},
    {"include_prefix_nodes", D::kNone},
    {"min_score", D::kNone}};

inline constexpr Signature kFromInternalDataV2 = {
    "from_internal_data_v2", "PrefixSearch.from_internal_data_v2()",
    kFromInternalDataV2Params, 6, 6};
inline constexpr Signature kToBytes = {"to_bytes", "PrefixSearch.to_bytes()",
                                       nullptr, 0, 0};
inline constexpr Signature kFromBytes = {
    "from_bytes", "PrefixSearch.from_bytes()", kFromBytesParams, 1, 1};
inline constexpr Signature kFuzzyMatch = {
    "fuzzy_match", "PrefixSearch.fuzzy_match()", kSearchParams, 3, 1};
inline constexpr Signature kFuzzyMatchVideo = {
    "fuzzy_match_video", "PrefixSearch.fuzzy_match_video()", kSearchParams, 5,
    1};

// The default of max_dist, shared by both search methods.
inline constexpr uint32_t kDefaultMaxDist = kSearchParams[1].value;

}  // namespace signatures

// The docstring that gives a method its text signature and no other text:
// "name(a, b=1, c=None)\n--\n\n", or "name($self)\n--\n\n" for a method
// without parameters.
inline std::string DocString(const Signature& sig) {
  std::string doc(sig.name);
  doc.append("(");
  if (sig.param_count == 0) doc.append("$self");
  for (int i = 0; i < sig.param_count; ++i) {
    const Parameter& p = sig.params[i];
    if (i > 0) doc.append(", ");
    doc.append(p.name);
    if (p.kind == Parameter::Default::kNone) doc.append("=None");
    if (p.kind == Parameter::Default::kUnsigned) {
      doc.append("=").append(std::to_string(p.value));
    }
  }
  doc.append(")\n--\n\n");
  return doc;
}

}  // namespace quillomar::py
