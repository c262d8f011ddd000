"""Shared fixtures: a current offscreen OpenGL context, and namespaces restored after a test.

The backend is chosen here, before any test module imports OpenGL, because PyOpenGL fixes
its platform at its first import. PELMORA_REQUIRE_GL=1 (set by CI) turns a missing backend
from a skip into a failure.
"""
import os

import pytest

from pelmora_tools.context import ContextError, choose_platform, make_context

try:
    BACKEND, BACKEND_ERROR = choose_platform(), None
except ContextError as exc:
    BACKEND, BACKEND_ERROR = None, str(exc)


def pytest_report_header(config):
    return "offscreen OpenGL: %s" % (BACKEND or "none (%s)" % BACKEND_ERROR)


@pytest.fixture
def gl():
    """A fresh 64x64 context, current, with identity matrices, white current colour and
    buffers cleared to opaque black; destroyed after the test."""
    if BACKEND is None:
        message = "no offscreen OpenGL context: %s" % BACKEND_ERROR
        if os.environ.get("PELMORA_REQUIRE_GL") == "1":
            pytest.fail(message)
        pytest.skip(message)
    context = make_context(64, 64)
    try:
        context.make_current()
        context.reset_state()
        yield context
    finally:
        context.destroy()


@pytest.fixture
def namespace():
    """Pelmora, with its namespace, its twin's and the builtins restored after the test."""
    from recording import TWINS, Restorer
    restorer = Restorer()
    try:
        yield TWINS[0]
    finally:
        restorer.restore()
