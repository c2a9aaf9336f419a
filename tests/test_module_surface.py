"""The module object and the PrefixSearch type as Python sees them."""

import ctypes
import subprocess
import sys
import textwrap
import weakref

import pytest

import _quillomar
from _quillomar import PrefixSearch

SIGNATURES = {
    "from_internal_data_v2": "(node_shifts, child_labels, payloads, "
    "child_transitions, video_index, video_top_n)",
    "to_bytes": "($self)",
    "from_bytes": "(b)",
    "fuzzy_match": "(term, max_dist=1, limit=None)",
    "fuzzy_match_video": "(term, max_dist=1, limit=None, "
    "include_prefix_nodes=None, min_score=None)",
}


def test_module_attributes():
    assert _quillomar.__all__ == ["PrefixSearch"]
    assert _quillomar.__doc__ == ""
    own = {k for k in vars(_quillomar) if not k.startswith("__")}
    assert own == {"PrefixSearch"}


def test_type_identity():
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__name__ == PrefixSearch.__qualname__ == "PrefixSearch"
    assert repr(PrefixSearch) == "<class 'builtins.PrefixSearch'>"
    assert PrefixSearch.__doc__ is None
    assert PrefixSearch.__bases__ == (object,)


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_method_signatures(name, signature):
    method = getattr(PrefixSearch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_methods_are_exactly_the_five_in_order():
    own = [k for k in vars(PrefixSearch) if not k.startswith("__")]
    assert own == list(SIGNATURES)
    assert isinstance(vars(PrefixSearch)["from_bytes"], staticmethod)
    assert isinstance(vars(PrefixSearch)["from_internal_data_v2"], staticmethod)


def test_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for PrefixSearch$"):
        PrefixSearch()
    with pytest.raises(TypeError, match="^No constructor defined for PrefixSearch$"):
        PrefixSearch(1, x=2)


def test_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(PrefixSearch):  # noqa: F841
            pass


def test_class_is_mutable_but_instances_have_no_dict(empty_index):
    PrefixSearch.some_attribute = 1
    try:
        assert PrefixSearch.some_attribute == 1
    finally:
        del PrefixSearch.some_attribute
    with pytest.raises(AttributeError):
        empty_index.some_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(empty_index)


def test_init_function_returns_the_same_module_again():
    lib = ctypes.PyDLL(_quillomar.__file__)
    init = lib.PyInit__quillomar
    init.restype = ctypes.py_object
    assert init() is _quillomar


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import _quillomar
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _quillomar")
        except Exception as e:
            print("refused:", type(e).__name__, e)
        else:
            print("imported")
        """
    )
    del interpreters
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out.startswith("refused:") and "ImportError" in out


def test_panic_exception_derives_from_base_exception():
    # A stored index whose root's only child slot names a node that does not
    # exist: the search must stop at the read of that node's label.
    index = PrefixSearch.from_bytes(_broken_index_bytes())
    with pytest.raises(BaseException) as info:
        index.fuzzy_match("a")
    exc_type = info.type
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__module__ == "_quillomar"
    assert exc_type.__bases__ == (BaseException,)
    assert not issubclass(exc_type, Exception)
    assert exc_type.__doc__
    assert info.value.args == ("index out of bounds: the len is 1 but the index is 5",)


def _broken_index_bytes() -> bytes:
    # One node (the root) with one child slot that names node 5.
    return bytes(
        [
            1,
            0,  # node_shifts [0]
            1,
            0,  # child_labels [U+0000]
            1,
            5,  # child_transitions [5]
            1,
            0,  # payloads [absent]
            0,  # uuid_ids []
            0,  # int32_ids []
            0,  # id_mode Uuid
            1,
            0,  # is_terminal [false]
        ]
    )
