// The aggregated state of a build: distinct terms, distinct videos, summed
// (term, video) counts and the totals set for terms. Records arrive in
// column batches; a batch is checked whole before any of it is counted, so
// a bad record leaves the state exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/build/id_table.hpp"
#include "core/build/pair_table.hpp"
#include "core/build/term_table.hpp"

namespace quillomar::build {

// Maps a raw term to the term that enters the index (text normalisation).
// Called once per distinct raw term; the result is remembered.
class TermRewriter {
 public:
  virtual ~TermRewriter() = default;
  // Writes the rewritten term into `out`.
  virtual void Rewrite(std::string_view raw, std::string& out) = 0;
  // Rewrites `raw` into `out` and returns true when that is cheaper than
  // remembering the result (done natively, with no call out); otherwise
  // returns false and Rewrite() is called once per distinct raw term.
  virtual bool RewriteDirectly(std::string_view /*raw*/, std::string& /*out*/) {
    return false;
  }
  // How a record refused after rewriting names the rewrite, e.g.
  // "'default' normalization".
  virtual std::string Describe() const = 0;
};

// Terms of a batch: term i is data[offsets[i] .. offsets[i + 1] - separator)
// (a separator of 1 drops the terminator that follows each term).
struct TermColumn {
  const char* data = nullptr;
  std::span<const uint64_t> offsets;  // rows + 1 entries, non-decreasing
  size_t separator = 0;               // REQUIRES: each term spans >= it

  size_t rows() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::string_view at(size_t i) const {
    return {data + offsets[i],
            static_cast<size_t>(offsets[i + 1] - offsets[i] - separator)};
  }
};

struct RecordBatch {
  TermColumn terms;
  IdMode id_kind = IdMode::kUuid;     // any for an empty batch
  std::span<const uint32_t> int_ids;  // id_kind == kInt32
  std::span<const Uuid> uuid_ids;     // id_kind == kUuid
  std::span<const uint32_t> counts;
};

// Why a record whose id is of kind `found` is refused after records with
// ids of kind `earlier`.
std::string MixedIdsText(IdMode found, IdMode earlier);

// A refused record: its row within the batch and what is wrong with it.
struct RecordFault {
  size_t row;
  std::string message;
};

class Aggregate {
 public:
  // `rewriter` (may be null: terms enter as given) must outlive the
  // Aggregate.
  explicit Aggregate(TermRewriter* rewriter = nullptr) : rewriter_(rewriter) {}

  // Counts every record of the batch, or none of them.
  // REQUIRES: the batch's columns have equal lengths.
  std::optional<RecordFault> Add(const RecordBatch& batch);

  // Sets the totals of the given terms (totals[i] for term i), replacing
  // earlier ones; later entries win. All of them or none.
  std::optional<RecordFault> SetTotals(const TermColumn& terms,
                                       std::span<const uint32_t> totals);

  // Distinct terms in the index (with counts or a total).
  size_t term_count() const { return present_; }
  size_t video_count() const { return ids_.size(); }
  std::optional<IdMode> id_kind() const { return ids_.kind(); }

  // Read access for laying out the trie.
  const TermTable& terms() const { return terms_; }
  const IdTable& ids() const { return ids_; }
  const PairTable& pairs() const { return pairs_; }
  bool has_total(uint32_t term) const { return flags_[term] & kHasTotal; }
  bool is_present(uint32_t term) const { return flags_[term] != 0; }
  uint32_t total(uint32_t term) const { return totals_[term]; }

 private:
  static constexpr uint8_t kHasPairs = 1;
  static constexpr uint8_t kHasTotal = 2;

  // Numbers the batch's terms into term_numbers_ (interning new ones, which
  // stay absent until counted); returns the first refused one.
  std::optional<RecordFault> NumberTerms(const TermColumn& terms);
  uint32_t NumberOf(std::string_view raw);
  // Gives every interned term its per-term entries (absent, no total).
  void GrowPerTerm() {
    flags_.resize(terms_.size(), 0);
    totals_.resize(terms_.size(), 0);
  }
  void MarkPresent(uint32_t term, uint8_t flag) {
    if (flags_[term] == 0) ++present_;
    flags_[term] |= flag;
  }

  TermRewriter* rewriter_;
  TermTable terms_;
  IdTable ids_;
  PairTable pairs_;
  std::vector<uint8_t> flags_;    // per term number
  std::vector<uint32_t> totals_;  // per term number, valid with kHasTotal
  size_t present_ = 0;

  // Raw terms met so far and the term each became, when rewriting.
  TermTable raw_terms_;
  std::vector<uint32_t> rewritten_;
  std::string scratch_;

  std::vector<uint32_t> term_numbers_;   // per row of the current batch
  std::vector<uint64_t> hashes_;         // per row of the current batch
  std::vector<uint32_t> video_numbers_;  // per row of the current batch
};

}  // namespace quillomar::build
