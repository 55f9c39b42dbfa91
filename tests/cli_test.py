"""Command-line tests: run the built program and check bytes, text and exit status."""
import os
import subprocess
import sys
import tempfile
import unittest

PROGRAM = None


def run(*args, cwd=None):
    return subprocess.run([PROGRAM, *args], capture_output=True, cwd=cwd)


class Golden(unittest.TestCase):
    def test_abracadabra(self):
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "in")
            with open(src, "wb") as f:
                f.write(b"abracadabra")
            r = run("c", src, os.path.join(d, "out"))
            self.assertEqual(r.returncode, 0)
            with open(os.path.join(d, "out"), "rb") as f:
                self.assertEqual(f.read().hex(), "0b000000585625c963b22ce7ac")


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
