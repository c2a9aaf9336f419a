// Edit-distance rows for the trie walk: the row of a node at depth d holds
// the distances between every prefix q[0..j) of the query and the node's
// path (the root is depth 0; its row, kept in slot 0, is 0, 1, ..., n).
//
// A cell holds the exact distance whenever that is within the bound, and
// some value above the bound otherwise: the walk only ever asks "is it
// within the bound, and if so, what is it". Cells are mostly capped at
// C = bound + 1 (capping commutes with the min/plus recurrence); a candidate
// that can only lead above the bound may also be dropped, which keeps the
// same property. Either way a value grows by at most one per level, so no
// value can wrap, however long the query or the path.
//
// Two forms of row with one interface (Advance, Min):
//  - FullRows keeps all n + 1 cells of a row.
//  - BandRows keeps only the 2 * bound + 1 cells around the diagonal j = d:
//    a cell with |j - d| > bound is at least |j - d| and so always above the
//    bound; treating it as C gives the same row minimum test and the same
//    distance as the full row.
// Rows live in numbered slots that the walk manages (see row_walk.hpp): a slot
// is allocated when first used, never up front, so memory follows what the
// walk actually keeps rather than n + bound.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillomar {

// The distance bound actually compared against: max_dist saturated to 16
// bits (65536 and above mean 65535, never a wrapped-around small value).
inline uint32_t EffectiveBound(uint32_t max_dist) {
  return std::min<uint32_t>(max_dist, 65535);
}

struct RowStep {
  uint32_t min;       // smallest cell of the new row, capped at bound + 1
  uint32_t distance;  // cell n of the new row, capped at bound + 1
};

class FullRows {
 public:
  FullRows(std::span<const uint32_t> query, uint32_t bound)
      : q_(query), width_(query.size() + 1), cap_(bound + 1) {
    rows_.resize(width_);
    for (size_t j = 0; j < width_; ++j) {
      rows_[j] = static_cast<uint32_t>(std::min<size_t>(j, cap_));
    }
    mins_.push_back(0);
  }

  // Row minimum of the row held in slot r. REQUIRES: it has been computed.
  uint32_t Min(size_t r) const { return mins_[r]; }

  // Computes, into slot `to`, the row of a node at depth `depth` with edge
  // label `label` whose parent's row is in slot `from`. `to` may equal
  // `from` (the parent's row is then overwritten) or be any slot, growing
  // the table as needed. REQUIRES: slot `from` holds a computed row.
  RowStep Advance(size_t from, size_t to, size_t depth, uint32_t label) {
    Reserve(to);
    const uint32_t* prev = rows_.data() + from * width_;
    uint32_t* cur = rows_.data() + to * width_;
    const uint32_t cap = cap_;
    // Reads prev[j] before cur[j] is written, so prev may alias cur.
    uint32_t diag = prev[0];
    uint32_t left = static_cast<uint32_t>(std::min<size_t>(depth, cap));
    cur[0] = left;
    uint32_t mn = left;
    const uint32_t* q = q_.data();
    for (size_t j = 1; j < width_; ++j) {
      const uint32_t up = prev[j];
      uint32_t v = diag + (q[j - 1] != label ? 1u : 0u);
      v = std::min(v, up + 1);
      v = std::min(v, left + 1);
      v = std::min(v, cap);
      diag = up;
      cur[j] = v;
      left = v;
      mn = std::min(mn, v);
    }
    mins_[to] = mn;
    return {mn, cur[width_ - 1]};
  }

 private:
  void Reserve(size_t r) {
    if (mins_.size() <= r) {
      mins_.resize(r + 1);
      rows_.resize((r + 1) * width_);
    }
  }

  std::span<const uint32_t> q_;
  size_t width_;
  uint32_t cap_;
  std::vector<uint32_t> rows_;
  std::vector<uint32_t> mins_;
};

// Marks a band whose bound comes from the constructor.
inline constexpr uint32_t kRunTimeBound = UINT32_MAX;

// A bound other than kRunTimeBound is fixed at compile time (the band's
// width is then a constant and its loops unroll).
template <uint32_t kBound>
class BandRowsOf {
 public:
  BandRowsOf(std::span<const uint32_t> query, uint32_t bound)
      : q_(query),
        n_(static_cast<int64_t>(query.size())),
        bound_(kBound != kRunTimeBound ? kBound : bound),
        width_(2 * int64_t{bound_} + 1),
        cap_(static_cast<uint32_t>(bound_ + 1)) {
    rows_.resize(static_cast<size_t>(width()));
    // Row 0: cell t stands for j = t - bound.
    for (int64_t t = 0; t < width(); ++t) {
      const int64_t j = t - bound_;
      rows_[t] = j < 0 || j > n_
                     ? cap_
                     : static_cast<uint32_t>(std::min<int64_t>(j, cap_));
    }
    mins_.push_back(0);
  }

  uint32_t Min(size_t r) const { return mins_[r]; }

