#include "core/build/aggregate.hpp"

#include "core/build/term_rule.hpp"

namespace quillomar::build {
namespace {

const char* KindName(IdKind kind, bool plural) {
  if (kind == IdKind::kInt) return plural ? "int ids" : "an int";
  return plural ? "UUIDs" : "a UUID";
}

}  // namespace

uint32_t Aggregate::NumberOf(std::string_view raw) {
  if (rewriter_ == nullptr) return terms_.Intern(raw);
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

std::optional<RecordFault> Aggregate::NumberTerms(const TermColumn& terms) {
  const size_t n = terms.rows();
  term_numbers_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view raw = terms.at(i);
    if (const TermFault fault = CheckTerm(raw); fault != TermFault::kNone) {
      return RecordFault{i, TermFaultText(fault)};
    }
    const uint32_t number = NumberOf(raw);
    if (number == TermTable::kMissing) {
      const TermFault fault = CheckTerm(scratch_);
      return RecordFault{i, std::string(TermFaultText(fault)) +
                                " after normalisation"};
    }
    term_numbers_[i] = number;
  }
  flags_.resize(terms_.size(), 0);
  totals_.resize(terms_.size(), 0);
  return std::nullopt;
}

std::optional<RecordFault> Aggregate::Add(const RecordBatch& batch) {
  const size_t n = batch.terms.rows();
  if (n == 0) return std::nullopt;
  const IdKind known = ids_.kind();
  if (known != IdKind::kNone && batch.id_kind != known) {
    return RecordFault{0, std::string("video id is ") +
                              KindName(batch.id_kind, false) +
                              " but earlier records used " +
                              KindName(known, true) +
                              "; ids must be all ints or all UUIDs"};
  }
  if (auto fault = NumberTerms(batch.terms)) return fault;
  // Nothing below can fail.
  const uint32_t* numbers = term_numbers_.data();
  const uint32_t* counts = batch.counts.data();
  if (batch.id_kind == IdKind::kInt) {
    const uint32_t* keys = batch.int_ids.data();
    for (size_t i = 0; i < n; ++i) {
      pairs_.Add(numbers[i], ids_.InternInt(keys[i]), counts[i]);
      MarkPresent(numbers[i], kHasPairs);
    }
  } else {
    const Uuid* keys = batch.uuid_ids.data();
    for (size_t i = 0; i < n; ++i) {
      pairs_.Add(numbers[i], ids_.InternUuid(keys[i]), counts[i]);
      MarkPresent(numbers[i], kHasPairs);
    }
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
