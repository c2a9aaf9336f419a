"""One adapter per library: how to build its structure and how to ask it.

Every peer is forced to plain Levenshtein distance (insertion, deletion and
substitution cost 1; no transpositions) and to exhaustive results, so that
its answer to "every indexed word within k edits of q" can be compared set
for set. `search` returns the matched words (with distances where the
library gives them); the caller converts them to sets outside the timing.
"""

from __future__ import annotations

import importlib
import importlib.metadata
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
    name = ""  # key used on the command line and in the report
    title = ""  # how the report names it
    module = ""  # import name, to decide whether the peer is available
    dist = ""  # distribution name, for its version
    ks = (1, 2)  # edit bounds it answers exhaustively
    sample = None  # queries to time (None: all); for very slow peers
    autocomplete = False

    @classmethod
    def available(cls) -> bool:
        try:
            importlib.import_module(cls.module)
        except ImportError:
            return False
        return True

    def version(self) -> str:
        return package_version(self.dist)

    def setup(self, workload) -> None:
        """Work before the timed build (imports); not counted."""

    def build(self, workload):
        raise NotImplementedError

    def search(self, state, query: str, k: int):
        """The library's own answer, as its call returns it; timed."""
        raise NotImplementedError

    def pairs(self, found) -> list:
        """search()'s answer as (word, distance) pairs; not timed, so that the
        figures are the libraries' calls and not this module's conversions."""
        return found

    def complete(self, state, prefix: str, limit: int):
        raise NotImplementedError


class Ours(Peer):
    name = "quillomar"
    title = "quillomar fuzzy_match"
    module = "_quillomar"
    dist = "quillomar"
    autocomplete = True

    def version(self) -> str:
        version = package_version(self.dist)
        try:
            import _quillomar

            where = os.path.relpath(_quillomar.__file__)
            cache = os.path.join(os.path.dirname(_quillomar.__file__), "CMakeCache.txt")
            if os.path.exists(cache):  # an in-tree build: say how it was built
                with open(cache) as f:
                    for line in f:
                        if line.startswith("CMAKE_BUILD_TYPE:"):
                            where += f", CMAKE_BUILD_TYPE={line.split('=', 1)[1].strip()}"
            return f"{version} ({where})"
        except ImportError:
            return version

    def setup(self, workload) -> None:
        from quillomar import IndexBuilder, PrefixSearch

        self._cls, self._builder = PrefixSearch, IndexBuilder
        # What a user starts from: (term, video, count) records, made here
        # so that the timed build starts from them.
        self._records = {id(workload): self._make_records(workload)}

    @staticmethod
    def _make_records(workload):
        return [
            (word, video, count)
            for word, (_, ids, counts) in zip(workload.words, workload.payloads)
            for video, count in zip(ids, counts)
        ]

    def arrays(self, workload):
        """The six construction arrays, from the package's own builder (the
        path a user takes)."""
        records = self._records.get(id(workload)) or self._make_records(workload)
        builder = self._builder()
        builder.add_records(records)
        return tuple(builder.arrays(workload.video_top_n))

    def build(self, workload):
        # The whole path from records to a searchable index: the Python
        # builder and the native construction.
        return self._cls.from_internal_data_v2(*self.arrays(workload))

    def search(self, state, query, k):
        return state.fuzzy_match(query, k)

    def pairs(self, found):
        return [(text, distance) for text, _, distance in found]

    def complete(self, state, prefix, limit):
        return state.fuzzy_match_video(prefix, 1, limit)

    def extra_measurements(self, state, workload) -> dict:
        """Splits the build into its Python and native halves and measures
        the stored form: its size, load time and resident size once loaded."""
        start = time.perf_counter()
        arrays = self.arrays(workload)
        python_s = time.perf_counter() - start
        nodes = len(arrays[1])
        start = time.perf_counter()
        rebuilt = self._cls.from_internal_data_v2(*arrays)
        native_s = time.perf_counter() - start
        del arrays, rebuilt
        start = time.perf_counter()
        blob = state.to_bytes()
        to_bytes_s = time.perf_counter() - start
        before = resident_bytes()
        start = time.perf_counter()
        loaded = self._cls.from_bytes(blob)
        from_bytes_s = time.perf_counter() - start
        loaded_bytes = max(0, resident_bytes() - before)
        same = all(
            loaded.fuzzy_match(q, 2) == state.fuzzy_match(q, 2) for q in workload.queries[:200]
        )
        return {
            "builder": "quillomar.IndexBuilder",
            "nodes": nodes,
            "python_arrays_s": python_s,
            "native_build_s": native_s,
            "to_bytes_s": to_bytes_s,
            "bytes_len": len(blob),
            "from_bytes_s": from_bytes_s,
            "from_bytes_memory_bytes": loaded_bytes,
            "round_trip_same": same,
        }


class OursTermsOnly(Ours):
    """The same trie without video statistics: what symspellpy and the
    others hold (words, each with a count), so build time and memory compare
    like for like. Only built, not queried: fuzzy_match never reads payloads,
    so its speed is the row above."""

    name = "quillomar-terms"
    title = "quillomar, terms only (no videos)"
    autocomplete = False
    ks = ()

    def arrays(self, workload):
        builder = self._builder()
        builder.set_totals(dict.fromkeys(workload.words, 1))
        return tuple(builder.arrays(workload.video_top_n))

    def extra_measurements(self, state, workload) -> dict:
        return {"builder": "quillomar.IndexBuilder"}


