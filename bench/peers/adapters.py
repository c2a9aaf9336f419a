"""One adapter per library: how to build its structure and how to ask it.

Every peer is forced to plain Levenshtein distance (insertion, deletion and
substitution cost 1; no transpositions) and to exhaustive results, so that
its answer to "every indexed word within k edits of q" can be compared set
for set. `search` returns the library's own answer (timed); `pairs` turns it
into (word, distance) pairs or bare words, outside the timing.
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import itertools
import os
import sys
import time

from common import resident_bytes


def package_version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class Peer:
    name = ""  # on the command line and in the report
    module = ""  # import name; its distribution's name unless `dist` says otherwise
    dist = ""
    ks = (1, 2)  # edit bounds it answers exhaustively
    sample = None  # queries to time (None: all); for very slow peers
    autocomplete = False

    @classmethod
    def available(cls) -> bool:
        return importlib.util.find_spec(cls.module) is not None

    def version(self) -> str:
        return package_version(self.dist or self.module)

    def setup(self, workload) -> None:
        """Imports and other work before the timed build."""
        self.lib = importlib.import_module(self.module)

    def pairs(self, found) -> list:
        return [(item.term, item.distance) for item in found]


class Ours(Peer):
    name, module, dist = "quillomar", "_quillomar", "quillomar"
    autocomplete = True

    def version(self) -> str:
        import _quillomar

        where = os.path.relpath(_quillomar.__file__)
        cache = os.path.join(os.path.dirname(_quillomar.__file__), "CMakeCache.txt")
        if os.path.exists(cache):  # an in-tree build: say how it was built
            with open(cache) as f:
                kind = [
                    ln.split("=", 1)[1].strip() for ln in f if ln.startswith("CMAKE_BUILD_TYPE:")
                ]
            where += "".join(f", CMAKE_BUILD_TYPE={k}" for k in kind)
        return f"{super().version()} ({where})"

    def setup(self, workload) -> None:
        # What a user starts from: (term, video, count) records, made here so
        # that the timed build starts from them.
        self._records = {id(workload): self._make_records(workload)}

    @staticmethod
    def _make_records(workload):
        return [
            (word, video, count)
            for word, (_, ids, counts) in zip(workload.words, workload.payloads)
            for video, count in zip(ids, counts)
        ]

    def arrays(self, workload):
        """The construction arrays from the package's own builder."""
        from quillomar import IndexBuilder

        builder = IndexBuilder()
        builder.add_records(self._records.get(id(workload)) or self._make_records(workload))
        return builder.arrays(workload.video_top_n)

    def build(self, workload):
        return self.arrays(workload).build()

    def search(self, state, query, k):
        return state.fuzzy_match(query, k)

    def pairs(self, found):
        return [(text, distance) for text, _, distance in found]

    def complete(self, state, prefix, limit):
        return state.fuzzy_match_video(prefix, 1, limit)

    def extra_measurements(self, state, workload) -> dict:
        """The build's Python and native halves, and the stored form: its
        size, load time and resident size once loaded."""
        from quillomar import PrefixSearch

        start = time.perf_counter()
        arrays = self.arrays(workload)
        python_s, start = time.perf_counter() - start, time.perf_counter()
        arrays.build()
        native_s, start = time.perf_counter() - start, time.perf_counter()
        blob = state.to_bytes()
        to_bytes_s, before = time.perf_counter() - start, resident_bytes()
        start = time.perf_counter()
        loaded = PrefixSearch.from_bytes(blob)
        from_bytes_s = time.perf_counter() - start
        same = all(
            loaded.fuzzy_match(q, 2) == state.fuzzy_match(q, 2) for q in workload.queries[:200]
        )
        return {
            "nodes": len(arrays.child_labels),
            "python_arrays_s": python_s,
            "native_build_s": native_s,
            "to_bytes_s": to_bytes_s,
            "bytes_len": len(blob),
            "from_bytes_s": from_bytes_s,
            "from_bytes_memory_bytes": max(0, resident_bytes() - before),
            "round_trip_same": same,
        }


class OursTermsOnly(Ours):
    """The same trie without video statistics: what the others hold (words,
    each with a count), so build time and memory compare like for like. Not
    queried: fuzzy_match never reads payloads."""

    name = "quillomar-terms"
    autocomplete, ks = False, ()

    def arrays(self, workload):
        from quillomar import IndexBuilder

        builder = IndexBuilder()
        builder.set_totals(dict.fromkeys(workload.words, 1))
        return builder.arrays(workload.video_top_n)

    extra_measurements = None


