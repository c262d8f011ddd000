"""Build script and the one place for the project metadata.

Every supported setuptools reads this file, from Python 2.7's (which cannot read a
pyproject.toml [project] table) to the newest; pyproject.toml names only the build backend.
"""
import glob
import io
import os
import platform
import re
import subprocess
import sys
import sysconfig

if platform.python_implementation() != "CPython":
    sys.exit("Pelmora is a C++ extension written against CPython's own C API, which %s (for "
             "Python %s) does not provide; install it under CPython 3.8 or later (or 2.7)."
             % (platform.python_implementation(), platform.python_version()))

import setuptools  # noqa: E402  (after the check: the message comes first)
from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# Warnings as errors with PELMORA_WERROR=1; more flags in PELMORA_EXTRA_CFLAGS / _LDFLAGS.
WERROR = bool(os.environ.get("PELMORA_WERROR"))


def sources():
    found = glob.glob(os.path.join("src", "module", "*.cpp"))
    found += glob.glob(os.path.join("src", "draw", "*.cpp"))
    return sorted(found)


def compiler_family(compiler):
    """'msvc', 'clang' or 'gcc': the compiler that compiles the C++ sources, asked for the
    macros it defines (on macOS `gcc` is clang); 'cc' when it cannot say."""
    if compiler.compiler_type == "msvc":
        return "msvc"
    # setuptools 74 and later compile C++ with their own command (CXX); before, with CC.
    driver = getattr(compiler, "compiler_so_cxx", None) or compiler.compiler_so
    try:
        process = subprocess.Popen(list(driver[:1]) + ["-dM", "-E", "-x", "c++", os.devnull],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        macros = process.communicate()[0].decode("latin-1")
    except OSError:
        return "cc"
    if "__clang__" in macros:
        return "clang"
    return "gcc" if "__GNUC__" in macros else "cc"


def compile_args(family):
    if family == "msvc":
        return ["/std:c++17", "/W4", "/permissive-", "/Zc:__cplusplus", "/EHsc"] + (
            ["/WX"] if WERROR else [])
    args = ["-std=c++17", "-Wall", "-Wextra", "-Wconversion", "-Wold-style-cast",
            "-Wzero-as-null-pointer-constant", "-fvisibility=hidden",
            # The plain operator delete: the sized one needs CXXABI_1.3.9 (GCC 5), newer than
            # the libstdc++ a manylinux2014 wheel may ask for.
            "-fno-sized-deallocation"]
    # Python's own headers are not held to the warnings above.
    args += ["-isystem", sysconfig.get_paths()["include"]]
    if family == "gcc":
        # GCC follows symlinks in system headers to their real directory, where Debian's
        # debug headers would find the release pyconfig.h.
        args.append("-fno-canonical-system-headers")
    return args + (["-Werror"] if WERROR else [])


class BuildExt(build_ext):
    """Flags for the compiler actually used, and none of the C-only ones that Python 2.7's
    compiler settings pass."""

    def finalize_options(self):
        build_ext.finalize_options(self)
        # A build folder may hold objects another compiler or other flags made (a pip install
        # of a clone builds in it): they would be linked as they are.
        self.force = True

    def build_extensions(self):
        for command in ("compiler_so", "compiler_so_cxx"):
            flags = getattr(self.compiler, command, None) or []
            if "-Wstrict-prototypes" in flags:
                flags.remove("-Wstrict-prototypes")
        args = compile_args(compiler_family(self.compiler))
        for extension in self.extensions:
            extension.extra_compile_args = args + extension.extra_compile_args
        build_ext.build_extensions(self)


extension = Extension(
    "Pelmora",
    sources=sources(),
    include_dirs=["src"],
    depends=sorted(glob.glob(os.path.join("src", "*", "*.h"))),
    extra_compile_args=os.environ.get("PELMORA_EXTRA_CFLAGS", "").split(),
    extra_link_args=os.environ.get("PELMORA_EXTRA_LDFLAGS", "").split(),
    language="c++",
)


def read(name):
    with io.open(os.path.join(HERE, name), encoding="utf-8") as handle:
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
        # bench/run.py times with pyperf (1.7 is the last for 2.7) and, where Cython
        # installs, also times the reference compiled by it.
        "bench": ["pyperf; python_version >= '3'", "pyperf<2; python_version < '3'", "Cython"],
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
