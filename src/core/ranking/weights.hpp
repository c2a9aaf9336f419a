// Node weights of the video ranking. The order of floating-point operations
// is part of the contract (scores must come out bit for bit the same), so
// every expression here is written in exactly that order.
#pragma once

#include <cstdint>

namespace quillomar {

inline constexpr double kFuzzyFactor = 0.05;
inline constexpr double kPrefixFactor = 0.85;
inline constexpr double kDefaultMinScore = 0.01;

// Weight of a node matched at `distance` from a query of `query_length` code
// points, before the prefix factor: 1.0 for an exact match, otherwise
// (1.0 - distance / query_length) * 0.05, and 0.0 for an empty query.
// A result that is not above 0.0 (distance >= query_length) means "skip".
inline double MatchWeight(uint32_t distance, uint64_t query_length) {
  if (distance == 0) return 1.0;
  if (query_length == 0) return 0.0;
  const double quotient =
      static_cast<double>(distance) / static_cast<double>(query_length);
  const double difference = 1.0 - quotient;
  return difference * kFuzzyFactor;
}

}  // namespace quillomar
