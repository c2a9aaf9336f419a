import _quillomar


def test_module_exports_prefix_search():
    assert _quillomar.__all__ == ["PrefixSearch"]
