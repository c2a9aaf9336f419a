// Search sections with arbitrary damage opened and searched in place.
//
// The section of a fixed, sound index is derived once; each input names
// bytes of it to overwrite (pairs of a position and a value, positions
// biased into the header, the array table and the starts of the arrays)
// and then queries. Opening must refuse or succeed; every search on an
// opened section must end, answering or raising Panic, and never read
// outside the section (the address sanitizer checks that: the damaged
// section lives in a heap block of exactly its size). The undamaged
// section must answer exactly as the index it was derived from.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/index/search_index.hpp"
#include "core/mapped/mapped_index.hpp"
#include "core/mapped/section_writer.hpp"
#include "core/matcher/node_matching.hpp"
#include "core/matcher/term_matching.hpp"
#include "core/panic.hpp"
#include "core/ranking/video_ranking.hpp"
#include "core/trie/propagate.hpp"

namespace q = quillomar;

namespace {

// A breadth-first trie of a few words, children in label order.
q::Trie SmallTrie() {
  const std::vector<std::u32string> words = {
      U"a",   U"ab",          U"abc",  U"abd",  U"b",   U"ba",
      U"cab", U"cat",         U"cart", U"car",  U"dog", U"do",
      U"zz",  U"\U0001F600a", U"door", U"doors"};
  struct Node {
    uint32_t label;
    bool terminal;
    std::vector<size_t> children;
  };
  std::vector<Node> nodes(1, Node{0, false, {}});
  for (const std::u32string& w : words) {
    size_t at = 0;
    for (char32_t c : w) {
      size_t next = SIZE_MAX;
      for (size_t ch : nodes[at].children) {
        if (nodes[ch].label == c) next = ch;
      }
      if (next == SIZE_MAX) {
        next = nodes.size();
        nodes.push_back({static_cast<uint32_t>(c), false, {}});
        nodes[at].children.push_back(next);
      }
      at = next;
    }
    nodes[at].terminal = true;
  }
  // Renumber breadth-first with children sorted by label.
  std::vector<size_t> order(1, 0);
  for (size_t i = 0; i < order.size(); ++i) {
    std::vector<size_t>& ch = nodes[order[i]].children;
    std::sort(ch.begin(), ch.end(), [&](size_t a, size_t b) {
      return nodes[a].label < nodes[b].label;
    });
    order.insert(order.end(), ch.begin(), ch.end());
  }
  q::Trie t;
  t.id_mode = q::IdMode::kInt32;
  t.payloads.Reserve(order.size(), order.size(), order.size());
  uint32_t slot = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const Node& n = nodes[order[i]];
    t.node_shifts.push_back(slot);
    slot += static_cast<uint32_t>(n.children.size());
    t.child_labels.push_back(n.label);
    t.is_terminal.push_back(n.terminal ? 1 : 0);
    const uint32_t id = static_cast<uint32_t>(i % 5);
    const uint32_t count = static_cast<uint32_t>(1 + i % 3);
    if (n.terminal) {
      t.payloads.AppendPresent(count, {&id, 1}, {&count, 1});
    } else {
      t.payloads.AppendAbsent();
    }
  }
  for (uint32_t s = 0; s < slot; ++s) t.child_transitions.push_back(s + 1);
  t.payloads.Seal();
  for (uint32_t v = 0; v < 5; ++v) t.int32_ids.push_back(1000 + v);
  q::propagate(t, 3);
  return t;
}

struct Fixture {
  q::Trie trie = SmallTrie();
  q::SearchIndex index{q::Trie(trie)};
  std::vector<uint8_t> section;
  std::vector<size_t> hot;  // header, table and array starts
};

const Fixture& TheFixture() {
  static const Fixture* f = [] {
    auto* fx = new Fixture;
    const auto writer = q::mapped::SectionWriter::Derive(fx->trie);
    if (!writer) std::abort();
    writer->Write([&](std::span<const uint8_t> b) {
      fx->section.insert(fx->section.end(), b.begin(), b.end());
    });
    for (size_t i = 0; i < q::mapped::kHeaderSize +
                               q::mapped::kArrayCount * q::mapped::kEntrySize;
         ++i) {
      fx->hot.push_back(i);
    }
    return fx;
  }();
  return *f;
}

template <class Index>
std::vector<std::u32string> Terms(const Index& index,
                                  std::span<const uint32_t> query, uint32_t k) {
  std::vector<std::u32string> out;
  auto sink = [&](uint32_t d, std::span<const uint32_t> path) {
    out.emplace_back(path.begin(), path.end());
    out.back().push_back(static_cast<char32_t>(d));
  };
  q::FuzzyMatchTerms(index, query, k, std::nullopt, sink);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& fx = TheFixture();
  FuzzedDataProvider in(data, size);
  const bool damage = in.ConsumeBool();
  std::vector<uint8_t> bytes = fx.section;
  if (damage) {
    const size_t edits = in.ConsumeIntegralInRange<size_t>(1, 16);
    for (size_t e = 0; e < edits && in.remaining_bytes() > 2; ++e) {
      size_t at =
          in.ConsumeBool()
              ? fx.hot[in.ConsumeIntegralInRange<size_t>(0, fx.hot.size() - 1)]
              : in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1);
      bytes[at] = in.ConsumeIntegral<uint8_t>();
    }
    if (in.ConsumeBool()) {
      bytes.resize(in.ConsumeIntegralInRange<size_t>(0, bytes.size()));
    }
  }
  // Exactly the section's size, so any read past it is caught.
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  const std::span<const uint8_t> section(block.get(), bytes.size());
  auto opened = q::mapped::MappedIndex::Open(section);
  if (!damage && !std::holds_alternative<q::mapped::MappedIndex>(opened)) {
    std::abort();  // the writer's own section must open
  }
  auto* index = std::get_if<q::mapped::MappedIndex>(&opened);
  if (index == nullptr) return 0;

  std::vector<uint32_t> query;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 70);
  const uint32_t letters[] = {'a', 'b', 'c', 'd', 'o', 'r', 't', 'z', 0x1F600};
  for (size_t i = 0; i < n; ++i) {
    query.push_back(letters[in.ConsumeIntegralInRange<size_t>(0, 8)]);
  }
  const uint32_t k = in.ConsumeIntegralInRange<uint32_t>(0, 4);
  const q::VideoQuery options{k, std::nullopt, std::nullopt, std::nullopt};
  if (!damage) {
    if (Terms(*index, query, k) != Terms(fx.index, query, k)) std::abort();
    const auto a = q::mapped::RankVideos(*index, query, options);
    const auto b = q::RankVideos(fx.index, query, options);
    if (a.size() != b.size()) std::abort();
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].video != b[i].video || a[i].score != b[i].score) std::abort();
    }
    return 0;
  }
  try {
    Terms(*index, query, k);
  } catch (const q::Panic&) {
  }
  try {
    q::mapped::RankVideos(*index, query, options);
  } catch (const q::Panic&) {
  }
  return 0;
}
