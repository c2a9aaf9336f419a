#include "core/codec/decode_error.hpp"

#include <cstring>

namespace quillomar::codec {
namespace {

const char* IntegerTypeName(IntegerType t) {
  switch (t) {
    case IntegerType::kU32:
      return "U32";
    case IntegerType::kU64:
      return "U64";
    case IntegerType::kU128:
      return "U128";
    case IntegerType::kReserved:
      return "Reserved";
  }
  return "Reserved";
}

}  // namespace

DecodeError DecodeError::UnexpectedEnd(uint64_t additional) {
  return {.kind = Kind::kUnexpectedEnd, .value = additional};
}

DecodeError DecodeError::InvalidIntegerType(IntegerType expected,
                                            IntegerType found) {
  return {
      .kind = Kind::kInvalidIntegerType, .expected = expected, .found = found};
}

DecodeError DecodeError::OutsideUsizeRange(uint64_t count) {
  return {.kind = Kind::kOutsideUsizeRange, .value = count};
}

DecodeError DecodeError::InvalidCharEncoding(const uint8_t* bytes, size_t n) {
  DecodeError e{.kind = Kind::kInvalidCharEncoding};
  std::memcpy(e.bytes.data(), bytes, n < 4 ? n : 4);
  return e;
}

DecodeError DecodeError::InvalidBooleanValue(uint8_t byte) {
  return {.kind = Kind::kInvalidBooleanValue, .value = byte};
}

DecodeError DecodeError::UnexpectedVariant(const char* type_name,
                                           uint64_t found) {
  return {
      .kind = Kind::kUnexpectedVariant, .value = found, .type_name = type_name};
}

std::string DecodeError::ToString() const {
  switch (kind) {
    case Kind::kUnexpectedEnd:
      return "UnexpectedEnd { additional: " + std::to_string(value) + " }";
    case Kind::kInvalidIntegerType:
      return std::string("InvalidIntegerType { expected: ") +
             IntegerTypeName(expected) + ", found: " + IntegerTypeName(found) +
             " }";
    case Kind::kOutsideUsizeRange:
      return "OutsideUsizeRange(" + std::to_string(value) + ")";
    case Kind::kInvalidCharEncoding:
      return "InvalidCharEncoding([" + std::to_string(bytes[0]) + ", " +
             std::to_string(bytes[1]) + ", " + std::to_string(bytes[2]) + ", " +
             std::to_string(bytes[3]) + "])";
    case Kind::kInvalidBooleanValue:
      return "InvalidBooleanValue(" + std::to_string(value) + ")";
    case Kind::kUnexpectedVariant:
      return std::string("UnexpectedVariant { type_name: \"") + type_name +
             "\", allowed: Range { min: 0, max: 1 }, found: " +
             std::to_string(value) + " }";
  }
  return "";
}

}  // namespace quillomar::codec
