"""Build script for the Pelmora extension.

Python 3 reads the project metadata from pyproject.toml; Python 2.7's setuptools
cannot, so this file carries the metadata itself when it runs there.
"""
import glob
import os
import sys
import sysconfig

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

metadata = {}
if sys.version_info[0] < 3:
    metadata = dict(
        name="Pelmora",
        version="1.0.0",
        install_requires=["PyOpenGL"],
        entry_points={"console_scripts": ["pelmora-demo = pelmora_tools.demo:main"]},
    )

setup(
    ext_modules=[extension],
    cmdclass={"build_ext": BuildExt},
    # The stub-only package's name is not an importable name, which the
    # pyproject.toml schema of some setuptools releases rejects.
    packages=["pelmora_tools", "Pelmora-stubs"],
    package_data={"Pelmora-stubs": ["__init__.pyi"]},
    **metadata
)