class RapidFuzz(Peer):
    name = module = "rapidfuzz"

    def build(self, workload):
        return workload.words  # no index: every query scans the word list

    def setup(self, workload):
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein

        self._extract, self._scorer = process.extract, Levenshtein.distance

    def search(self, state, query, k):
        return self._extract(query, state, scorer=self._scorer, score_cutoff=k, limit=None)

    def pairs(self, found):
        return [(choice, int(score)) for choice, score, _ in found]


class SymSpell(Peer):
    name = module = "symspellpy"

    def setup(self, workload):
        from symspellpy.editdistance import DistanceAlgorithm

        super().setup(workload)
        # Its compiled plain-Levenshtein comparer when installed, else its
        # pure-Python one; never its default (which counts transpositions).
        fast = importlib.util.find_spec("editdistpy") is not None
        self.algorithm = (
            DistanceAlgorithm.LEVENSHTEIN_FAST if fast else DistanceAlgorithm.LEVENSHTEIN
        )

    def version(self) -> str:
        version = f"{super().version()} (DistanceAlgorithm.{self.algorithm.name}"
        if self.algorithm.name == "LEVENSHTEIN_FAST":
            version += f", editdistpy {package_version('editdistpy')}"
        return version + ")"

    def build(self, workload):
        from symspellpy.editdistance import EditDistance

        spell = self.lib.SymSpell(
            max_dictionary_edit_distance=2, distance_comparer=EditDistance(self.algorithm)
        )
        for word in workload.words:
            spell.create_dictionary_entry(word, 1)
        return spell

    def search(self, state, query, k):
        return state.lookup(query, self.lib.Verbosity.ALL, max_edit_distance=k)


class SymSpellCpp(Peer):
    """The C++ port of the same method. It has no choice of distance: it
    counts transpositions as one edit and measures UTF-8 bytes rather than
    characters; the report counts the queries where that differs."""

    name, module = "symspellcpppy", "SymSpellCppPy"

    def build(self, workload):
        spell = self.lib.SymSpell(max_dictionary_edit_distance=2)
        for word in workload.words:
            spell.create_dictionary_entry(word, 1)
        return spell

    def search(self, state, query, k):
        return state.lookup(query, self.lib.Verbosity.ALL, k)


class Tantivy(Peer):
    name = module = "tantivy"
    autocomplete = True
    # Above every result count of this workload at k <= 2; a query that fills
    # it is asked again with the whole index as the limit.
    first_limit = 10_000

    def build(self, workload):
        t = self.lib
        builder = t.SchemaBuilder()
        builder.add_text_field("w", stored=False, tokenizer_name="raw", index_option="basic")
        schema = builder.build()
        index = t.Index(schema)  # in memory
        writer = index.writer(heap_size=500_000_000, num_threads=1)
        for word in workload.words:
            writer.add_document(t.Document(w=word))
        writer.commit()
        writer.wait_merging_threads()
        index.reload()
        searcher = index.searcher()
        # One segment in insertion order: a hit's doc number is the word's index.
        if searcher.num_segments != 1:
            raise RuntimeError(f"expected one segment, got {searcher.num_segments}")
        return schema, searcher, workload.words

    def _query(self, state, text, k, limit, prefix):
        schema, searcher, words = state
        query = self.lib.Query.fuzzy_term_query(
            schema, "w", text, distance=k, transposition_cost_one=False, prefix=prefix
        )
        return [words[a.doc] for _, a in searcher.search(query, limit=limit, count=False).hits]

    def search(self, state, query, k):
        found = self._query(state, query, k, self.first_limit, False)
        if len(found) >= self.first_limit:
            found = self._query(state, query, k, len(state[2]), False)
        return found

    def pairs(self, found):
        return found

    def complete(self, state, prefix, limit):
        return self._query(state, prefix, 1, limit, True)


class LevenSearch(Peer):
    name, module = "leven-search", "leven_search"
    ks, sample = (1,), 500

    def setup(self, workload):
        super().setup(workload)
        sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))  # it recurses per character

    def build(self, workload):
        index = self.lib.LevenSearch()
        for word in workload.words:
            index.insert(word)
        return index

    def search(self, state, query, k):
        return state.find_dist(query, k)

    def pairs(self, found):
        return [(word, item.dist) for word, item in found.words.items()]


class Marisa(Peer):
    name, module = "marisa-trie", "marisa_trie"
    ks, autocomplete = (), True

    def build(self, workload):
        return self.lib.Trie(workload.words)

    def complete(self, state, prefix, limit):
        return list(itertools.islice(state.iterkeys(prefix), limit))


PEERS = [Ours, OursTermsOnly, RapidFuzz, SymSpell, SymSpellCpp, Tantivy, LevenSearch, Marisa]
BY_NAME = {peer.name: peer for peer in PEERS}
