#!/usr/bin/python3
"""Unpacks the release archives that `./dev dist` made and uses each as a host developer would.

    /usr/bin/python3 archives_test.py DIST_DIR --wineprefix DIR

- SHA256SUMS matches both archives and the Python package's wheel, which each archive also
  carries in python/.
- wsbridge-VERSION-linux-x86_64.tar.gz: the example C host that it ships is built with its CMake
  package (find_package) and with its pkg-config file, wherever it was unpacked, and exchanges a
  message with the loopback test peer; so do its C# example, compiled by Mono's mcs and run by
  Mono, and its Python example, run in a fresh virtual environment where its wheel was installed
  offline.
- wsbridge-VERSION-windows-x64.zip: check_dll.sh passes on its DLL and both import libraries; its
  wsbridge-cli.exe, and the example C host it ships built with mingw-w64 against its header and
  libwsbridge.dll.a (by one compiler call, and through its CMake package), exchange a message
  with the loopback test peer under Wine (in the Wine prefix DIR, made there if missing).
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import sys
import tarfile
import tempfile
import unittest
import zipfile

from package_hosts import (PEER, ROOT, VERSION, build_with_cmake, build_with_pkg_config, exchange,
                           run)

sys.path.insert(0, str(ROOT / "tests" / "windows"))
from run_wine_suite import run_cli_exchange, stop_wineserver, wine_environment  # noqa: E402

LINUX_ARCHIVE = f"wsbridge-{VERSION}-linux-x86_64.tar.gz"
WINDOWS_ARCHIVE = f"wsbridge-{VERSION}-windows-x64.zip"
WHEEL = f"wsbridge-{VERSION}-py3-none-any.whl"
MINGW_CC = "x86_64-w64-mingw32-gcc-posix"

arguments = None


def unpack(archive, into):
    """Unpacks the archive; returns its one top folder, named after the archive."""
    if archive.suffix == ".zip":
        with zipfile.ZipFile(archive) as opened:
            opened.extractall(into)
    else:
        with tarfile.open(archive) as opened:
            opened.extractall(into)
    (top,) = pathlib.Path(into).iterdir()
    return top


class Archives(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="wsbridge-dist-")
        self.addCleanup(scratch.cleanup)
        self.scratch = pathlib.Path(scratch.name)

    def assertFiles(self, top, paths):
        for path in paths:
            with self.subTest(path=path):
                self.assertTrue((top / path).is_file(), f"{path} is missing from the archive")

    def test_checksums(self):
        listed = {}
        for line in (arguments.dist / "SHA256SUMS").read_text().splitlines():
            digest, name = line.split(maxsplit=1)
            listed[name.lstrip("*")] = digest
        self.assertEqual(sorted(listed), sorted([LINUX_ARCHIVE, WINDOWS_ARCHIVE, WHEEL]))
        for name, digest in listed.items():
            with self.subTest(archive=name):
                actual = hashlib.sha256((arguments.dist / name).read_bytes()).hexdigest()
                self.assertEqual(actual, digest)

    def test_linux_archive_through_its_cmake_package_and_pkg_config(self):
        top = unpack(arguments.dist / LINUX_ARCHIVE, self.scratch / "unpacked")
        self.assertEqual(top.name, LINUX_ARCHIVE.removesuffix(".tar.gz"))
        self.assertFiles(top, ["include/wsbridge.h", f"lib/libwsbridge.so.{VERSION}",
                               "lib/cmake/wsbridge/wsbridgeConfig.cmake",
                               "lib/pkgconfig/wsbridge.pc", "README.md", "LICENSE",
                               "docs/windows.md", "examples/c_host/CMakeLists.txt",
                               "examples/csharp/WsBridge.cs", "examples/python/minimal_host.py",
                               f"python/{WHEEL}"])
        self.assertEqual((top / "lib" / "libwsbridge.so.0").readlink().name,
                         f"libwsbridge.so.{VERSION}")

        # The example as shipped, built out of the archive as a host project would build it.
        example = top / "examples" / "c_host"
        host = build_with_cmake(self.scratch / "find-package", f"-DCMAKE_PREFIX_PATH={top}",
                                source=example)
        self.assertIsNone(exchange([host]))
        host = build_with_pkg_config(self.scratch / "pkg-config-host", top / "lib" / "pkgconfig",
                                     source=example)
        self.assertIsNone(exchange([host], {"LD_LIBRARY_PATH": str(top / "lib")}))

    def test_linux_archive_with_its_csharp_and_python_examples(self):
        top = unpack(arguments.dist / LINUX_ARCHIVE, self.scratch / "unpacked")
        self.assertEqual((top / "python" / WHEEL).read_bytes(),
                         (arguments.dist / WHEEL).read_bytes())
        # Both find libwsbridge.so.0 as an installed library is found, here in the archive's lib/.
        environment = dict(os.environ, LD_LIBRARY_PATH=str(top / "lib"))

        # C#: the two sources compiled together, the dllmap config copied beside the program.
        csharp = top / "examples" / "csharp"
        program = self.scratch / "MinimalHost.exe"
        run(["mcs", "-warnaserror+", f"-out:{program}", csharp / "WsBridge.cs",
             csharp / "MinimalHost.cs"])
        shutil.copy(csharp / "MinimalHost.exe.config", self.scratch)
        self.assertIsNone(exchange(["mono", program], environment))

        # Python: the wheel installed with pip alone, no index, into an environment that has
        # nothing else.
        venv = self.scratch / "venv"
        run(["/usr/bin/python3", "-m", "venv", venv])
        python = venv / "bin" / "python"
        run([python, "-m", "pip", "install", "--quiet", "--no-index", top / "python" / WHEEL])
        self.assertEqual(run([python, "-c", "import wsbridge; print(wsbridge.__version__)"]),
                         f"{VERSION}\n")
        self.assertIsNone(exchange([python, top / "examples" / "python" / "minimal_host.py"],
                                   environment))

    def test_windows_archive_under_wine(self):
        top = unpack(arguments.dist / WINDOWS_ARCHIVE, self.scratch / "unpacked")
        self.assertEqual(top.name, WINDOWS_ARCHIVE.removesuffix(".zip"))
        self.assertFiles(top, ["bin/wsbridge.dll", "bin/wsbridge-cli.exe", "include/wsbridge.h",
                               "lib/libwsbridge.dll.a", "lib/wsbridge.lib", "lib/wsbridge.def",
                               "README.md", "LICENSE", "docs/windows.md",
                               "examples/c_host/minimal_host.c", "examples/csharp/WsBridge.cs",
                               "examples/csharp/MinimalHost.cs", "examples/python/minimal_host.py",
                               f"python/{WHEEL}"])
        self.assertEqual((top / "python" / WHEEL).read_bytes(),
                         (arguments.dist / WHEEL).read_bytes())
        run([ROOT / "tests" / "windows" / "check_dll.sh", top / "bin" / "wsbridge.dll",
             top / "lib" / "libwsbridge.dll.a", top / "lib" / "wsbridge.lib"])

        # The example C host linked against the import library, once with one compiler call and
        # once through the CMake package, each put beside the DLL so that the loader finds it.
        example = top / "examples" / "c_host"
        compiled = top / "bin" / "compiled_host.exe"
        run([MINGW_CC, "-std=c11", example / "minimal_host.c", "-I", top / "include",
             "-L", top / "lib", "-lwsbridge", "-o", compiled])
        # The cross toolchain file searches the mingw-w64 sysroot only, so the package is named.
        build_with_cmake(self.scratch / "find-package",
                         f"-Dwsbridge_DIR={top / 'lib' / 'cmake' / 'wsbridge'}",
                         f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64-x86_64.cmake'}",
                         f"-DCMAKE_RUNTIME_OUTPUT_DIRECTORY={top / 'bin'}", source=example)
        packaged = top / "bin" / "minimal_host.exe"
        environment = wine_environment(arguments.wineprefix)
        try:
            self.assertIsNone(exchange(["wine", compiled], environment))
            self.assertIsNone(exchange(["wine", packaged], environment))
            self.assertTrue(run_cli_exchange(top / "bin" / "wsbridge-cli.exe", environment, PEER))
        finally:
            stop_wineserver(environment)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("dist", type=pathlib.Path)
    parser.add_argument("--wineprefix", type=pathlib.Path, required=True)
    arguments, rest = parser.parse_known_args()
    arguments.dist = arguments.dist.resolve()
    arguments.wineprefix = arguments.wineprefix.resolve()
    sys.exit(not unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
             .result.wasSuccessful())
