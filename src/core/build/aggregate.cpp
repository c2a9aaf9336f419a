#include "core/build/aggregate.hpp"

#include "core/build/term_rule.hpp"

namespace quillomar::build {
namespace {

const char* KindName(IdMode kind, bool plural) {
  if (kind == IdMode::kInt32) return plural ? "int ids" : "an int";
  return plural ? "UUIDs" : "a UUID";
}

}  // namespace

std::string MixedIdsText(IdMode found, IdMode earlier) {
  return std::string("video id is ") + KindName(found, false) +
         " but earlier records used " + KindName(earlier, true) +
         "; ids must be all ints or all UUIDs";
}

uint32_t Aggregate::NumberOf(std::string_view raw) {
  if (rewriter_ == nullptr) return terms_.Intern(raw);
  if (rewriter_->RewriteDirectly(raw, scratch_)) {
    return CheckTerm(scratch_) == TermFault::kNone ? terms_.Intern(scratch_)
                                                   : TermTable::kMissing;
  }
  uint32_t r = raw_terms_.Find(raw);
  if (r != TermTable::kMissing) return rewritten_[r];
  scratch_.clear();
  rewriter_->Rewrite(raw, scratch_);
  // A rewritten term that breaks the rule is refused with the raw one: it
  // is not remembered, so the check runs again for each such record.
  if (CheckTerm(scratch_) != TermFault::kNone) return TermTable::kMissing;
  const uint32_t number = terms_.Intern(scratch_);
  r = raw_terms_.Intern(raw);
  rewritten_.resize(raw_terms_.size(), 0);
  rewritten_[r] = number;
  return number;
}

// How many rows ahead of a table lookup its slot is fetched.
constexpr size_t kAhead = 16;

std::optional<RecordFault> Aggregate::NumberTerms(const TermColumn& terms) {
  const size_t n = terms.rows();
  term_numbers_.resize(n);
  // Check and hash every row first, then look the terms up while fetching
  // the table slots of the rows ahead: the tables outgrow the caches, and
  // the lookups would otherwise wait on memory one after the other.
  // Rewritten terms are looked up by their rewritten text, known only
  // row by row, so they are neither hashed nor fetched ahead.
  const bool ahead = rewriter_ == nullptr;
  hashes_.resize(ahead ? n : 0);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view raw = terms.at(i);
    if (const TermFault fault = CheckTerm(raw); fault != TermFault::kNone) {
      return RecordFault{i, TermFaultText(fault)};
    }
    if (ahead) hashes_[i] = terms_.Hash(raw);
  }
  for (size_t i = 0; i < n; ++i) {
    if (ahead && i + kAhead < n) terms_.Prefetch(hashes_[i + kAhead]);
    const std::string_view raw = terms.at(i);
    const uint32_t number =
        rewriter_ == nullptr ? terms_.Intern(raw, hashes_[i]) : NumberOf(raw);
    if (number == TermTable::kMissing) {
      // The rows before this one may have interned new terms: they get
      // their (absent) per-term entries like any other, so that the batch
      // leaves nothing behind that a layout would read.
      GrowPerTerm();
      const TermFault fault = CheckTerm(scratch_);
      return RecordFault{i, std::string(TermFaultText(fault)) + " after " +
                                rewriter_->Describe()};
    }
    term_numbers_[i] = number;
  }
  GrowPerTerm();
  return std::nullopt;
}

std::optional<RecordFault> Aggregate::Add(const RecordBatch& batch) {
  const size_t n = batch.terms.rows();
  if (n == 0) return std::nullopt;
  const std::optional<IdMode> known = ids_.kind();
  if (known.has_value() && batch.id_kind != *known) {
    return RecordFault{0, MixedIdsText(batch.id_kind, *known)};
  }
  if (auto fault = NumberTerms(batch.terms)) return fault;
  // Nothing below can fail.
  const uint32_t* numbers = term_numbers_.data();
  const uint32_t* counts = batch.counts.data();
  // Video numbers first (in row order: they number videos by first
  // appearance), then the pairs, each with its slots fetched ahead.
  std::vector<uint32_t>& videos = video_numbers_;
  videos.resize(n);
  if (batch.id_kind == IdMode::kInt32) {
    const uint32_t* keys = batch.int_ids.data();
    for (size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) ids_.PrefetchInt(keys[i + kAhead]);
      videos[i] = ids_.InternInt(keys[i]);
    }
  } else {
    const Uuid* keys = batch.uuid_ids.data();
    for (size_t i = 0; i < n; ++i) videos[i] = ids_.InternUuid(keys[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n)
      pairs_.Prefetch(numbers[i + kAhead], videos[i + kAhead]);
    pairs_.Add(numbers[i], videos[i], counts[i]);
    MarkPresent(numbers[i], kHasPairs);
  }
  return std::nullopt;
}

std::optional<RecordFault> Aggregate::SetTotals(
    const TermColumn& terms, std::span<const uint32_t> totals) {
  if (auto fault = NumberTerms(terms)) return fault;
  for (size_t i = 0; i < terms.rows(); ++i) {
    totals_[term_numbers_[i]] = totals[i];
    MarkPresent(term_numbers_[i], kHasTotal);
  }
  return std::nullopt;
}

}  // namespace quillomar::build
