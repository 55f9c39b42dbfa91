"""Command-line tests: run the built program and check bytes, console text and exit status.

Usage: python3 cli_test.py [--emulator=COMMAND] PATH-TO-VESPADORA [TESTS...]

--emulator runs the program through COMMAND (for instance "qemu-s390x -L
/usr/s390x-linux-gnu" for a cross build); tests that an emulator cannot run
skip themselves with the reason. VESPADORA_LARGE_FILES=1 in the environment
also runs the round trips of files past 2 GiB, which take a minute or more.
"""
import concurrent.futures
import contextlib
import ctypes
import itertools
import os
import platform
import random
import resource
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROGRAM = None
EMULATOR = []  # what runs the program, when this machine cannot
COMMAND = []  # EMULATOR, then PROGRAM

STAGES_C = ("1/4 Calculando frequências...OK\n"
            "2/4 Criando árvore de Huffman...OK\n"
            "3/4 Criando tabela de encodings...OK\n"
            "4/4 Escrevendo arquivo compactado...OK\n")
STAGES_D = "1/2 Lendo árvore de Huffman...OK\n2/2 Descomprimindo arquivo...OK\n"
USAGE = "Para usar:\n\tvespadora [c/d] arquivoEntrada arquivoSaida\n"
CORRUPT = "Erro: arquivo compactado corrompido ou truncado: {}\n"
SAME_FILE = "Erro: entrada e saida são o mesmo arquivo:"
WRITE_ERROR = "Erro ao escrever arquivo de saida: {}\n"
STATS = "Bytes processados"

GOLDEN = [  # input, compressed bytes, statistics line
    (b"abracadabra", "0b000000585625c963b22ce7ac",
     "Bytes processados: 11 Bytes escritos: 13 Taxa de compressão: 118.18%\n"),
    (b"aaaa", "04000000b080", "Bytes processados: 4 Bytes escritos: 6 Taxa de compressão: 150.00%\n"),
    (b"ab", "02000000586c48", "Bytes processados: 2 Bytes escritos: 7 Taxa de compressão: 350.00%\n"),
    (b"", "000000008000", "Bytes processados: 0 Bytes escritos: 6 Taxa de compressão: 0.00%\n"),
    (b"abcd" * 40, "a00000002c36458ec4" + "72" * 40,  # 30.625 exactly; 30.63 when computed in doubles
     "Bytes processados: 160 Bytes escritos: 49 Taxa de compressão: 30.62%\n"),
]


# 1.6 MB of text: large enough to be counted and coded by pairs.
TEXT = b"".join(b"linha %d de texto comum\n" % i for i in range(60_000))


def header(count):
    return count.to_bytes(4, "little")


def pack(bits):
    """A string of '0'/'1' as bytes, most significant bit first, zero padded."""
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def leaf(byte):
    return "1" + format(byte, "08b")


def random_bytes(seed, size):
    return random.Random(seed).randbytes(size)


def fibonacci_data():
    """34 byte values whose counts are F(1)..F(34), mixed with a fixed seed.

    The Huffman tree of these counts is a chain, so the two rarest values get
    33-bit codes. A full Fisher-Yates pass over 15 MB is too slow in Python:
    the bytes are mixed by shuffling 4 KB blocks and then dealing the result
    out column by column with a prime stride.
    """
    counts = [1, 1]
    while len(counts) < 34:
        counts.append(counts[-1] + counts[-2])
    values = [(i * 37 + 11) % 256 for i in range(34)]
    ordered = b"".join(bytes([v]) * c for v, c in zip(values, counts))
    blocks = [ordered[i:i + 4096] for i in range(0, len(ordered), 4096)]
    random.Random(34).shuffle(blocks)
    source = b"".join(blocks)
    size, stride, pos = len(source), 4093, 0
    mixed = bytearray(size)
    for column in range(stride):
        n = len(range(column, size, stride))
        mixed[column::stride] = source[pos:pos + n]
        pos += n
    depths = [33] + [35 - i for i in range(2, 35)]
    bits = (10 * 34 - 1) + sum(c * d for c, d in zip(counts, depths))
    return bytes(mixed), 4 + (bits + 7) // 8