class RapidFuzz(Peer):
    name = "rapidfuzz"
    title = "rapidfuzz process.extract (brute force)"
    module = "rapidfuzz"
    dist = "rapidfuzz"

    def setup(self, workload):
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein

        self._extract = process.extract
        self._scorer = Levenshtein.distance

    def build(self, workload):
        # No index: every query scans the word list.
        return workload.words

    def search(self, state, query, k):
        return self._extract(query, state, scorer=self._scorer, score_cutoff=k, limit=None)

    def pairs(self, found):
        return [(choice, int(score)) for choice, score, _ in found]


class SymSpell(Peer):
    name = "symspellpy"
    title = "symspellpy lookup (Verbosity.ALL)"
    module = "symspellpy"
    dist = "symspellpy"
    max_dictionary_edit_distance = 2

    def setup(self, workload):
        from symspellpy import SymSpell as _SymSpell
        from symspellpy import Verbosity
        from symspellpy.editdistance import DistanceAlgorithm, EditDistance

        # Its compiled plain-Levenshtein comparer when that is installed,
        # else its pure-Python one; never its default (which counts
        # transpositions).
        try:
            import editdistpy  # noqa: F401

            algorithm = DistanceAlgorithm.LEVENSHTEIN_FAST
        except ImportError:
            algorithm = DistanceAlgorithm.LEVENSHTEIN
        self.algorithm = algorithm.name
        self._make = lambda: _SymSpell(
            max_dictionary_edit_distance=self.max_dictionary_edit_distance,
            distance_comparer=EditDistance(algorithm),
        )
        self._all = Verbosity.ALL

    def version(self) -> str:
        version = package_version(self.dist)
        algorithm = getattr(self, "algorithm", "")
        if algorithm == "LEVENSHTEIN_FAST":
            return f"{version} (DistanceAlgorithm.{algorithm}, editdistpy {package_version('editdistpy')})"
        return f"{version} (DistanceAlgorithm.{algorithm})" if algorithm else version

    def build(self, workload):
        spell = self._make()
        for word in workload.words:
            spell.create_dictionary_entry(word, 1)
        return spell

    def search(self, state, query, k):
        return state.lookup(query, self._all, max_edit_distance=k)

    def pairs(self, found):
        return [(item.term, item.distance) for item in found]


class SymSpellCpp(Peer):
    """The C++ port of the same delete-neighbourhood method. It has no
    choice of distance: it counts transpositions as one edit and measures
    UTF-8 bytes rather than characters, so its answers differ from plain
    Levenshtein; the report counts those queries. Installed from its source
    distribution by bench/peers/install_cpp_peer.sh."""

    name = "symspellcpppy"
    title = "SymSpellCppPy lookup (Verbosity.ALL)"
    module = "SymSpellCppPy"
    dist = "SymSpellCppPy"
    max_dictionary_edit_distance = 2

    def setup(self, workload):
        import SymSpellCppPy

        self._module = SymSpellCppPy

    def build(self, workload):
        spell = self._module.SymSpell(
            max_dictionary_edit_distance=self.max_dictionary_edit_distance
        )
        for word in workload.words:
            spell.create_dictionary_entry(word, 1)
        return spell

    def search(self, state, query, k):
        return state.lookup(query, self._module.Verbosity.ALL, k)

    def pairs(self, found):
        return [(item.term, item.distance) for item in found]


class Tantivy(Peer):
    name = "tantivy"
    title = "tantivy fuzzy_term_query"
    module = "tantivy"
    dist = "tantivy"
    autocomplete = True
    # Above every result count of this workload at k <= 2; a query that
    # fills it is asked again with the whole index as the limit, so the
    # answer stays exhaustive.
    first_limit = 10_000

    def setup(self, workload):
        import tantivy

        self._t = tantivy

    def build(self, workload):
        t = self._t
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
        return (schema, searcher, workload.words, len(workload.words))

    def _query(self, state, text, k, limit, prefix):
        schema, searcher, words, _ = state
        query = self._t.Query.fuzzy_term_query(
            schema, "w", text, distance=k, transposition_cost_one=False, prefix=prefix
        )
        return [
            words[address.doc]
            for _, address in searcher.search(query, limit=limit, count=False).hits
        ]

    def search(self, state, query, k):
        found = self._query(state, query, k, self.first_limit, False)
        if len(found) >= self.first_limit:
            found = self._query(state, query, k, state[3], False)
        return found

    def complete(self, state, prefix, limit):
        return self._query(state, prefix, 1, limit, True)


class LevenSearch(Peer):
    name = "leven-search"
    title = "leven-search find_dist"
    module = "leven_search"
    dist = "leven-search"
    ks = (1,)
    sample = 500

    def setup(self, workload):
        from leven_search import LevenSearch as _LevenSearch

        self._make = _LevenSearch
        # Its trie search recurses once per character.
        sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))

    def build(self, workload):
        index = self._make()
        for word in workload.words:
            index.insert(word)
        return index

    def search(self, state, query, k):
        return state.find_dist(query, k)

    def pairs(self, found):
        return [(word, item.dist) for word, item in found.words.items()]


class Marisa(Peer):
    name = "marisa-trie"
    title = "marisa-trie keys (exact prefix)"
    module = "marisa_trie"
    dist = "marisa-trie"
    ks = ()
    autocomplete = True

    def setup(self, workload):
        import marisa_trie

        self._trie = marisa_trie.Trie

    def build(self, workload):
        return self._trie(workload.words)

    def complete(self, state, prefix, limit):
        return list(itertools.islice(state.iterkeys(prefix), limit))


PEERS = [Ours, OursTermsOnly, RapidFuzz, SymSpell, SymSpellCpp, Tantivy, LevenSearch, Marisa]
BY_NAME = {peer.name: peer for peer in PEERS}
