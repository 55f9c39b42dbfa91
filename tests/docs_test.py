"""Documentation tests: every example of README.md, FORMAT.md and vespadora.1 is
run with the built program and must print exactly what the document shows.

Usage: python3 docs_test.py PATH-TO-VESPADORA [REPOSITORY-ROOT]

Examples are ```console blocks (Markdown) and .EX/.EE blocks (manual page): a
line beginning with "$ " is a command, run by bash in a scratch directory (one
per document, with `vespadora` on PATH), and the lines after it are its exact
output, standard error included. FORMAT.md's ```bits blocks are the worked
example, checked bit by bit; README.md's message table is checked against what
the program prints in each situation.
"""
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

PROGRAM = ROOT = None
ROFF_ESCAPES = {"\\-": "-", "\\e": "\\", "\\&": "", "\\('a": "á", "\\('o": "ó", "\\(~a": "ã", "\\(^e": "ê",
                "\\fB": "", "\\fI": "", "\\fR": "", "\\fP": "", "\\(dq": '"', "\\~": " "}


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def unroff(text):
    return re.sub("|".join(re.escape(k) for k in ROFF_ESCAPES), lambda m: ROFF_ESCAPES[m.group(0)], text)


def fenced(text, lang):
    """The bodies of the ```lang blocks of a Markdown text, indentation removed."""
    blocks = []
    for m in re.finditer(r"^( *)```" + lang + r"\n(.*?)^\1```$", text, re.M | re.S):
        blocks.append("".join(line[len(m.group(1)):] for line in m.group(2).splitlines(True)))
    return blocks


def run(argv, cwd, **kw):
    return subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


