"""Builds quarnel the way Python extensions are built: with setuptools for
Python 3 (the stable-ABI quarnel.abi3.so, wheel tag cp38-abi3), with plain
distutils for Python 2.7 where setuptools is absent (quarnel.so). The
sources and flags come from sources.txt, through sources.py, which the
CMake build runs too.

Cross builds follow the interpreter's build settings as image recipes set
them: _PYTHON_SYSCONFIGDATA_NAME, _PYTHON_HOST_PLATFORM, CC, LDSHARED and the
target's headers in CFLAGS."""
import os
import re
import sys

try:
    from setuptools import Extension, setup
    from setuptools.command.build_ext import build_ext
except ImportError:  # Python 2.7 without setuptools
    from distutils.core import Extension, setup
    from distutils.command.build_ext import build_ext
try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import sources  # noqa: E402  (sources.txt's one reader, CMake's too)

PY3 = sys.version_info[0] >= 3

# What the interpreter's own build settings bring that the module's checks do
# not allow: C-only warnings, which g++ reports on every file, and the C
# library's fortify and stack checks, which bind symbols (__printf_chk,
# __stack_chk_fail) newer than the oldest box C libraries have.
C_ONLY = ("-Wstrict-prototypes", "-Wdeclaration-after-statement",
          "-Werror=declaration-after-statement", "-Werror=implicit-function-declaration")
OVERRIDES = ["-fno-stack-protector", "-U_FORTIFY_SOURCE"]


def read_text(name):
    with open(os.path.join(HERE, name)) as f:
        return f.read()


class BuildExt(build_ext):
    def build_extensions(self):
        for attribute in ("compiler_so", "compiler_cxx", "linker_so"):
            flags = getattr(self.compiler, attribute, None)
            if flags:
                setattr(self.compiler, attribute, [f for f in flags if f not in C_ONLY])
        build_ext.build_extensions(self)

    def build_extension(self, ext):
        """Ships the module stripped; its debugging sections stay in the
        build tree, where the debug link of the module names them."""
        path = self.get_ext_fullpath(ext.name)
        debug = os.path.join(self.build_temp, os.path.basename(path) + ".debug")
        before = os.path.getmtime(path) if os.path.exists(path) else None
        build_ext.build_extension(self, ext)
        if before == os.path.getmtime(path) and os.path.exists(debug):
            return  # up to date, so stripped already
        # The toolchain's own objcopy: mipsel-linux-gnu-gcc -> mipsel-linux-gnu-objcopy
        objcopy = re.sub(r"(gcc|g\+\+|c\+\+|cc)(-[0-9.]+)?$", "objcopy", self.compiler.compiler_so[0])
        self.mkpath(self.build_temp)
        for args in (["--only-keep-debug", path, debug], ["--strip-unneeded", path],
                     ["--add-gnu-debuglink=" + debug, path]):
            self.spawn([objcopy] + args)


if bdist_wheel:
    class BdistWheel(bdist_wheel):
        """Takes --plat-name as given, so a set of tags such as
        manylinux_2_17_x86_64.manylinux2014_x86_64 keeps its dot."""
        def get_tag(self):
            impl, abi, plat = bdist_wheel.get_tag(self)
            return impl, abi, self.plat_name if self.plat_name_supplied else plat


def extension():
    table = sources.table()
    name = "quarnel.abi3.so" if PY3 else "quarnel.so"
    options = dict(
        sources=table["guide"] + table["module"] + table["python3" if PY3 else "python2"],
        include_dirs=[HERE],
        extra_compile_args=table["cxxflags"] + OVERRIDES,
        extra_link_args=table["ldflags"] + ["-Wl,-soname," + name],
        language="c++",
    )
    options["define_macros"] = [("QUARNEL_VERSION", '"%s"' % read_text("VERSION").strip())]
    if PY3:
        options["define_macros"] += [tuple(d.split("=", 1)) for d in table["python3-defines"]]
        options["py_limited_api"] = True
    return Extension("quarnel", **options)


metadata = dict(
    name="quarnel",
    # The pure-Python tool for guide files, beside the extension.
    packages=["quarnel_guide"],
    package_dir={"": "python", "quarnel-stubs": "quarnel-stubs"},
    version=read_text("VERSION").strip(),
    description="Reads a TV channel's programme guide (.ndx + .pdt) into (start, title) tuples",
    long_description=read_text("README.md"),
    ext_modules=[extension()],
    cmdclass={"build_ext": BuildExt},
    # Beside CMake's build/, not inside it.
    options={"build": {"build_base": "build-setuptools"}},
)
if PY3:
    metadata.update(
        long_description_content_type="text/markdown",
        packages=["quarnel_guide", "quarnel-stubs"],
        package_data={"quarnel-stubs": ["__init__.pyi"], "quarnel_guide": ["__init__.pyi", "py.typed"]},
        python_requires=">=3.8",
        entry_points={"console_scripts": ["quarnel-guide = quarnel_guide:main"]},
    )
    metadata["options"]["bdist_wheel"] = {"py_limited_api": "cp38"}
    if bdist_wheel:
        metadata["cmdclass"]["bdist_wheel"] = BdistWheel
else:  # distutils makes no commands from entry points
    metadata["scripts"] = ["tools/quarnel-guide"]
setup(**metadata)