class CliCase(unittest.TestCase):
    """Runs the program in a scratch directory of the test class."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self._tmp.name)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def vesp(self, *args, **kwargs):
        """Runs the program; returns (exit status, stdout bytes). Nothing may reach stderr."""
        r = subprocess.run([*COMMAND, *args], capture_output=True, timeout=120, **kwargs)
        self.assertGreaterEqual(r.returncode, 0, f"killed by signal {-r.returncode}: {args}")
        self.assertEqual(r.stderr, b"", f"stderr for {args}")
        return r.returncode, r.stdout

    def compress(self, data, name="plain"):
        src, dst = self.write(name, data), self.path(name + ".vz")
        code, out = self.vesp("c", src, dst)
        self.assertEqual(code, 0, out)
        return self.read(dst)

    def assertRoundTrip(self, data):
        packed = self.compress(data)
        code, out = self.vesp("d", self.write("packed", packed), self.path("back"))
        self.assertEqual(code, 0, out)
        self.assertEqual(self.read(self.path("back")), data)
        for path in (self.path("plain.vz"), self.path("back")):  # room asked for up front, none to spare
            block = os.statvfs(path).f_frsize
            self.assertLessEqual(os.stat(path).st_blocks * 512, -(-os.stat(path).st_size // block) * block, path)
        return packed

    def assertCorrupt(self, compressed, name="bad"):
        """Decompressing `compressed` fails with the corrupt-file message and leaves no output."""
        src, dst = self.write(name, compressed), self.path(name + ".out")
        code, out = self.vesp("d", src, dst)
        self.assertEqual(code, 1, out)
        self.assertTrue(out.endswith(CORRUPT.format(src).encode()), out)
        self.assertFalse(os.path.lexists(dst))
        return out


class GoldenFiles(CliCase):
    def test_compressed_bytes_and_console_text(self):
        for data, packed, stats in GOLDEN:
            with self.subTest(data=data):
                src, dst = self.write("in", data), self.path("out")
                code, out = self.vesp("c", src, dst)
                self.assertEqual(code, 0)
                self.assertEqual(out, (STAGES_C + stats).encode())
                self.assertEqual(self.read(dst).hex(), packed)

    def test_decompression_console_text(self):
        for data, packed, _ in GOLDEN:
            with self.subTest(data=data):
                src, dst = self.write("in", bytes.fromhex(packed)), self.path("out")
                code, out = self.vesp("d", src, dst)
                self.assertEqual(code, 0)
                self.assertEqual(out, f"O arquivo compactado tem {len(data)} bytes\n{STAGES_D}".encode())
                self.assertEqual(self.read(dst), data)

    def test_ratio_on_decimal_ties(self):
        # k byte values n times each, whose ratio is a decimal tie or next to
        # one: computed in doubles rather than in 80 bits, the last digit differs.
        for k, n, ratio in ((2, 10000, "12.54"), (4, 600, "25.38"), (8, 5000, "37.53"), (64, 250, "75.53"),
                            (128, 5, "113.12")):
            with self.subTest(k=k, n=n):
                code, out = self.vesp("c", self.write("in", bytes(range(k)) * n), self.path("out"))
                self.assertEqual(code, 0)
                self.assertTrue(out.endswith(f" Taxa de compressão: {ratio}%\n".encode()), out)

    def test_all_byte_values_once(self):
        # 256 leaves of 9 bits, 255 internal nodes, 256 codes of 8 bits.
        packed = self.assertRoundTrip(bytes(range(256)))
        self.assertEqual(len(packed), 4 + (2559 + 2048 + 7) // 8)
        self.assertEqual(packed[:4], header(256))


class CommandLine(CliCase):
    def test_bad_use_prints_usage(self):
        a, b = self.write("a", b"abracadabra"), self.path("b")
        for args in [(), ("c", a), ("c", a, b, "extra"), ("x", a, b), ("C", a, b), ("", a, b),
                     ("D", a, b)]:
            with self.subTest(args=args):
                self.assertEqual(self.vesp(*args), (1, USAGE.encode()))
                self.assertFalse(os.path.lexists(b))

    def test_only_first_letter_of_mode_counts(self):
        src = self.write("in", b"abracadabra")
        for mode in ("compress", "cx"):
            with self.subTest(mode=mode):
                code, out = self.vesp(mode, src, self.path(mode))
                self.assertEqual(code, 0)
                self.assertEqual(self.read(self.path(mode)).hex(), GOLDEN[0][1])
        code, out = self.vesp("decode", self.path("cx"), self.path("back"))
        self.assertEqual(code, 0)
        self.assertEqual(self.read(self.path("back")), b"abracadabra")


class OpenErrors(CliCase):
    def test_compress_missing_input(self):
        src = self.path("missing")
        self.assertEqual(self.vesp("c", src, self.path("out")),
                         (1, f"1/4 Calculando frequências...Erro ao abrir arquivo de entrada: {src}\n".encode()))
        self.assertFalse(os.path.lexists(self.path("out")))

    def test_compress_output_in_missing_directory(self):
        dst = self.path("nowhere/out")
        expected = STAGES_C[:STAGES_C.rindex("OK")] + f"Erro ao abrir arquivo de saida: {dst}\n"
        self.assertEqual(self.vesp("c", self.write("in", b"abracadabra"), dst), (1, expected.encode()))

    def test_decompress_missing_input_keeps_existing_output(self):
        src, dst = self.path("missing"), self.write("out", b"keep me")
        self.assertEqual(self.vesp("d", src, dst), (1, f"Erro ao abrir arquivo de entrada {src}\n".encode()))
        self.assertEqual(self.read(dst), b"keep me")

    def test_decompress_bad_header_or_tree_keeps_existing_output(self):
        # Checked before the output is created: the existing file stays.
        duplicate_leaf = header(5) + pack("0" + leaf(0x61) + leaf(0x61))
        for name, data in (("short", b"ab"), ("duplicate leaf", duplicate_leaf), ("too deep", header(5) + bytes(64))):
            with self.subTest(name):
                src, dst = self.write(name, data), self.write("out", b"keep me")
                code, out = self.vesp("d", src, dst)
                self.assertEqual(code, 1, out)
                self.assertTrue(out.endswith(CORRUPT.format(src).encode()), out)
                self.assertEqual(self.read(dst), b"keep me")

    def test_decompress_output_cannot_be_created(self):
        src, dst = self.write("in", bytes.fromhex(GOLDEN[0][1])), self.path("nowhere/out")
        self.assertEqual(self.vesp("d", src, dst), (1, f"Erro ao criar arquivo de saida: {dst}\n".encode()))

    def test_decompress_both_fail_reports_input(self):
        src, dst = self.path("missing"), self.path("nowhere/out")
        self.assertEqual(self.vesp("d", src, dst), (1, f"Erro ao abrir arquivo de entrada {src}\n".encode()))


class RoundTrips(CliCase):
    def test_round_trips(self):
        rng = random.Random(99)
        cases = {
            "two symbols": bytes(rng.choice(b"xy") for _ in range(5000)),
            "random": random_bytes(1, 300_000),
            "skewed": bytes(rng.choices(range(256), weights=[2.0 ** -(i / 6) for i in range(256)], k=200_000)),
            "zero and 0xff": b"\x00\xff" * 1000 + b"\x00" * 7,
            "the program itself": self.read(PROGRAM),
            "text over 1 MiB": TEXT,
        }
        for name, data in cases.items():
            with self.subTest(name):
                self.assertRoundTrip(data)

    def test_single_repeated_byte_is_six_bytes(self):
        for length in (1, 100_000):
            with self.subTest(length=length):
                packed = self.assertRoundTrip(b"\x7f" * length)
                self.assertEqual(packed, header(length) + pack(leaf(0x7F)))

    def test_garbage_after_the_stream_is_ignored(self):
        for data in (b"abracadabra", random_bytes(2, 5000), b"aaaa"):
            with self.subTest(size=len(data)):
                packed = self.compress(data) + b"\xff\x00garbage" * 10
                code, out = self.vesp("d", self.write("packed", packed), self.path("back"))
                self.assertEqual(code, 0, out)
                self.assertEqual(self.read(self.path("back")), data)

    def test_codes_longer_than_32_bits(self):
        data, expected_size = fibonacci_data()
        packed = self.assertRoundTrip(data)
        self.assertEqual(len(packed), expected_size)


class CorruptInput(CliCase):
    def test_every_truncation_fails(self):
        samples = {"abracadabra": b"abracadabra", "aaaa": b"aaaa", "ab": b"ab", "empty": b"",
                   "all bytes": bytes(range(256)),
                   "random": bytes(b % 40 for b in random_bytes(3, 1000))}
        jobs = []
        for name, data in samples.items():
            packed = self.compress(data)
            for n in range(len(packed)):
                if name == "empty" and n == 4:
                    continue  # a header of 0 alone is a valid empty file
                # An emulated run costs a hundred native ones: there, the
                # header, the tree's first bytes, every 16th cut and the last.
                if EMULATOR and 32 <= n < len(packed) - 24 and n % 16:
                    continue
                jobs.append((f"{name}-{n}", packed[:n]))

        def attempt(job):
            name, prefix = job
            src, dst = self.write(name, prefix), self.path(name + ".out")
            r = subprocess.run([*COMMAND, "d", src, dst], capture_output=True, timeout=60)
            if (r.returncode, r.stderr) != (1, b"") or not r.stdout.endswith(CORRUPT.format(src).encode()):
                return f"{name}: status {r.returncode}, stdout {r.stdout[-80:]!r}, stderr {r.stderr[-80:]!r}"
            if os.path.lexists(dst):
                return f"{name}: output left behind"
            return None

        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            failures = [f for f in pool.map(attempt, jobs) if f]
        self.assertEqual(failures[:10], [], f"{len(failures)} of {len(jobs)} truncations misbehaved")

    def test_short_header(self):
        for n in range(4):
            with self.subTest(length=n):
                src = self.write("short", b"\x00" * n)
                self.assertEqual(self.vesp("d", src, self.path("out")), (1, CORRUPT.format(src).encode()))
                self.assertFalse(os.path.lexists(self.path("out")))

    def test_crafted_trees_rejected(self):
        two_a = "0" + leaf(0x61) + leaf(0x61) + "01"
        too_deep = "0" * 256 + "".join(leaf(b) for b in range(256))
        cases = {
            "byte value in two leaves": header(2) + pack(two_a),
            "zero run deeper than 255 levels": header(2) + pack(too_deep),
            "200000 zero bytes": header(1) + bytes(200_000),
            "more symbols than the codes give": header(100) + bytes.fromhex("586c48"),
            "leaf symbol cut short": header(1) + b"\xff",
        }
        for name, compressed in cases.items():
            with self.subTest(name):
                self.assertCorrupt(compressed)

    def test_crafted_files_accepted(self):
        deepest = "0" * 255 + "".join(leaf(b) for b in range(256)) + "0" * 255 + "0" * 254 + "1"
        cases = {
            "header 0 alone": (header(0), b""),
            "lone leaf with a large count": (header(100_000) + pack(leaf(0x61)), b"a" * 100_000),
            "tree 255 levels deep": (header(2) + pack(deepest), b"\x00\x01"),
        }
        for name, (compressed, expected) in cases.items():
            with self.subTest(name):
                src, dst = self.write("in", compressed), self.path("out")
                code, out = self.vesp("d", src, dst)
                self.assertEqual(code, 0, out)
                self.assertEqual(out, f"O arquivo compactado tem {len(expected)} bytes\n{STAGES_D}".encode())
                self.assertEqual(self.read(dst), expected)


def file_size_limit(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


class Faults(CliCase):
    def test_same_file_refused(self):
        plain = b"abracadabra" * 50
        for mode, data in (("c", plain), ("d", self.compress(plain))):
            for spelling in ("same", "dot", "absolute", "symlink", "hardlink"):
                with self.subTest(mode=mode, spelling=spelling):
                    src = self.write("x", data)
                    out_name = {"same": "x", "dot": "./x", "absolute": src}.get(spelling, spelling)
                    if spelling == "symlink":
                        os.symlink("x", self.path("symlink"))
                    elif spelling == "hardlink":
                        os.link(src, self.path("hardlink"))
                    code, out = self.vesp(mode, "x", out_name, cwd=self.dir)
                    self.assertEqual(code, 1, out)
                    self.assertIn(SAME_FILE.encode(), out)
                    self.assertNotIn(STATS.encode(), out)
                    self.assertEqual(self.read(src), data)
                    for name in ("symlink", "hardlink"):
                        if os.path.lexists(self.path(name)):
                            os.remove(self.path(name))

    def assertWriteFailure(self, mode, src, dst, **kwargs):
        code, out = self.vesp(mode, src, dst, **kwargs)
        self.assertEqual(code, 1, out)
        self.assertTrue(out.endswith(WRITE_ERROR.format(dst).encode()), out)
        self.assertNotIn(STATS.encode(), out)

    def test_full_device(self):
        for size in (11, 300_000):
            data = random_bytes(4, size)
            for mode, src in (("c", self.write("plain", data)), ("d", self.write("packed", self.compress(data)))):
                with self.subTest(mode=mode, size=size):
                    self.assertWriteFailure(mode, src, "/dev/full")
                    self.assertTrue(stat.S_ISCHR(os.stat("/dev/full").st_mode))

    def test_file_size_limit(self):
        data = random_bytes(5, 200_000)
        packed = self.compress(data)
        for mode, src in (("c", self.write("plain", data)), ("d", self.write("packed", packed))):
            with self.subTest(mode=mode):
                dst = self.path("limited")
                self.assertWriteFailure(mode, src, dst, preexec_fn=file_size_limit(64 * 1024))
                self.assertFalse(os.path.lexists(dst))

    def test_null_device(self):
        data = random_bytes(6, 50_000)
        for mode, src in (("c", self.write("plain", data)), ("d", self.write("packed", self.compress(data)))):
            with self.subTest(mode=mode):
                code, out = self.vesp(mode, src, "/dev/null")
                self.assertEqual(code, 0, out)
                self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))


    def test_standard_output_named_as_output(self):
        # Reached through /proc, which only the kernel can follow: written in place.
        data = random_bytes(6, 50_000)
        code, out = self.vesp("d", self.write("packed", self.compress(data)), "/dev/stdout")
        self.assertEqual(code, 0, out[-200:])
        self.assertIn(data, out)
        # Standard output on a deleted file, which /proc names "x (deleted)":
        # a file of that very name, the input here, stays as it was.
        src = self.write("x (deleted)", data)
        with open(self.path("x"), "wb") as stdout:
            os.remove(self.path("x"))
            self.assertEqual(subprocess.run([*COMMAND, "c", src, "/dev/stdout"], stdout=stdout).returncode, 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["packed", "plain", "plain.vz", "x (deleted)"])
        self.assertTrue(self.read(src) == data, "the input was overwritten")

    def test_memory_exhausted(self):
        # Address-space limits around what the program needs: below, the loader
        # itself fails; above, the run succeeds; in between, an allocation fails
        # and must end in the message, status 1 and no output file.
        with open(PROGRAM, "rb") as f:
            if b"AddressSanitizer" in f.read():
                self.skipTest("the sanitizers need more address space than any limit here")
        if EMULATOR:
            self.skipTest("qemu-user ignores an address-space limit")
        data = random_bytes(7, 300_000)
        packed = self.compress(data)
        failures = 0
        for mode, src in (("c", self.write("plain", data)), ("d", self.write("packed", packed))):
            for kib in range(3000, 12001, 250):
                dst = self.path("out")
                limit = kib * 1024
                r = subprocess.run([*COMMAND, mode, src, dst], capture_output=True, timeout=60,
                                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
                if r.returncode == 127:  # the loader could not map the program
                    continue
                with self.subTest(mode=mode, kib=kib):
                    self.assertGreaterEqual(r.returncode, 0, f"killed by signal {-r.returncode}")
                    if r.returncode == 1:
                        failures += 1
                        self.assertTrue(r.stdout.endswith(b"Erro: mem\xc3\xb3ria insuficiente\n"), r.stdout)
                        self.assertFalse(os.path.lexists(dst))
                        self.assertEqual(leftovers(self.dir), [])
                    else:
                        self.assertEqual(r.returncode, 0, r.stdout)
                if os.path.lexists(dst):
                    os.remove(dst)
        self.assertGreater(failures, 0, "no limit made an allocation fail")


def leftovers(directory):
    """Hidden files in `directory`: a temporary output that a run left behind."""
    return [name for name in os.listdir(directory) if name.startswith(".")]


def dirty_pages(path, start_writeback=False):
    """Pages of `path` not yet on their way to the disk, from cachestat(2); None where it cannot tell."""
    libc = ctypes.CDLL(None, use_errno=True)
    stats = (ctypes.c_uint64 * 5)()  # cached, dirty, writeback, evicted, recently evicted
    fd = os.open(path, os.O_RDONLY)
    try:
        if start_writeback:
            libc.sync_file_range(fd, ctypes.c_int64(0), ctypes.c_int64(0), 2)  # SYNC_FILE_RANGE_WRITE
        ok = libc.syscall(451, fd, (ctypes.c_uint64 * 2)(), stats, 0) == 0  # the whole file
    finally:
        os.close(fd)
    return stats[1] if ok else None


def unprivileged():
    """preexec_fn that drops root, so that directory permissions apply; None when not root."""
    if os.geteuid() != 0:
        return None
    return lambda: (os.setgid(65534), os.setuid(65534))


class DataSafety(CliCase):
    """No failed, interrupted or mistaken run costs the user a file."""

    DATA = TEXT

    def setUp(self):
        super().setUp()
        if EMULATOR:
            self.skipTest("the output's safety is made of system calls, which qemu-user passes to this machine's "
                          "kernel: the native builds test it")
        self.packed = self.compress(self.DATA, "data")
        self.out_dir = tempfile.mkdtemp(dir=self.dir)

    def existing(self, name="out", mode=0o640, via_link=False):
        """An existing output with known contents and permission bits; returns the path to give."""
        target = os.path.join(self.out_dir, name)
        with open(target, "wb") as f:
            f.write(b"keep me")
        os.chmod(target, mode)
        if not via_link:
            return target
        os.symlink(target, self.path("link"))
        return self.path("link")

    def assertKept(self, path, mode=0o640):
        self.assertEqual(self.read(path), b"keep me")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), mode)
        self.assertEqual(leftovers(self.out_dir) + leftovers(self.dir), [])

    def test_failed_run_keeps_existing_output(self):
        truncated = self.packed[:-1]  # fails only when its codes run out, after the output is open
        cases = [  # name, mode, input, preexec_fn
            ("swapped arguments: text", "d", self.write("data", self.DATA), None),
            ("swapped arguments: program", "d", PROGRAM, None),
            ("codes cut short", "d", self.write("cut", truncated), None),
            ("file size limit d", "d", self.write("packed", self.packed), file_size_limit(64 * 1024)),
            ("file size limit c", "c", self.write("data", self.DATA), file_size_limit(64 * 1024)),
            ("no descriptor for a temporary file", "d", self.path("cut"),
             lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (5, 5))),
        ]
        for name, mode, src, preexec in cases:
            for via_link in (False, True):
                with self.subTest(name, via_link=via_link):
                    dst = self.existing(via_link=via_link)
                    code, out = self.vesp(mode, src, dst, preexec_fn=preexec)
                    self.assertEqual(code, 1, out)
                    self.assertKept(os.path.join(self.out_dir, "out"))
                    if via_link:
                        self.assertTrue(os.path.islink(dst))
                        os.remove(dst)

    def test_success_replaces_contents_and_keeps_permissions(self):
        for via_link in (False, True):
            with self.subTest(via_link=via_link):
                dst = self.existing(mode=0o604, via_link=via_link)
                os.link(os.path.join(self.out_dir, "out"), self.path("other name"))
                self.assertEqual(self.vesp("d", self.path("data.vz"), dst)[0], 0)
                self.assertEqual(self.read(dst), self.DATA)
                self.assertEqual(stat.S_IMODE(os.stat(dst).st_mode), 0o604)
                self.assertEqual(os.path.islink(dst), via_link)
                self.assertEqual(self.read(self.path("other name")), b"keep me")
                control = self.write("control", self.DATA)  # where the file system writes back
                if dirty_pages(control) and dirty_pages(control, start_writeback=True) == 0:
                    self.assertEqual(dirty_pages(dst), 0, "renamed over a file before its writeback began")
                self.assertEqual(leftovers(self.out_dir) + leftovers(self.dir), [])
                for name in ("other name", "link"):
                    if os.path.lexists(self.path(name)):
                        os.remove(self.path(name))
        if os.geteuid() == 0:  # the owner and group stay too, where the process may set them
            dst = self.existing(name="theirs", mode=0o644)
            os.chown(dst, 65534, 65534)
            self.assertEqual(self.vesp("d", self.path("data.vz"), dst)[0], 0)
            self.assertEqual((os.stat(dst).st_uid, os.stat(dst).st_gid, self.read(dst)), (65534, 65534, self.DATA))
        code, _ = self.vesp("c", self.path("data"), self.path("new"), preexec_fn=lambda: os.umask(0o027))
        self.assertEqual((code, stat.S_IMODE(os.stat(self.path("new")).st_mode)), (0, 0o640))

    def test_link_that_leads_nowhere_yet(self):
        # Opening it makes the file it names: made whole on success, and not left behind on failure.
        os.symlink(os.path.join(self.out_dir, "target"), self.path("link"))
        self.assertEqual(self.vesp("d", self.write("cut", self.packed[:-1]), self.path("link"))[0], 1)
        self.assertEqual(os.listdir(self.out_dir), [])
        self.assertEqual(self.vesp("d", self.path("data.vz"), self.path("link"))[0], 0)
        self.assertEqual((self.read(self.path("link")), os.listdir(self.out_dir)), (self.DATA, ["target"]))

    def run_from_fifo(self, sig, ignored=False, existing=True):
        """Decompresses from a FIFO that stalls half way, sends `sig`; returns the exit status."""
        fifo = self.path("fifo")
        dst = self.existing() if existing else os.path.join(self.out_dir, "new")
        if os.path.lexists(fifo):
            os.remove(fifo)
        os.mkfifo(fifo)
        proceed = threading.Event()

        def feed():
            try:
                with open(fifo, "wb") as f:
                    f.write(self.packed[:100_000])
                    f.flush()
                    proceed.wait(30)
                    f.write(self.packed[100_000:])
            except BrokenPipeError:
                pass

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        def preexec():  # no core file from SIGQUIT or SIGXCPU
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            if ignored:
                signal.signal(sig, signal.SIG_IGN)
        p = subprocess.Popen([*COMMAND, "d", fifo, dst], stdout=subprocess.DEVNULL, preexec_fn=preexec)
        deadline = time.monotonic() + 30
        while not leftovers(self.out_dir) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertTrue(leftovers(self.out_dir), "no temporary output appeared")
        p.send_signal(sig)  # pending before the rest of the input can arrive
        proceed.set()
        code = p.wait(30)
        writer.join(10)
        return code, dst

    def test_signals_leave_existing_output(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGQUIT, signal.SIGXCPU,
                    signal.SIGALRM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGVTALRM, signal.SIGPROF, signal.SIGIO,
                    signal.SIGPWR):
            with self.subTest(signal=sig.name):
                code, dst = self.run_from_fifo(sig)
                self.assertEqual(code, -sig)
                self.assertKept(dst)
        code, dst = self.run_from_fifo(signal.SIGINT, existing=False)
        self.assertEqual((code, os.path.lexists(dst), leftovers(self.out_dir)), (-signal.SIGINT, False, []))

    def test_signal_while_compressing(self):
        # The writing stage cannot be held still, so the signal goes as soon as
        # its temporary output appears, on an input that takes a while to code;
        # a run that still ends first must have left its whole output, and is
        # tried again.
        src = self.write("large", self.DATA * 20)
        for existing in (False, True):
            with self.subTest(existing=existing):
                for _ in range(3):
                    dst = self.existing() if existing else os.path.join(self.out_dir, "new")
                    p = subprocess.Popen([*COMMAND, "c", src, dst], stdout=subprocess.PIPE)
                    seen = b""
                    while b"4/4" not in seen and p.poll() is None:
                        seen += p.stdout.read1(100)
                    while not leftovers(self.out_dir) and p.poll() is None:
                        pass
                    p.send_signal(signal.SIGTERM)
                    p.communicate(timeout=60)
                    if p.returncode != 0:
                        break
                    self.assertTrue(self.read(dst) == self.compress(self.DATA * 20, "whole"))
                    os.remove(dst)
                self.assertEqual(p.returncode, -signal.SIGTERM)
                if existing:
                    self.assertKept(dst)
                else:
                    self.assertEqual((os.path.lexists(dst), leftovers(self.out_dir)), (False, []))

    def test_signal_ignored_at_start_stays_ignored(self):
        code, dst = self.run_from_fifo(signal.SIGTERM, ignored=True)
        self.assertEqual(code, 0)
        self.assertEqual(self.read(dst), self.DATA)

    def test_reader_of_standard_output_gone(self):
        r, w = os.pipe()
        os.close(r)
        dst = self.existing()
        try:
            code = subprocess.run([*COMMAND, "d", self.path("data.vz"), dst], stdout=w, timeout=60).returncode
        finally:
            os.close(w)
        self.assertEqual(code, -signal.SIGPIPE)
        self.assertKept(dst)

    def test_closed_standard_streams(self):
        def close_in_and_out():
            os.close(0)
            os.close(1)
        for mode, src, expected in (("c", self.path("data"), self.packed), ("d", self.path("data.vz"), self.DATA)):
            with self.subTest(mode=mode):
                dst = self.path("closed." + mode)
                r = subprocess.run([*COMMAND, mode, src, dst], preexec_fn=close_in_and_out, timeout=60)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(self.read(dst), expected)

    def test_in_place_where_no_file_can_replace_the_output(self):
        # The directory lets the program write the file but not put another
        # one in its place: not writable, or sticky with the file another
        # user's. The output is written in place, and on failure emptied,
        # whether named directly or through a link.
        if os.geteuid() != 0 and os.stat(self.out_dir).st_uid == os.geteuid():
            self.skipTest("a sticky directory of one's own lets its files be replaced")
        preexec = unprivileged()
        for d in (self._tmp.name, self.dir):
            os.chmod(d, 0o777)
        os.chmod(self.path("data.vz"), 0o644)
        cut = self.write("cut", self.packed[:-1])
        os.chmod(cut, 0o644)
        target = self.existing(mode=0o666)
        try:
            for dir_mode in (0o555, 0o1777):
                os.chmod(self.out_dir, dir_mode)
                for via_link in (False, True):
                    dst = target
                    if via_link:
                        os.symlink(target, self.path("link"))
                        dst = self.path("link")
                    with self.subTest(dir_mode=oct(dir_mode), via_link=via_link):
                        code, _ = self.vesp("d", self.path("data.vz"), dst, preexec_fn=preexec)
                        self.assertEqual((code, self.read(target)), (0, self.DATA))
                        code, _ = self.vesp("d", cut, dst, preexec_fn=preexec)
                        self.assertEqual((code, os.stat(target).st_size), (1, 0))
                        self.assertEqual(leftovers(self.out_dir), [])
                    if via_link:
                        os.remove(dst)
        finally:
            os.chmod(self.out_dir, 0o755)

    def test_no_inode_for_a_temporary_file_keeps_existing_output(self):
        # Writing in place instead would put the existing file at risk.
        mnt = tempfile.mkdtemp(dir=self.dir)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,nr_inodes=2", "tmpfs", mnt],
                          capture_output=True).returncode != 0:
            self.skipTest("needs to mount a tmpfs")
        try:
            self.out_dir = mnt
            dst = self.existing()  # the last inode
            for mode, src in (("d", self.write("cut", self.packed[:-1])), ("c", self.path("data"))):
                with self.subTest(mode=mode):
                    code, out = self.vesp(mode, src, dst)
                    self.assertEqual(code, 1, out)
                    self.assertTrue(out.endswith(f" arquivo de saida: {dst}\n".encode()), out)
                    self.assertKept(dst)
        finally:
            subprocess.run(["umount", mnt], check=True)

    def test_small_stack(self):
        with open(PROGRAM, "rb") as f:
            if b"AddressSanitizer" in f.read():
                self.skipTest("the sanitizers need a larger stack")
        deepest = "0" * 255 + "".join(leaf(b) for b in range(256)) + "0" * 255 + "0" * 254 + "1"
        small = lambda: resource.setrlimit(resource.RLIMIT_STACK, (32 * 1024, 32 * 1024))
        cases = (("c", self.path("data"), self.packed), ("d", self.path("data.vz"), self.DATA),
                 ("d", self.write("deep", header(2) + pack(deepest)), b"\x00\x01"))
        for mode, src, expected in cases:
            with self.subTest(mode=mode, src=src):
                code, out = self.vesp(mode, src, self.path("small"), preexec_fn=small, env={})
                self.assertEqual(code, 0, out)
                self.assertEqual(self.read(self.path("small")), expected)


@contextlib.contextmanager
def kernel_setting(name, value):
    """Sets /proc/sys/fs/`name` for the block and restores it whatever happens; yields False where it cannot."""
    path = f"/proc/sys/fs/{name}"
    try:
        with open(path) as f:
            old = f.read().strip()
        with open(path, "w") as f:
            f.write(str(value))
    except OSError:
        yield False
        return
    try:
        yield True
    finally:
        with open(path, "w") as f:
            f.write(old)


def as_user(uid):
    return lambda: (os.setgid(uid), os.setuid(uid))


class SharedMachine(CliCase):
    """The output is reached as opening its path would reach it, by the same user, whatever the kernel's
    rules for links and files in sticky world-writable directories."""

    NOBODY, OTHER = 65534, 65533

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root to act as several users")
        for d in (self._tmp.name, self.dir):
            os.chmod(d, 0o755)
        self.data = b"restored data\n" * 5000
        self.plain = self.write("plain", self.data)
        self.packed = self.write("packed", self.compress(self.data, "first"))
        os.chmod(self.packed, 0o644)
        self.shared, self.private = self.path("shared"), self.path("private")
        os.mkdir(self.private)
        os.mkdir(self.shared)
        os.chmod(self.shared, 0o1777)

    def keep(self, path, owner=0, mode=0o644):
        with open(path, "wb") as f:
            f.write(b"keep me")
        os.chown(path, owner, owner)
        os.chmod(path, mode)
        return path

    def plant(self, name, target, owner):
        link = os.path.join(self.shared, name)
        os.symlink(target, link)
        os.lchown(link, owner, owner)
        return link

    @staticmethod
    def kernel_opens(path, uid):
        """Whether open(path, O_WRONLY | O_CREAT) by `uid` succeeds (on a file that exists: it changes nothing)."""
        pid = os.fork()
        if pid == 0:
            try:
                as_user(uid)()
                os.open(path, os.O_WRONLY | os.O_CREAT)
                os._exit(0)
            except BaseException:
                os._exit(1)
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

    def scenarios(self):
        """(name, uid, mode, input, output path, files that a refused run must leave as they were)."""
        outside = self.keep(os.path.join(self.private, "config"))
        theirs = self.keep(os.path.join(self.shared, "theirs"), owner=self.NOBODY, mode=0o666)
        third = self.keep(os.path.join(self.shared, "third"), owner=self.OTHER, mode=0o666)
        return [
            ("link planted to a file elsewhere", 0, "d", self.packed,
             self.plant("out.vsp", outside, self.NOBODY), [outside]),
            ("link planted to the input", 0, "c", self.plain, self.plant("data.vsp", self.plain, self.NOBODY),
             [self.plain]),
            ("another user's file", 0, "d", self.packed, theirs, [theirs]),
            ("a third user's file, as another user", self.NOBODY, "d", self.packed, third, [third]),
        ]

    def test_output_reached_as_a_plain_open_would(self):
        settings = list(itertools.product((0, 1), (0, 2)))
        for symlinks, regular in settings:
            with kernel_setting("protected_symlinks", symlinks) as s, kernel_setting("protected_regular", regular) as r:
                if not (s and r) and (symlinks, regular) != settings[0]:
                    continue  # the settings cannot be changed: check the machine's own once
                for name, uid, mode, src, dst, guarded in self.scenarios():
                    with self.subTest(name, protected_symlinks=symlinks, protected_regular=regular):
                        before = [(self.read(f), os.stat(f)) for f in guarded]
                        allowed = self.kernel_opens(dst, uid)
                        code, out = self.vesp(mode, src, dst, preexec_fn=as_user(uid) if uid else None)
                        reaches_input = allowed and os.path.samefile(dst, src)
                        if allowed and not reaches_input:
                            self.assertEqual(code, 0, out)
                            self.assertEqual(self.read(dst), self.data if mode == "d" else self.read(self.path("first.vz")))
                        else:
                            self.assertEqual(code, 1, out)
                            self.assertIn(SAME_FILE.encode() if reaches_input else b" arquivo de saida: ", out)
                            self.assertEqual([(self.read(f), os.stat(f)) for f in guarded], before)
                        self.assertEqual(leftovers(self.shared) + leftovers(self.private), [])
                for d in (self.shared, self.private):
                    for f in os.listdir(d):
                        os.remove(os.path.join(d, f))

    def acl(self, path):
        return subprocess.run(["getfacl", "-cp", path], capture_output=True, check=True).stdout

    def test_attributes_and_acls(self):
        if not shutil.which("setfacl"):
            self.skipTest("needs setfacl and getfacl (package acl)")
        # A replaced file keeps its extended attributes and ACL entries, where
        # the platform layer can copy them (POSIX has no call for it).
        if not os.environ.get("VESPADORA_POSIX"):
            dst = self.keep(os.path.join(self.private, "out"))
            os.setxattr(dst, "user.note", b"kept")
            subprocess.run(["setfacl", "-m", f"u:{self.NOBODY}:rw,g:{self.OTHER}:r", dst], check=True)
            acl = self.acl(dst)
            self.assertEqual(self.vesp("d", self.packed, dst)[0], 0)
            self.assertEqual((self.read(dst), os.getxattr(dst, "user.note"), self.acl(dst)), (self.data, b"kept", acl))
        # A new file gets what a plain open gives it: the directory's default ACL, under the umask.
        subprocess.run(["setfacl", "-d", "-m", f"u:{self.NOBODY}:rwx", self.private], check=True)
        for umask in (0o022, 0o077):
            with self.subTest(umask=oct(umask)):
                plain = os.path.join(self.private, "plain")
                old = os.umask(umask)
                open(plain, "wb").close()
                os.umask(old)
                new = os.path.join(self.private, "new")
                code, _ = self.vesp("d", self.packed, new, preexec_fn=lambda: os.umask(umask))
                self.assertEqual((code, self.acl(new), stat.S_IMODE(os.stat(new).st_mode)),
                                 (0, self.acl(plain), stat.S_IMODE(os.stat(plain).st_mode)))
                os.remove(new)
                os.remove(plain)

    def test_mount_point_written_in_place(self):
        dst = self.keep(os.path.join(self.private, "mounted"))
        source = self.keep(os.path.join(self.private, "source"))
        if subprocess.run(["mount", "--bind", source, dst], capture_output=True).returncode != 0:
            self.skipTest("needs to make a bind mount")
        try:
            self.assertEqual(self.vesp("d", self.packed, dst)[0], 0)
            self.assertEqual((self.read(dst), self.read(source)), (self.data, self.data))
            code, _ = self.vesp("d", self.write("cut", self.read(self.packed)[:-1]), dst)
            self.assertEqual((code, self.read(source)), (1, self.data))
            self.assertEqual(leftovers(self.private), [])
        finally:
            subprocess.run(["umount", dst], check=True)


class EmulatedPortableCpu(CliCase):
    """The program on a CPU without AVX-512 or BMI2 writes and restores the same bytes."""

    def test_same_bytes_as_this_cpu(self):
        qemu = shutil.which("qemu-x86_64")
        with open(PROGRAM, "rb") as f:
            sanitized = b"AddressSanitizer" in f.read()
        if not qemu or sanitized or platform.machine() != "x86_64" or EMULATOR:
            self.skipTest("needs qemu-x86_64 and a build for this x86_64 machine without sanitizers")
        rng = random.Random(8)
        cases = {  # the pair coder, the byte map, short codes and 33-bit ones
            "text over 1 MiB": TEXT,
            "random": random_bytes(8, 300_000),
            "two symbols": bytes(rng.choice(b"xy") for _ in range(70_000)),
            "fibonacci": fibonacci_data()[0][:2_000_000],
        }
        for name, data in cases.items():
            with self.subTest(name):
                packed = self.compress(data)
                src, dst = self.path("plain"), self.path("emulated.vz")
                run = [qemu, "-cpu", "qemu64", PROGRAM]
                self.assertEqual(subprocess.run(run + ["c", src, dst], capture_output=True).returncode, 0)
                self.assertEqual(self.read(dst), packed)
                back = self.path("emulated.back")
                self.assertEqual(subprocess.run(run + ["d", dst, back], capture_output=True).returncode, 0)
                self.assertEqual(self.read(back), data)


def sparse(path, size, writes=()):
    """A file of `size` zero bytes but for `writes`, (offset, bytes) pairs; the zeros take no room on disk."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in writes:
            f.seek(offset)
            f.write(data)
    return path


