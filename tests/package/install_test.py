#!/usr/bin/python3
"""Installs the build into a temporary prefix as `cmake --install` does for a user, then builds
the example C host against it three ways (find_package from the prefix, find_package from the
build folder, pkg-config) and runs each against the loopback test peer.

    /usr/bin/python3 install_test.py --build BUILD_DIR
"""

import argparse
import pathlib
import subprocess
import sys
import tempfile
import unittest

from package_hosts import (VERSION, build_with_cmake, build_with_pkg_config, exchange, pkg_config,
                           run)

arguments = None


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="wsbridge-install-")
        cls.root = pathlib.Path(cls.scratch.name)
        cls.prefix = cls.root / "prefix"
        # GNUInstallDirs picks lib/ for any prefix but /usr, so the layout below is fixed.
        run(["cmake", "--install", arguments.build, "--prefix", cls.prefix])

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def assertLinksInstalledLibrary(self, host, environment=None):
        """The host resolves libwsbridge.so.0 from the prefix, not from the build folder."""
        lines = [line.split() for line in run(["ldd", host], environment).splitlines()]
        resolved = [fields[2] for fields in lines if fields[:2] == ["libwsbridge.so.0", "=>"]]
        self.assertEqual([pathlib.Path(path).resolve() for path in resolved],
                         [(self.prefix / "lib" / f"libwsbridge.so.{VERSION}").resolve()])

    def test_layout_soname_and_files(self):
        library = self.prefix / "lib"
        self.assertEqual((library / "libwsbridge.so").readlink(), pathlib.Path("libwsbridge.so.0"))
        self.assertEqual((library / "libwsbridge.so.0").readlink(),
                         pathlib.Path(f"libwsbridge.so.{VERSION}"))
        self.assertIn("Library soname: [libwsbridge.so.0]",
                      run(["readelf", "-d", library / f"libwsbridge.so.{VERSION}"]))
        for path in ["include/wsbridge.h", "lib/cmake/wsbridge/wsbridgeConfig.cmake",
                     "lib/cmake/wsbridge/wsbridgeConfigVersion.cmake",
                     "lib/pkgconfig/wsbridge.pc", "share/doc/wsbridge/README.md",
                     "share/doc/wsbridge/LICENSE", "share/doc/wsbridge/docs/windows.md",
                     "share/doc/wsbridge/examples/c_host/minimal_host.c"]:
            with self.subTest(path=path):
                self.assertTrue((self.prefix / path).is_file())

    def test_find_package_from_the_prefix(self):
        host = build_with_cmake(self.root / "find-package-prefix",
                                f"-DCMAKE_PREFIX_PATH={self.prefix}")
        self.assertLinksInstalledLibrary(host)
        self.assertIsNone(exchange([host]))

    def test_find_package_from_the_build_folder(self):
        host = build_with_cmake(self.root / "find-package-build",
                                f"-Dwsbridge_DIR={pathlib.Path(arguments.build).resolve()}")
        self.assertIsNone(exchange([host]))

    def test_find_package_takes_versions_of_the_same_major_number(self):
        wanted = {"0.1": True, "0.2": True, VERSION: True, "0.3": False, "1.0": False}
        for version, found in wanted.items():
            with self.subTest(version=version):
                project = self.root / f"wants-{version}"
                project.mkdir()
                (project / "CMakeLists.txt").write_text(
                    "cmake_minimum_required(VERSION 3.25)\nproject(wants LANGUAGES NONE)\n"
                    f"find_package(wsbridge {version} REQUIRED)\n")
                result = subprocess.run(
                    ["cmake", "-S", project, "-B", project / "build",
                     f"-DCMAKE_PREFIX_PATH={self.prefix}"],
                    capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode == 0, found, result.stdout + result.stderr)

    def test_pkg_config(self):
        pc_dir = self.prefix / "lib" / "pkgconfig"
        self.assertEqual(pkg_config(pc_dir, "--modversion"), [VERSION])
        host = build_with_pkg_config(self.root / "pkg-config-host", pc_dir)
        # pkg-config gives no run path: a host outside the system's folders names the library's.
        libdir = pkg_config(pc_dir, "--variable=libdir")[0]
        environment = {"LD_LIBRARY_PATH": libdir, "PATH": "/usr/bin:/bin"}
        self.assertLinksInstalledLibrary(host, environment)
        self.assertIsNone(exchange([host], environment))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    arguments, rest = parser.parse_known_args()
    sys.exit(not unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
             .result.wasSuccessful())
