"""Build script and the one place for the project metadata.

Every supported setuptools reads this file, from Python 2.7's (which cannot read a
pyproject.toml [project] table) to the newest; pyproject.toml names only the build backend.
"""
import glob
import io
import os
import re
import sysconfig

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def sources():
    found = glob.glob(os.path.join("src", "module", "*.cpp"))
    found += glob.glob(os.path.join("src", "draw", "*.cpp"))
    return sorted(found)


def compile_args():
    args = ["-std=c++17", "-Wall", "-Wextra", "-Wconversion", "-Wold-style-cast",
            "-Wzero-as-null-pointer-constant", "-fvisibility=hidden"]
    # Python's own headers are not held to the warnings above.
    include = sysconfig.get_paths()["include"]
    args += ["-isystem", include]
    if os.environ.get("PELMORA_WERROR"):
        args.append("-Werror")
    args += os.environ.get("PELMORA_EXTRA_CFLAGS", "").split()
    return args


def link_args():
    return os.environ.get("PELMORA_EXTRA_LDFLAGS", "").split()


class BuildExt(build_ext):
    """Drops the C-only flags that Python 2.7's compiler settings pass to g++."""

    def build_extensions(self):
        for flag in ("-Wstrict-prototypes",):
            if flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        # GCC follows symlinks in system headers to their real directory, where
        # Debian's debug headers would find the release pyconfig.h.
        if "gcc" in os.path.basename(self.compiler.compiler_so[0]):
            for extension in self.extensions:
                extension.extra_compile_args.append("-fno-canonical-system-headers")
        build_ext.build_extensions(self)


extension = Extension(
    "Pelmora",
    sources=sources(),
    include_dirs=["src"],
    depends=sorted(glob.glob(os.path.join("src", "*", "*.h"))),
    extra_compile_args=compile_args(),
    extra_link_args=link_args(),
    language="c++",
)


def read(name):
    """The text of a file beside this one; empty in a build from a copy of src/ and this
    file alone, as scripts/sanitize.sh makes."""
    path = os.path.join(HERE, name)
    if not os.path.exists(path):
        return ""
    with io.open(path, encoding="utf-8") as handle:
        return handle.read()


def licence():
    """MIT, said the way this setuptools understands without a deprecation warning: from
    release 77 as an SPDX expression (the older field and the licence classifier are then
    deprecated); before it, Python 3.8's and 2.7's releases know only the older two."""
    major = int(re.match(r"\d+", setuptools.__version__).group())
    if major >= 77:
        found = [name for name in ["LICENSE"] if os.path.exists(os.path.join(HERE, name))]
        return dict(license_expression="MIT", license_files=found), []
    return dict(license="MIT"), ["License :: OSI Approved :: MIT License"]


LICENCE, LICENCE_CLASSIFIERS = licence()
PYTHONS = ["2.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

setup(
    name="Pelmora",
    version="1.0.0",
    description="Draws a square, two cubes, the coordinate axes and a view volume into "
                "the current OpenGL context through PyOpenGL",
    long_description=read("README.md"),
    long_description_content_type="text/markdown",
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, "
                    "!=3.7.*",
    # The demo command reads pictures back and writes PNGs with Pillow.
    install_requires=["PyOpenGL>=3.1", "Pillow"],
    extras_require={
        # The stub tests run both type checkers (pyright with a node from PyPI);
        # the packaging tests build an sdist with setuptools, which Python 3.12+ venvs lack.
        "test": ["pytest", "numpy", "mypy", "pyright[nodejs]", "setuptools"],
    },
    entry_points={"console_scripts": ["pelmora-demo = pelmora_tools.demo:main"]},
    ext_modules=[extension],
    cmdclass={"build_ext": BuildExt},
    # The stub-only package's name is not an importable name, which the pyproject.toml
    # schema of some setuptools releases rejects.
    packages=["pelmora_tools", "Pelmora-stubs"],
    package_data={"Pelmora-stubs": ["*.pyi"]},
    classifiers=[
        "Development Status :: 5 - Production/Stable",
        "Intended Audience :: Developers",
        "Intended Audience :: Education",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 2",
    ] + ["Programming Language :: Python :: " + v for v in PYTHONS] + [
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Multimedia :: Graphics :: 3D Rendering",
        "Typing :: Typed",
    ] + LICENCE_CLASSIFIERS,
    **LICENCE
)