def complete_tree(first=0, leaves=256):
    """Pre-order bits of the tree whose `leaves` values from `first` all have codes of the same length."""
    if leaves == 1:
        return leaf(first)
    half = leaves // 2
    return "0" + complete_tree(first, half) + complete_tree(first + half, half)


class HugeInput(CliCase):
    """Files of 2 GiB and more, whose sizes and offsets take 64 bits on 32-bit systems too. They are
    sparse, so that they take no room, and a file-size limit keeps any copy of them from being made."""

    NO_COPY = staticmethod(file_size_limit(1 << 20))

    def test_four_gigabytes_refused_before_output(self):
        src, dst = sparse(self.path("huge"), 2 ** 32), self.path("out")
        code, out = self.vesp("c", src, dst, preexec_fn=self.NO_COPY)
        self.assertEqual(code, 1, out)
        self.assertTrue(out.startswith("1/4 Calculando frequências...".encode()), out)
        self.assertIn("Erro: arquivo de entrada grande demais".encode(), out)
        self.assertTrue(out.endswith(f"{src}\n".encode()), out)
        self.assertFalse(os.path.lexists(dst))

    def test_past_two_gigabytes_checked_before_output(self):
        # 4294967295 codes of 8 bits need 4 GiB: the input is refused from its
        # size before the output, which cannot be made, is tried.
        src = sparse(self.path("big"), 2 ** 31 + 4096, [(0, header(2 ** 32 - 1) + pack(complete_tree()))])
        dst = self.path("nowhere/out")
        code, out = self.vesp("d", src, dst, preexec_fn=self.NO_COPY)
        self.assertEqual((code, out), (1, ("O arquivo compactado tem 4294967295 bytes\n" + STAGES_D[:STAGES_D.rindex("OK")]
                                           + CORRUPT.format(src)).encode()))
        for mode in ("c", "d"):
            with self.subTest(mode=mode):
                code, out = self.vesp(mode, src, src, preexec_fn=self.NO_COPY)
                self.assertEqual(code, 1, out)
                self.assertIn(SAME_FILE.encode(), out)
        self.assertEqual(os.stat(src).st_size, 2 ** 31 + 4096)

    def run_long(self, *args):
        r = subprocess.run([*COMMAND, *args], capture_output=True, timeout=1200)
        self.assertEqual((r.returncode, r.stderr), (0, b""), r.stdout)
        return r.stdout

    def assertSameFile(self, a, b):
        self.assertEqual(subprocess.run(["cmp", a, b], capture_output=True).returncode, 0, f"{a} and {b} differ")

    @unittest.skipUnless(os.environ.get("VESPADORA_LARGE_FILES"),
                         "files of 2 to 4 GiB, a minute or more: set VESPADORA_LARGE_FILES=1")
    def test_round_trips_past_two_gigabytes(self):
        # The largest input there may be, all zeros: a lone leaf.
        src, packed, back = sparse(self.path("zeros"), 2 ** 32 - 1), self.path("zeros.vz"), self.path("back")
        self.assertEqual(self.run_long("c", src, packed),
                         (STAGES_C + "Bytes processados: 4294967295 Bytes escritos: 6 Taxa de compressão: 0.00%\n")
                         .encode())
        self.assertEqual(self.read(packed), header(2 ** 32 - 1) + pack(leaf(0)))
        self.run_long("d", packed, back)
        self.assertSameFile(src, back)
        os.remove(back)
        # A few other byte values on both sides of 2 GiB and at the end.
        size = 2 ** 31 + 2 ** 24
        src = sparse(self.path("few"), size, [(0, b"a"), (2 ** 31 - 2, b"bc"), (2 ** 31, b"db"), (size - 1, b"e")])
        self.run_long("c", src, packed)
        self.run_long("d", packed, back)
        self.assertSameFile(src, back)


