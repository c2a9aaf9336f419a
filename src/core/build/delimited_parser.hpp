// Streaming reader of CSV and TSV logs into record batches.
//
// The dialect is that of the usual comma-separated files: fields split at
// the delimiter; records end at \n, \r\n or \r; in CSV a field that starts
// with a double quote runs to the closing quote (delimiters and line breaks
// inside are text, "" is one quote, text after the closing quote is kept);
// TSV has no quoting, every character is literal. A record with no field,
// or one blank field, is a blank line and skipped. Lines are numbered by
// record (the header is line 1), so a quoted line break does not move the
// numbering. A field longer than kFieldLimit characters is refused, and so
// are a record with more fields than the header and a record that starts
// with a UTF-8 byte-order mark (files joined together: the mark would
// silently become part of its first field).
//
// Input arrives in chunks of any size and split anywhere; memory holds the
// current batch and the record in progress, never the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/build/aggregate.hpp"

namespace quillomar::build {

struct DelimitedColumns {
  // A count position of kNoColumn: the log has one row per event, and every
  // row counts 1.
  static constexpr size_t kNoColumn = static_cast<size_t>(-1);

  bool tsv = false;
  size_t term_at = 0;
  size_t video_at = 1;
  size_t count_at = 2;
  // Fields the header has: a record with more is refused (0: any number).
  size_t fields = 0;

  bool has_count() const { return count_at != kNoColumn; }
};

struct LineFault {
  uint64_t line;
  std::string message;
};

class DelimitedParser {
 public:
  static constexpr size_t kFieldLimit = 131072;

  // `id_kind`: the kind of the ids already counted (none before any); a row
  // of the other kind is refused.
  DelimitedParser(DelimitedColumns columns, std::optional<IdMode> id_kind);

  // Parses `n` bytes, appending complete rows to the batch; `final` marks
  // the end of the input (a last record without a line break counts).
  // Returns the first bad row; the parser must not be fed after that.
  std::optional<LineFault> Feed(const char* data, size_t n, bool final);

  // The rows parsed since the last ClearBatch().
  RecordBatch batch() const;
  uint64_t line_of(size_t row) const { return lines_[row]; }
  void ClearBatch();

  uint64_t lines_seen() const { return line_; }

 private:
  enum class State : uint8_t {
    kStartRecord,
    kStartField,
    kInField,
    kInQuoted,
    kQuoteInQuoted,
    kAfterCr,
  };

  // Adds text to the current field; false when it grows past the limit.
  bool Append(const char* p, size_t n);
  // Starts field `index` of the record in progress.
  void Select(size_t index);
  // Ends the record in progress (its last field included).
  std::optional<LineFault> EndRecord();
  LineFault TooLong() const;

  DelimitedColumns columns_;
  size_t width_;
  char delimiter_;
  std::optional<IdMode> kind_;
  State state_ = State::kStartRecord;
  uint64_t line_ = 1;  // the header

  // The record in progress: which field, and the text of the kept ones.
  size_t field_ = 0;
  size_t field_chars_ = 0;
  std::string* target_ = nullptr;  // buffer of the current field, if kept
  std::string term_, video_, count_, first_;

  // The batch.
  std::vector<char> term_bytes_;
  std::vector<uint64_t> term_offsets_{0};
  std::vector<uint32_t> int_ids_;
  std::vector<Uuid> uuid_ids_;
  std::vector<uint32_t> counts_;
  std::vector<uint64_t> lines_;
  std::string error_;
};

}  // namespace quillomar::build