  RowStep Advance(size_t from, size_t to, size_t depth_u, uint32_t label) {
    Reserve(to);
    const int64_t w = width();
    const uint32_t* prev = rows_.data() + from * w;
    uint32_t* cur = rows_.data() + to * w;
    const uint32_t cap = cap_;
    const int64_t depth = static_cast<int64_t>(depth_u);
    // Cell t of this row stands for j = base + t. Cell t of the parent's row
    // stands for j - 1 (the diagonal), and its cell t + 1 for j. Cell t is
    // written only after prev[t] and prev[t + 1] have been read, and the
    // cells left of `first` are never read from prev, so prev may alias cur.
    const int64_t base = depth - bound();
    const uint32_t* q = q_.data();
    if constexpr (kBound != kRunTimeBound) {
      if (base >= 1 && base + w - 1 <= n_) {
        const RowStep step =
            Interior(prev, cur, q + (base - 1), label, n_ - base);
        mins_[to] = step.min;
        return step;
      }
    }
    if (base >= 1 && base + w - 1 <= n_) {
      // The whole band lies within the query: no edge cells.
      uint32_t left = cap;
      uint32_t mn = cap;
      const uint32_t* qb = q + (base - 1);
      for (int64_t t = 0; t < w; ++t) {
        const uint32_t v = Cell(prev, t, w, qb[t] != label, left, cap);
        cur[t] = v;
        left = v;
        mn = std::min(mn, v);
      }
      mins_[to] = mn;
      const int64_t tn = n_ - base;
      return {mn, tn < w ? cur[tn] : cap};
    }
    const int64_t first = std::max<int64_t>(0, 1 - base);      // first j >= 1
    const int64_t last = std::min<int64_t>(w - 1, n_ - base);  // last j <= n
    uint32_t mn = cap;
    // Cells left of the query: j < 0 is outside, j == 0 is the depth.
    const int64_t lead = std::min(first, w);
    for (int64_t t = 0; t < lead; ++t) {
      const uint32_t v =
          base + t == 0 ? static_cast<uint32_t>(std::min<int64_t>(depth, cap))
                        : cap;
      cur[t] = v;
      mn = std::min(mn, v);
    }
    // The cell left of `first` lies outside the band (value cap) unless it
    // is j == 0, which the loop above has just written.
    uint32_t left = first > 0 && first <= w ? cur[first - 1] : cap;
    for (int64_t t = first; t <= last; ++t) {
      const uint32_t v = Cell(prev, t, w, q[base + t - 1] != label, left, cap);
      cur[t] = v;
      left = v;
      mn = std::min(mn, v);
    }
    // Cells right of `last` stand for j > n; no later row reads them.
    mins_[to] = mn;
    const int64_t tn = n_ - base;
    return {mn, tn >= 0 && tn < w ? cur[tn] : cap};
  }

 private:
  // One cell of the band: match or substitution from the diagonal, an extra
  // label from the cell above (band slot t + 1 of the previous row, outside
  // the band past its end), a missing query character from the left; capped
  // so that values stay small whatever the depth.
  static uint32_t Cell(const uint32_t* prev, int64_t t, int64_t w,
                       bool mismatch, uint32_t left, uint32_t cap) {
    uint32_t v = prev[t] + (mismatch ? 1u : 0u);
    const uint32_t up = t + 1 < w ? prev[t + 1] + 1 : cap;
    v = std::min(v, up);
    v = std::min(v, left + 1);
    return std::min(v, cap);
  }
  // A row whose band lies wholly within the query (cells 1 <= j <= n), for a
  // compile-time width: the diagonal and vertical candidates of every cell
  // first (they read only the parent's row, so `prev` may alias `cur`), then
  // one left-to-right pass for the horizontal one. The out-of-band vertical
  // candidate of the last cell is left out rather than capped: it could only
  // give a value above the bound, where any value above the bound will do.
  RowStep Interior(const uint32_t* prev, uint32_t* cur, const uint32_t* qb,
                   uint32_t label, int64_t tn) const {
    constexpr int64_t kW = 2 * int64_t{kBound} + 1;
    uint32_t v[kW];
    for (int64_t t = 0; t < kW; ++t) {
      v[t] = prev[t] + (qb[t] != label ? 1u : 0u);
    }
    for (int64_t t = 0; t + 1 < kW; ++t) v[t] = std::min(v[t], prev[t + 1] + 1);
    uint32_t mn = v[0];
    cur[0] = v[0];
    for (int64_t t = 1; t < kW; ++t) {
      v[t] = std::min(v[t], v[t - 1] + 1);
      cur[t] = v[t];
      mn = std::min(mn, v[t]);
    }
    return {mn, tn < kW ? v[tn] : cap_};
  }

  int64_t bound() const {
    return kBound != kRunTimeBound ? int64_t{kBound} : bound_;
  }
  int64_t width() const {
    return kBound != kRunTimeBound ? 2 * int64_t{kBound} + 1 : width_;
  }

  void Reserve(size_t r) {
    if (mins_.size() <= r) {
      mins_.resize(r + 1);
      rows_.resize((r + 1) * static_cast<size_t>(width()));
    }
  }

  std::span<const uint32_t> q_;
  int64_t n_;
  int64_t bound_;
  int64_t width_;
  uint32_t cap_;
  std::vector<uint32_t> rows_;
  std::vector<uint32_t> mins_;
};

using BandRows = BandRowsOf<kRunTimeBound>;

// Full rows when they are no wider than the band (short queries or large
// bounds), the band otherwise: the cheaper of the two, with the same
// results.
inline bool UseBand(size_t n, uint32_t bound) {
  return n + 1 > 2 * size_t{bound} + 1;
}

}  // namespace quillomar