class NonSeekableInput(CliCase):
    # More than one read block, and more than 1 MiB: the count goes by pairs
    # from the block where it passes 1 MiB.
    DATA = TEXT + random_bytes(7, 600_000) + b"tail" * 1000

    def expected(self):
        return self.compress(self.DATA)

    def test_fifo(self):
        fifo, dst = self.path("fifo"), self.path("out")
        os.mkfifo(fifo)

        def feed():
            with open(fifo, "wb") as f:
                f.write(self.DATA)

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        try:
            code, out = self.vesp("c", fifo, dst)
        finally:
            if writer.is_alive():  # unblock a writer the program never met
                os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            writer.join(10)
        self.assertEqual(code, 0, out)
        self.assertIn(f"Bytes processados: {len(self.DATA)} ".encode(), out)
        self.assertEqual(self.read(dst), self.expected())

    def test_standard_input_pipe(self):
        dst = self.path("out")
        code, out = self.vesp("c", "/dev/stdin", dst, input=self.DATA)
        self.assertEqual(code, 0, out)
        self.assertEqual(self.read(dst), self.expected())


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1].startswith("--emulator="):
        EMULATOR = shlex.split(sys.argv.pop(1)[len("--emulator="):])
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    COMMAND = EMULATOR + [PROGRAM]
    unittest.main(verbosity=2)
