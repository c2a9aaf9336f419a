// The ways a byte string can fail to be an encoded index. A decoder returns
// one of these as a value; only the Python boundary turns it into an
// exception, with the text that ToString() builds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillomar::codec {

// Integer widths as the variable-length integer markers name them.
enum class IntegerType : uint8_t { kU32, kU64, kU128, kReserved };

struct DecodeError {
  enum class Kind : uint8_t {
    // `value`: how many more bytes the value being read needed.
    kUnexpectedEnd,
    // `expected`: the width being read; `found`: the width the marker named.
    kInvalidIntegerType,
    // `value`: a sequence count of 2^32 or more.
    kOutsideUsizeRange,
    // `bytes`: the bytes read for one code point, zero-filled to four.
    kInvalidCharEncoding,
    // `value`: the byte read for a boolean.
    kInvalidBooleanValue,
    // `type_name`: the enumeration; `value`: the variant index read. The
    // allowed indices are always 0 to 1.
    kUnexpectedVariant,
  };

  Kind kind = Kind::kUnexpectedEnd;
  IntegerType expected = IntegerType::kU32;
  IntegerType found = IntegerType::kU32;
  std::array<uint8_t, 4> bytes{};
  uint64_t value = 0;
  const char* type_name = "";  // a string literal, never owned

  // One factory per kind. They are cold and out of line: a decoder builds
  // an error at most once, and keeping it out of the read loops keeps them
  // small.
  [[gnu::cold]] static DecodeError UnexpectedEnd(uint64_t additional);
  [[gnu::cold]] static DecodeError InvalidIntegerType(IntegerType expected,
                                                      IntegerType found);
  [[gnu::cold]] static DecodeError OutsideUsizeRange(uint64_t count);
  // The first min(n, 4) of `bytes`, zero-filled to four.
  [[gnu::cold]] static DecodeError InvalidCharEncoding(const uint8_t* bytes,
                                                       size_t n);
  [[gnu::cold]] static DecodeError InvalidBooleanValue(uint8_t byte);
  [[gnu::cold]] static DecodeError UnexpectedVariant(const char* type_name,
                                                     uint64_t found);

  // The error as reported to users, for example
  //   UnexpectedEnd { additional: 1 }
  //   InvalidCharEncoding([237, 160, 128, 0])
  //   UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0,
  //   max: 1 }, found: 2 }
  std::string ToString() const;
};

// Variant type names as they appear in UnexpectedVariant texts.
inline constexpr const char kIdModeTypeName[] = "IdMode";
inline constexpr const char kOptionalPayloadTypeName[] =
    "core::option::Option<quillomar::payload::Payload>";

}  // namespace quillomar::codec
