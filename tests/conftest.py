"""Shared fixtures: a current offscreen OpenGL context with a known state for every test.

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

GL_SIZE = 64


def pytest_report_header(config):
    return "offscreen OpenGL: %s" % (BACKEND or "none (%s)" % BACKEND_ERROR)


@pytest.fixture
def gl():
    """A fresh GL_SIZE x GL_SIZE context, current, with identity matrices, the full viewport,
    white current colour and buffers cleared to opaque black; destroyed after the test."""
    if BACKEND is None:
        message = "no offscreen OpenGL context: %s" % BACKEND_ERROR
        if os.environ.get("PELMORA_REQUIRE_GL") == "1":
            pytest.fail(message)
        pytest.skip(message)
    context = make_context(GL_SIZE, GL_SIZE)
    try:
        context.make_current()
        context.reset_state()
        yield context
    finally:
        context.destroy()


@pytest.fixture
def namespace():
    """Pelmora, with its namespace and its twin's restored after the test whatever the test
    rebinds or deletes there."""
    from recording import TWINS, Restorer
    restorer = Restorer(TWINS)
    try:
        yield TWINS[0]
    finally:
        restorer.restore()
