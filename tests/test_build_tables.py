"""Builds large enough to grow the engine's hash tables many times, with keys
chosen to share their low or high bits, against the plain model; and an
index whose slots look breadth-first but whose nodes are not, which the
searches must walk as it is."""

import uuid

import pytest

import reference_build as model
from quillomar import IndexBuilder
from reference import reference_matches
from trie_builder import Arrays

U32_MAX = 4294967295
VIDEOS = 2500
TERMS = 3000

# Identifier sets that differ only in their low bits, only in their high
# bits, or sit at the top of the range.
ID_SETS = {
    "int consecutive": [i for i in range(VIDEOS)],
    "int high bits": [i << 20 for i in range(VIDEOS)],
    "int top of range": [U32_MAX - i for i in range(VIDEOS)],
    "uuid low bytes": [uuid.UUID(int=i) for i in range(VIDEOS)],
    "uuid high bytes": [uuid.UUID(int=i << 112) for i in range(VIDEOS)],
}


def terms():
    # Short terms, terms that differ only past their first 16 bytes, and
    # astral ones.
    out = []
    for i in range(TERMS):
        if i % 3 == 0:
            out.append(f"t{i}")
        elif i % 3 == 1:
            out.append(f"a shared long prefix {i}")
        else:
            out.append("\U0001f600" * (1 + i % 5) + str(i))
    return out


@pytest.mark.parametrize("ids", ID_SETS.values(), ids=ID_SETS.keys())
def test_large_builds_keep_every_key_apart(ids):
    words = terms()
    # Every (term, video) pair added three times in batches, so sums
    # accumulate across table growth; some pairs far apart in the log.
    records = [(words[(7 * i) % TERMS], ids[(11 * i) % VIDEOS], 1 + i % 4) for i in range(12000)]
    builder, log = IndexBuilder(), model.Log()
    for start in range(0, len(records), 5000):
        for _ in range(3):
            builder.add_records(records[start : start + 5000])
            log.add_records(records[start : start + 5000])
    assert (len(builder), builder.video_count) == (len(log.terms()), len(log.videos))
    _, _, payloads, _, id_table, _ = builder.arrays(20)
    own = model.own_payloads(log)
    assert id_table == [k.to_bytes(4, "little") if isinstance(k, int) else k for k in log.videos]
    assert payloads == [
        (own[p][0], [v for v, _ in own[p][1]], [c for _, c in own[p][1]]) if p in own else None
        for p in model.nodes(log)
    ]


def cyclic_index():
    """Every slot s holds node s + 1, yet node 1 hangs below node 2 and node 3
    below itself: root -> a (2), b (3); a -> x (1); b -> a, b."""
    a = Arrays()
    a.node_shifts = [1, 3, 0, 1]
    a.child_labels = ["", "x", "a", "b"]
    a.child_transitions = [1, 2, 3]
    a.payloads = [None, (1, [], []), (1, [], []), (1, [], [])]
    return a


@pytest.mark.parametrize(
    "query, bound",
    [("bax", 0), ("bax", 1), ("bbbax", 1), ("bbbbbbax", 2), ("ax", 2), ("xa", 1)],
)
def test_slots_in_sequence_do_not_make_an_index_breadth_first(query, bound):
    a = cyclic_index()
    expected = [(t, 1, d) for t, _, d in reference_matches(a, query, bound, True)]
    assert expected
    assert a.build().fuzzy_match(query, bound) == expected
