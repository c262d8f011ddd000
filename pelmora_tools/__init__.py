"""Helpers around the Pelmora extension: offscreen OpenGL contexts for tests and the demo."""
