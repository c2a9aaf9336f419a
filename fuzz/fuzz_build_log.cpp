// Arbitrary bytes as a CSV or TSV log -> the native build engine. The first
// byte picks the dialect, the column order and where the input is split
// into chunks. Whatever is accepted must build a sound index whose
// encoding decodes back to the same trie; parsing must not depend on the
// chunking; nothing may crash or read outside an array.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/build/aggregate.hpp"
#include "core/build/delimited_parser.hpp"
#include "core/build/trie_layout.hpp"
#include "core/trie/soundness.hpp"
#include "core/trie/trie_codec.hpp"

namespace b = quillomar::build;
namespace q = quillomar;

namespace {

struct Outcome {
  bool ok = false;
  std::vector<uint8_t> bytes;
};

Outcome Build(const b::DelimitedColumns& columns, const uint8_t* data,
              size_t size, size_t split) {
  Outcome out;
  b::Aggregate aggregate;
  b::DelimitedParser parser(columns, std::nullopt);
  const char* text = reinterpret_cast<const char*>(data);
  const size_t cuts[] = {0, split, size};
  for (int k = 0; k < 2; ++k) {
    parser.ClearBatch();
    const bool final = k == 1;
    if (parser.Feed(text + cuts[k], cuts[k + 1] - cuts[k], final)) return out;
    if (aggregate.Add(parser.batch())) return out;
  }
  q::Trie trie = b::BuildTrie(aggregate, 3);
  if (!q::IsSound(trie)) std::abort();
  out.bytes.resize(q::EncodedSize(trie));
  q::Encode(trie, out.bytes);
  auto decoded = q::Decode(out.bytes);
  if (!std::holds_alternative<q::Trie>(decoded)) std::abort();
  if (!(std::get<q::Trie>(decoded) == trie)) std::abort();
  out.ok = true;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  b::DelimitedColumns columns;
  columns.tsv = (mode & 1) != 0;
  if (mode & 2) {
    columns.term_at = 2;
    columns.count_at = 0;
  }
  const size_t split = size == 0 ? 0 : (mode >> 2) % (size + 1);
  const Outcome whole = Build(columns, data, size, size);
  const Outcome parts = Build(columns, data, size, split);
  if (whole.ok != parts.ok || whole.bytes != parts.bytes) std::abort();
  return 0;
}
