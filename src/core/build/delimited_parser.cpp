#include "core/build/delimited_parser.hpp"

#include <algorithm>
#include <string_view>

#include "core/build/field_text.hpp"
#include "core/codec/utf8.hpp"

namespace quillomar::build {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

DelimitedParser::DelimitedParser(DelimitedColumns columns,
                                 std::optional<IdMode> id_kind)
    : columns_(columns),
      width_(std::max({columns.term_at, columns.video_at,
                       columns.has_count() ? columns.count_at : 0}) +
             1),
      delimiter_(columns.tsv ? '\t' : ','),
      kind_(id_kind) {
  Select(0);
}

void DelimitedParser::Select(size_t index) {
  field_ = index;
  field_chars_ = 0;
  if (index == columns_.term_at) {
    target_ = &term_;
  } else if (index == columns_.video_at) {
    target_ = &video_;
  } else if (index == columns_.count_at) {
    target_ = &count_;
  } else if (index == 0) {
    target_ = &first_;  // kept to tell a blank line
  } else {
    target_ = nullptr;
  }
  if (target_ != nullptr) target_->clear();
}

bool DelimitedParser::Append(const char* p, size_t n) {
  field_chars_ += codec::CountCodePoints({p, n});
  if (field_chars_ > kFieldLimit) return false;
  if (target_ != nullptr) target_->append(p, n);
  return true;
}

LineFault DelimitedParser::TooLong() const {
  return LineFault{line_ + 1, "field larger than field limit (" +
                                  std::to_string(kFieldLimit) + ")"};
}

std::optional<LineFault> DelimitedParser::EndRecord() {
  ++line_;
  const size_t fields = field_ + 1;
  const std::string& first = columns_.term_at == 0    ? term_
                             : columns_.video_at == 0 ? video_
                             : columns_.count_at == 0 ? count_
                                                      : first_;
  const bool blank = fields == 1 && StripSpace(first).empty();
  // However the record ends, the next one starts at field 0 with empty
  // buffers.
  struct Reset {
    DelimitedParser* parser;
    ~Reset() {
      parser->term_.clear();
      parser->video_.clear();
      parser->count_.clear();
      parser->Select(0);
    }
  } reset{this};
  if (fields < width_) {
    if (blank) return std::nullopt;
    return LineFault{line_, "expected " + std::to_string(width_) +
                                " fields, found " + std::to_string(fields)};
  }
  if (columns_.fields != 0 && fields > columns_.fields) {
    return LineFault{line_, "expected at most " +
                                std::to_string(columns_.fields) +
                                " fields (as the header has), found " +
                                std::to_string(fields)};
  }
  if (first.starts_with(kByteOrderMark)) {
    return LineFault{line_,
                     "the line starts with a byte-order mark (files joined "
                     "together?)"};
  }
  uint32_t count = 1;
  if (columns_.has_count() && !ParseCount(count_, count, error_)) {
    return LineFault{line_, error_};
  }
  VideoValue video;
  if (!ParseVideo(video_, video, error_)) return LineFault{line_, error_};
  const IdMode kind = video.is_int ? IdMode::kInt32 : IdMode::kUuid;
  if (kind_.has_value() && kind != *kind_) {
    return LineFault{line_, MixedIdsText(kind, *kind_)};
  }
  kind_ = kind;
  if (video.is_int) {
    int_ids_.push_back(video.int_id);
  } else {
    uuid_ids_.push_back(video.uuid);
  }
  counts_.push_back(count);
  term_bytes_.insert(term_bytes_.end(), term_.begin(), term_.end());
  term_offsets_.push_back(term_bytes_.size());
  lines_.push_back(line_);
  return std::nullopt;
}

std::optional<LineFault> DelimitedParser::Feed(const char* data, size_t n,
                                               bool final) {
  const char* p = data;
  const char* const end = data + n;
  const char delim = delimiter_;
  const bool quoting = !columns_.tsv;
  while (p < end) {
    const char c = *p;
    switch (state_) {
      case State::kAfterCr:
        state_ = State::kStartRecord;
        if (c == '\n') {
          ++p;  // the second half of \r\n
          continue;
        }
        [[fallthrough]];
      case State::kStartRecord:
        if (c == '\n' || c == '\r') {
          // An empty line: a record without fields.
          ++line_;
          state_ = c == '\r' ? State::kAfterCr : State::kStartRecord;
          ++p;
          continue;
        }
        state_ = State::kStartField;
        [[fallthrough]];
      case State::kStartField:
        if (quoting && c == '"') {
          state_ = State::kInQuoted;
          ++p;
          continue;
        }
        state_ = State::kInField;
        [[fallthrough]];
      case State::kInField: {
        // The run of plain text up to the next delimiter or line break.
        const char* q = p;
        while (q < end && *q != delim && *q != '\n' && *q != '\r') ++q;
        if (q > p && !Append(p, static_cast<size_t>(q - p))) return TooLong();
        p = q;
        if (p == end) continue;
        const char stop = *p++;
        if (stop == delim) {
          Select(field_ + 1);
          state_ = State::kStartField;
        } else {
          state_ = stop == '\r' ? State::kAfterCr : State::kStartRecord;
          if (auto fault = EndRecord()) return fault;
        }
        continue;
      }
      case State::kInQuoted: {
        const char* q = p;
        while (q < end && *q != '"') ++q;
        if (q > p && !Append(p, static_cast<size_t>(q - p))) return TooLong();
        p = q;
        if (p == end) continue;
        ++p;
        state_ = State::kQuoteInQuoted;
        continue;
      }
      case State::kQuoteInQuoted:
        ++p;
        if (c == '"') {
          if (!Append(&c, 1)) return TooLong();
          state_ = State::kInQuoted;
        } else if (c == delim) {
          Select(field_ + 1);
          state_ = State::kStartField;
        } else if (c == '\n' || c == '\r') {
          state_ = c == '\r' ? State::kAfterCr : State::kStartRecord;
          if (auto fault = EndRecord()) return fault;
        } else {
          // Text after the closing quote is kept.
          if (!Append(&c, 1)) return TooLong();
          state_ = State::kInField;
        }
        continue;
    }
  }
  if (final) {
    const State last = state_;
    state_ = State::kStartRecord;
    if (last == State::kStartField || last == State::kInField ||
        last == State::kInQuoted || last == State::kQuoteInQuoted) {
      return EndRecord();
    }
  }
  return std::nullopt;
}

RecordBatch DelimitedParser::batch() const {
  RecordBatch b;
  b.terms.data = term_bytes_.data();
  b.terms.offsets = term_offsets_;
  b.id_kind = kind_.value_or(IdMode::kUuid);  // rows only with a kind
  b.int_ids = int_ids_;
  b.uuid_ids = uuid_ids_;
  b.counts = counts_;
  return b;
}

void DelimitedParser::ClearBatch() {
  term_bytes_.clear();
  term_offsets_.assign(1, 0);
  int_ids_.clear();
  uuid_ids_.clear();
  counts_.clear();
  lines_.clear();
}

}  // namespace quillomar::build
