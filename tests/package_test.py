"""The Debian package: built by cpack from the build tree, listed and unpacked
with dpkg-deb into a scratch directory, and the packaged program run there;
checked by lintian where it is installed. Nothing is installed on the machine.

Usage: python3 package_test.py BUILD-DIR SOURCE-DIR
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = SOURCE = None


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        out = cls._tmp.name
        subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
                       check=True, capture_output=True)
        debs = glob.glob(os.path.join(out, "vespadora_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def dpkg_deb(self, *args):
        return subprocess.run(["dpkg-deb", *args], check=True, capture_output=True, text=True).stdout

    def test_control_fields(self):
        self.assertEqual(self.dpkg_deb("-f", self.deb, "Package").strip(), "vespadora")
        depends = self.dpkg_deb("-f", self.deb, "Depends")
        for library in ("libc6", "libstdc++6"):
            self.assertIn(library, depends)

    def test_contents(self):
        listed = {line.split()[-1] for line in self.dpkg_deb("-c", self.deb).splitlines()}
        doc = "./usr/share/doc/vespadora/"
        for path in ("./usr/bin/vespadora", "./usr/share/man/man1/vespadora.1.gz", doc + "README.md",
                     doc + "FORMAT.md", doc + "changelog.gz", doc + "copyright"):
            self.assertIn(path, listed)

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_finds_no_error_or_warning(self):
        r = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_packaged_program_round_trip(self):
        root = os.path.join(self._tmp.name, "root")
        self.dpkg_deb("-x", self.deb, root)
        program = os.path.join(root, "usr/bin/vespadora")
        sample = os.path.join(SOURCE, "README.md")
        packed, back = os.path.join(self._tmp.name, "r.vsp"), os.path.join(self._tmp.name, "r.out")
        for args in (["c", sample, packed], ["d", packed, back]):
            r = subprocess.run([program, *args], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stdout)
        with open(sample, "rb") as a, open(back, "rb") as b:
            self.assertEqual(a.read(), b.read())


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    SOURCE = os.path.abspath(sys.argv.pop(2))
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
