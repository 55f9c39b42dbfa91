"""Tests of the Windows build, run here under wine: bytes, messages, exit status and files left behind.

Usage: python3 windows_test.py PATH-TO-vespadora.exe PATH-TO-NATIVE-vespadora

The native program of this machine gives the bytes the Windows one must write. Ctrl-C is not tested: wine
gives a program started without a console no way to receive a console control event.
"""
import os
import shutil
import subprocess
import sys
import unittest

import cli_test
from cli_test import CORRUPT, GOLDEN, SAME_FILE, STAGES_C, STAGES_D, USAGE, leftovers, random_bytes

WINE = shutil.which("wine") or shutil.which("wine64")
NATIVE = None


SERVER_STARTED = False


def setUpModule():
    global SERVER_STARTED
    if WINE:  # one wine server for every run, rather than one started for each; or the one already running
        SERVER_STARTED = subprocess.run(["wineserver", "-p"], stderr=subprocess.DEVNULL).returncode == 0
        # The services wine starts with its first program would hold that
        # program's output pipes open: they start here, with no pipes.
        subprocess.run([WINE, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))


def tearDownModule():
    if SERVER_STARTED:
        subprocess.run(["wineserver", "-k"])


class WindowsRun(cli_test.CliCase):
    def setUp(self):
        super().setUp()
        if not WINE:
            self.skipTest("needs wine")

    def vesp(self, *args, **kwargs):
        env = dict(os.environ, WINEDEBUG="-all")
        r = subprocess.run([WINE, cli_test.PROGRAM, *args], capture_output=True, timeout=120, env=env, **kwargs)
        self.assertEqual(r.stderr, b"", f"stderr for {args}")
        return r.returncode, r.stdout

    def native(self, *args):
        return subprocess.run([NATIVE, *args], capture_output=True, check=True).stdout

    def test_golden_files(self):
        for data, packed, stats in GOLDEN:
            with self.subTest(data=data):
                code, out = self.vesp("c", self.write("in", data), self.path("out"))
                self.assertEqual((code, out, self.read(self.path("out")).hex()), (0, (STAGES_C + stats).encode(), packed))
                code, out = self.vesp("d", self.path("out"), self.path("back"))
                expected = f"O arquivo compactado tem {len(data)} bytes\n{STAGES_D}".encode()
                self.assertEqual((code, out, self.read(self.path("back"))), (0, expected, data))

    def test_same_bytes_as_the_native_program(self):
        cases = {"text over 1 MiB": cli_test.TEXT, "random": random_bytes(9, 300_000),
                 "fibonacci": cli_test.fibonacci_data()[0][:1_000_000], "all bytes": bytes(range(256)) * 3}
        for name, data in cases.items():
            with self.subTest(name):
                src = self.write("plain", data)
                self.native("c", src, self.path("native.vz"))
                self.assertEqual(self.vesp("c", src, self.path("windows.vz"))[0], 0)
                self.assertEqual(self.read(self.path("windows.vz")), self.read(self.path("native.vz")))
                self.assertEqual(self.vesp("d", self.path("native.vz"), self.path("back"))[0], 0)
                self.assertEqual(self.read(self.path("back")), data)

    def test_errors_leave_no_output(self):
        packed = self.write("packed", bytes.fromhex(GOLDEN[0][1]) + b"")
        cut = self.write("cut", cli_test.header(1000) + bytes.fromhex(GOLDEN[0][1])[4:])
        cases = [  # arguments, exit status, end of the console text
            (("x", packed, self.path("out")), USAGE),
            (("c", packed), USAGE),
            (("c", self.path("missing"), self.path("out")), f"Erro ao abrir arquivo de entrada: {self.path('missing')}\n"),
            (("d", self.path("missing"), self.path("out")), f"Erro ao abrir arquivo de entrada {self.path('missing')}\n"),
            (("d", cut, self.path("out")), CORRUPT.format(cut)),
            (("c", packed, self.path("no dir/out")), f"Erro ao abrir arquivo de saida: {self.path('no dir/out')}\n"),
        ]
        for args, tail in cases:
            with self.subTest(args=args):
                code, out = self.vesp(*args)
                self.assertEqual(code, 1, out)
                self.assertTrue(out.endswith(tail.encode()), out)
                self.assertFalse(os.path.lexists(self.path("out")))
                self.assertEqual(leftovers(self.dir), [])

    def test_existing_output_kept_on_failure_and_replaced_on_success(self):
        dst = self.write("out", b"keep me")
        cut = self.write("cut", cli_test.header(1000) + bytes.fromhex(GOLDEN[0][1])[4:])
        self.assertEqual(self.vesp("d", cut, dst)[0], 1)
        self.assertEqual((self.read(dst), leftovers(self.dir)), (b"keep me", []))
        self.assertEqual(self.vesp("d", self.write("packed", bytes.fromhex(GOLDEN[0][1])), dst)[0], 0)
        self.assertEqual((self.read(dst), leftovers(self.dir)), (b"abracadabra", []))

    def test_same_file_refused(self):
        src = self.write("x", b"abracadabra" * 10)
        os.link(src, self.path("other name"))
        for out in (src, self.path("other name")):
            with self.subTest(out=out):
                code, text = self.vesp("c", src, out)
                self.assertEqual(code, 1, text)
                self.assertIn(SAME_FILE.encode(), text)
                self.assertEqual(self.read(src), b"abracadabra" * 10)

    def test_names_with_accents_and_the_null_device(self):
        src = self.write("ação.txt", "Ações e opiniões\n".encode() * 100)
        self.assertEqual(self.vesp("c", src, self.path("saída.vsp"))[0], 0)
        self.assertEqual(self.vesp("d", self.path("saída.vsp"), self.path("volta é.txt"))[0], 0)
        self.assertEqual(self.read(self.path("volta é.txt")), self.read(src))
        self.assertEqual(self.vesp("c", src, "NUL")[0], 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["ação.txt", "saída.vsp", "volta é.txt"])


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cli_test.PROGRAM = os.path.abspath(sys.argv.pop(1))
    NATIVE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
