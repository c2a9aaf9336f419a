"""Telling a native module's internal-failure exception from other errors."""


def is_internal_failure(err: BaseException) -> bool:
    """Whether ``err`` is the exception a native module raises when it meets
    an internal failure (an index that decodes but breaks its own rules).

    It derives from BaseException and is not an attribute of the module
    until first raised, so it is known by its name.
    """
    return type(err).__name__ == "PanicException"