class Docs(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vespadora-docs-")
        self.addCleanup(shutil.rmtree, self.dir)
        os.mkdir(os.path.join(self.dir, "bin"))
        os.symlink(PROGRAM, os.path.join(self.dir, "bin", "vespadora"))
        self.env = dict(os.environ, LC_ALL="C", PATH=os.path.join(self.dir, "bin") + os.pathsep + os.environ["PATH"])
        self.work = os.path.join(self.dir, "work")
        os.mkdir(self.work)

    def check_transcripts(self, blocks):
        self.assertTrue(blocks, "no examples found")
        for block in blocks:
            self.assertTrue(block.startswith("$ "), block)
            for part in re.split(r"^\$ ", block, flags=re.M)[1:]:
                command, _, expected = part.partition("\n")
                out = run(["bash", "-c", command], self.work, env=self.env).stdout.decode()
                self.assertEqual(out, expected, "$ " + command)

    def test_readme_examples(self):
        self.check_transcripts(fenced(read("README.md"), "console"))

    def test_format_examples(self):
        self.check_transcripts(fenced(read("FORMAT.md"), "console"))

    def test_manual_examples(self):
        self.check_transcripts([unroff(b) for b in re.findall(r"^\.EX\n(.*?)^\.EE$", read("vespadora.1"), re.M | re.S)])

    def test_format_bits(self):
        # The ```bits blocks: tree, codes, then the same stream cut into bytes.
        # A line's leading tokens made of 0 and 1 are bits; "0xNN" is its byte.
        streams = []
        for block in fenced(read("FORMAT.md"), "bits"):
            bits = ""
            for line in block.splitlines():
                tokens = line.split()
                while tokens and re.fullmatch("[01]+", tokens[0]):
                    bits += tokens.pop(0)
                if tokens and tokens[0].startswith("0x"):
                    self.assertEqual(int(tokens[0], 16), int(line.split()[0], 2), line)
            streams.append(bits)
        tree, codes, cut = streams
        self.assertEqual(tree + codes, cut)
        with open(os.path.join(self.work, "in"), "wb") as f:
            f.write(b"abracadabra")
        run([PROGRAM, "c", "in", "out"], self.work, check=True)
        with open(os.path.join(self.work, "out"), "rb") as f:
            data = f.read()
        self.assertEqual(len(cut) % 8, 0)
        self.assertEqual(bytes(int(cut[i:i + 8], 2) for i in range(0, len(cut), 8)), data[4:])

    def test_message_table(self):
        rows = re.findall(r"^\| `([^`]+)` \| ([-cd]) \| [^|]+ \| (\d) \|$", read("README.md"), re.M)
        w = self.work
        for name, content in (("a.txt", b"abracadabra"), ("curto.vsp", b"\x0b\x00\x00")):
            with open(os.path.join(w, name), "wb") as f:
                f.write(content)
        run([PROGRAM, "c", "a.txt", "a.vsp"], w, check=True)
        os.mkdir(os.path.join(w, "pasta"))
        with open(os.path.join(w, "grande"), "wb") as f:
            f.truncate(1 << 32)  # sparse: refused before it is read
        no_files = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))  # no descriptor for tmpfile()
        situations = {  # (message, mode) -> (arguments, path in the message, extra subprocess arguments)
            ("Para usar:", "-"): (["x", "a.txt", "o"], "", {}),
            ("Erro ao abrir arquivo de entrada: <arquivo>", "c"): (["c", "nada", "o"], "nada", {}),
            ("Erro ao abrir arquivo de entrada <arquivo>", "d"): (["d", "nada", "o"], "nada", {}),
            ("Erro: entrada e saida são o mesmo arquivo: <arquivo>", "c"): (["c", "a.txt", "./a.txt"], "./a.txt", {}),
            ("Erro: entrada e saida são o mesmo arquivo: <arquivo>", "d"): (["d", "a.vsp", "a.vsp"], "a.vsp", {}),
            ("Erro: arquivo de entrada grande demais (máximo de 4294967295 bytes): <arquivo>", "c"):
                (["c", "grande", "o"], "grande", {}),
            ("Erro ao criar arquivo temporário para a entrada: <arquivo>", "c"):
                (["c", "/dev/stdin", "o"], "/dev/stdin", {"input": b"abc", "preexec_fn": no_files}),
            ("Erro ao ler arquivo de entrada: <arquivo>", "c"): (["c", "pasta", "o"], "pasta", {}),
            ("Erro ao ler arquivo de entrada: <arquivo>", "d"): (["d", "pasta", "o"], "pasta", {}),
            ("Erro ao abrir arquivo de saida: <arquivo>", "c"): (["c", "a.txt", "nada/o"], "nada/o", {}),
            ("Erro ao criar arquivo de saida: <arquivo>", "d"): (["d", "a.vsp", "nada/o"], "nada/o", {}),
            ("Erro ao escrever arquivo de saida: <arquivo>", "c"): (["c", "a.txt", "/dev/full"], "/dev/full", {}),
            ("Erro ao escrever arquivo de saida: <arquivo>", "d"): (["d", "a.vsp", "/dev/full"], "/dev/full", {}),
            # Its counts are read twice and have changed in between.
            ("Erro: arquivo de entrada mudou durante a compressão: <arquivo>", "c"):
                (["c", "/proc/self/io", "o"], "/proc/self/io", {}),
            ("Erro: arquivo compactado corrompido ou truncado: <arquivo>", "d"): (["d", "curto.vsp", "o"], "curto.vsp", {}),
            # Cannot be provoked portably: the text must be in the program.
            ("Erro: memória insuficiente", "c"): None,
            ("Erro: memória insuficiente", "d"): None,
        }
        self.assertEqual(sorted((m, mode) for m, mode, _ in rows), sorted(situations))
        # The manual's text with macro names and quotes dropped, spaces collapsed.
        manual = " ".join(re.sub(r'^\.[A-Z]+ |"', "", unroff(read("vespadora.1")), flags=re.M).split())
        with open(PROGRAM, "rb") as f:
            binary = f.read()
        for message, mode, status in rows:
            self.assertTrue(message.replace("<arquivo>", "arquivo") in manual, "not in vespadora.1: " + message)
            situation = situations[(message, mode)]
            if situation is None:
                self.assertIn(message.encode(), binary)
                continue
            args, path, extra = situation
            result = run([PROGRAM] + args, w, **extra)
            lines = result.stdout.decode().splitlines()
            expected = message.replace("<arquivo>", path)
            self.assertTrue(any(line.endswith(expected) for line in lines), (args, lines))
            self.assertEqual(result.returncode, int(status), args)
            self.assertFalse(os.path.lexists(os.path.join(w, "o")), args)

    @unittest.skipUnless(shutil.which("groff"), "groff is not installed")
    def test_manual_renders_without_warnings(self):
        result = run(["groff", "-man", "-Tutf8", "-ww", "-z", os.path.join(ROOT, "vespadora.1")], self.dir)
        self.assertEqual((result.returncode, result.stdout), (0, b""))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv[1])
    ROOT = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), ".."))
    unittest.main(argv=sys.argv[:1])
