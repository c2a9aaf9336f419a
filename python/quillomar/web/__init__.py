"""Serving the search box over HTTP (needs the ``serve`` extra).

``create_app`` makes the ASGI application, to run with any ASGI server or
to mount inside a larger Starlette or FastAPI app; ``serve`` runs it with
uvicorn in one or several worker processes (``quillomar serve``).
"""

from .app import create_app, load_autocomplete
from .params import Limits
from .titles import TitlesError, read_titles

__all__ = ["Limits", "TitlesError", "create_app", "load_autocomplete", "read_titles"]
