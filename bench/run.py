#!/usr/bin/env python3
"""End-to-end benchmark of the vespadora binary; called by bench/run.sh.

    python3 bench/run.py path/to/vespadora

Builds a corpus of six 100 MB files, times vespadora c/d, pigz -H c/d and cat
on each (best wall time of N runs), checks both round trips, and prints a
Markdown report on stdout. Progress goes to stderr. Standard library only.
"""
import datetime
import glob
import hashlib
import os
import platform
import random
import shutil
import struct
import subprocess
import sys
import time

SIZE = 100_000_000  # bytes per corpus file; MB below always means 10^6 bytes
CHUNK = 1 << 20
ALL_FILES = ("headers", "programs", "skewed", "random", "messages", "cyrillic")
RUNS = int(os.environ.get("VESPADORA_BENCH_RUNS", "3"))
WARMUP = int(os.environ.get("VESPADORA_BENCH_WARMUP", "1"))
SCRATCH = os.environ.get("VESPADORA_BENCH_DIR", "/tmp/vespadora-bench")
KEEP = os.environ.get("VESPADORA_BENCH_KEEP", "") not in ("", "0")
TIME = "/usr/bin/time"
FILES = tuple(os.environ.get("VESPADORA_BENCH_FILES", " ".join(ALL_FILES)).split())
# Another build of vespadora timed in the same rounds, for before/after ratios.
REFERENCE = os.path.abspath(os.environ["VESPADORA_BENCH_REFERENCE"]) if os.environ.get(
    "VESPADORA_BENCH_REFERENCE") else ""


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def die(msg):
    print(f"\nBENCHMARK ABORTED: {msg}", file=sys.stderr, flush=True)
    sys.exit(1)


# ---------------------------------------------------------------- corpus


def write_from_paths(out, paths):
    """Concatenates `paths` into `out` up to SIZE bytes, repeating the list."""
    if not paths:
        die("no input files for the corpus")
    written = 0
    while written < SIZE:
        before = written
        for path in paths:
            try:
                with open(path, "rb") as f:
                    while written < SIZE:
                        block = f.read(min(CHUNK, SIZE - written))
                        if not block:
                            break
                        out.write(block)
                        written += len(block)
            except OSError:
                continue
            if written >= SIZE:
                return
        if written == before:
            die("the corpus input files are all empty or unreadable")


def regular_files_under(top, suffix=None):
    found = []
    for dirpath, dirnames, filenames in os.walk(top):
        dirnames.sort()
        for name in filenames:
            if suffix and not name.endswith(suffix):
                continue
            path = os.path.join(dirpath, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append(path)
    return sorted(found)


def gen_headers(out):
    # C headers (*.h) under /usr/include, sorted by path.
    write_from_paths(out, regular_files_under("/usr/include", ".h"))


def gen_programs(out):
    # Regular files directly in /usr/bin (no symlinks), sorted by path.
    paths = []
    for entry in os.scandir("/usr/bin"):
        if entry.is_file(follow_symlinks=False):
            paths.append(entry.path)
    write_from_paths(out, sorted(paths))


def gen_skewed(out):
    # Byte values 0..15 with p(k) = 2^-(k+1) for k < 15 and p(15) = 2^-15
    # (a geometric distribution with ratio 1/2, tail folded into 15).
    # k = number of trailing one bits of a uniform random byte, capped at 8;
    # where it hits 8, a second byte supplies 8 + min(trailing ones, 7).
    def trailing_ones(b):
        n = 0
        while b & 1:
            n += 1
            b >>= 1
        return n

    first = bytes(min(trailing_ones(b), 8) for b in range(256))
    second = bytes(min(trailing_ones(b), 7) for b in range(256))
    is_eight = bytes(0xFF if v == 8 else 0 for v in range(256))
    rng = random.Random(0x5EED_0001)
    left = SIZE
    while left:
        n = min(CHUNK, left)
        a = rng.randbytes(n).translate(first)
        b = rng.randbytes(n).translate(second)
        mask = a.translate(is_eight)
        # Byte-wise a + (b & mask) done on big integers: no carries, since
        # where mask is set a is 8 and b is at most 7.
        value = int.from_bytes(a, "little") + (
            int.from_bytes(b, "little") & int.from_bytes(mask, "little"))
        out.write(value.to_bytes(n, "little"))
        left -= n


def gen_random(out):
    rng = random.Random(0x5EED_0002)
    left = SIZE
    while left:
        n = min(CHUNK, left)
        out.write(rng.randbytes(n))
        left -= n


def catalog_messages(path):
    """The translated messages of a gettext catalog (a .mo file), one a line."""
    try:
        with open(path, "rb") as f:
            mo = f.read()
    except OSError:
        return b""
    if len(mo) < 20:
        return b""
    order = {0x950412DE: "<", 0xDE120495: ">"}.get(struct.unpack("<I", mo[:4])[0])
    if order is None:
        return b""
    count, _, table = struct.unpack(order + "III", mo[8:20])
    lines = []
    for i in range(count):
        if table + 8 * i + 8 > len(mo):
            break
        length, start = struct.unpack(order + "II", mo[table + 8 * i:table + 8 * i + 8])
        if length and start + length <= len(mo):
            lines.append(mo[start:start + length].replace(b"\0", b"\n") + b"\n")
    return b"".join(lines)


def write_messages(out, languages):
    """The messages of the installed catalogs of `languages`, in that order,
    repeated up to SIZE bytes (bench/kernels.cpp reads the same)."""
    text = b""
    for lang in languages:
        top = os.path.join("/usr/share/locale", lang, "LC_MESSAGES")
        if os.path.isdir(top):
            text += b"".join(catalog_messages(p) for p in regular_files_under(top, ".mo"))
    if not text:
        die("no translated messages under /usr/share/locale")
    written = 0
    while written < SIZE:
        block = text[:SIZE - written]
        out.write(block)
        written += len(block)


def gen_messages(out):
    # UTF-8 text with accents and typographic punctuation: the messages of
    # the installed programs in 25 languages written in Latin letters.
    write_messages(out, ("de", "fr", "es", "pt", "pt_BR", "it", "nl", "sv", "pl", "cs", "da", "ro", "tr",
                         "hu", "sk", "sl", "hr", "fi", "ca", "gl", "eu", "vi", "et", "lt", "lv"))


def gen_cyrillic(out):
    # The same in Russian, Belarusian and Bulgarian: letters of two bytes.
    write_messages(out, ("ru", "be", "bg"))


GENERATORS = {
    "headers": gen_headers,
    "programs": gen_programs,
    "skewed": gen_skewed,
    "random": gen_random,
    "messages": gen_messages,
    "cyrillic": gen_cyrillic,
}


def build_corpus():
    os.makedirs(SCRATCH, exist_ok=True)
    paths = {}
    for name in FILES:
        if name not in GENERATORS:
            die(f"unknown corpus file {name!r} (known: {' '.join(ALL_FILES)})")
        path = os.path.join(SCRATCH, f"{name}.bin")
        paths[name] = path
        if os.path.isfile(path) and os.path.getsize(path) == SIZE:
            log(f"corpus: reusing {path}")
            continue
        start = time.perf_counter()
        tmp = path + ".tmp"
        with open(tmp, "wb") as out:
            GENERATORS[name](out)
        if os.path.getsize(tmp) != SIZE:
            die(f"{tmp} came out with {os.path.getsize(tmp)} bytes, not {SIZE}")
        os.replace(tmp, path)
        log(f"corpus: wrote {path} in {time.perf_counter() - start:.1f} s")
    return paths


def digest_and_warm(path):
    """Reads the whole file (so it sits in the page cache) and returns a short sha256."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(CHUNK * 8):
            h.update(block)
    return h.hexdigest()[:16]


# ---------------------------------------------------------------- timing


def run_once(argv, output_path, stdout_path, log_path):
    """Runs argv once under /usr/bin/time; returns (wall seconds, peak RSS in KiB).

    The output file (`output_path`, which is `stdout_path` for commands that
    write to stdout) is removed and dirty pages are flushed before the clock
    starts, so that no command pays for truncating the previous run's output;
    opening the output is inside the timed region for every command.
    Peak RSS comes from /usr/bin/time rather than wait4(): Linux carries the
    high-water mark across exec, so a child forked from this Python process
    would report at least the interpreter's own footprint.
    """
    rss_path = log_path + ".rss"
    for p in (output_path, stdout_path, log_path, rss_path):
        if p and os.path.exists(p):
            os.remove(p)
    os.sync()
    timed = [TIME, "-f", "%M", "-o", rss_path, *argv]
    with open(log_path, "wb") as err:
        start = time.perf_counter()
        out = open(stdout_path, "wb") if stdout_path else err
        try:
            status = subprocess.run(timed, stdin=subprocess.DEVNULL, stdout=out, stderr=err).returncode
            elapsed = time.perf_counter() - start
        finally:
            if out is not err:
                out.close()
    if status != 0:
        with open(log_path, "rb") as f:
            tail = f.read()[-2000:].decode(errors="replace")
        die(f"{' '.join(argv)} exited with status {status}\n{tail}")
    try:
        with open(rss_path) as f:
            kib = int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        die(f"could not read the peak RSS of {' '.join(argv)} from {rss_path}")
    return elapsed, kib


def same_file(a, b):
    return subprocess.run(["cmp", "--silent", a, b]).returncode == 0


def bench_file(vespadora, name, src):
    vsp, out = src + ".vsp", src + ".out"
    gz, gzout, copy = src + ".gz", src + ".gz.out", src + ".copy"
    logs = lambda tag: os.path.join(SCRATCH, f"{name}.{tag}.log")
    commands = [
        # (tag, argv, output file, whether argv writes it to stdout)
        ("vsp_c", [vespadora, "c", src, vsp], vsp, False),
        ("vsp_d", [vespadora, "d", vsp, out], out, False),
        ("pigz_c", ["pigz", "-H", "-p", "1", "-c", src], gz, True),
        ("pigz_d", ["pigz", "-d", "-p", "1", "-c", gz], gzout, True),
        ("cat", ["cat", src], copy, True),
    ]
    ref_vsp, ref_out = src + ".ref.vsp", src + ".ref.out"
    if REFERENCE:
        commands += [
            ("ref_c", [REFERENCE, "c", src, ref_vsp], ref_vsp, False),
            ("ref_d", [REFERENCE, "d", ref_vsp, ref_out], ref_out, False),
        ]
    best = {tag: float("inf") for tag, *_ in commands}
    rss = {tag: 0 for tag, *_ in commands}
    # Rounds interleave the commands, so slow drift of the machine hits all
    # alike. Warm-up rounds are untimed: the first writes of a fresh output
    # run measurably slower on this kind of VM.
    for r in range(-WARMUP, RUNS):
        label = f"warm-up {r + WARMUP + 1}/{WARMUP}" if r < 0 else f"run {r + 1}/{RUNS}"
        for tag, argv, output_path, to_stdout in commands:
            t, kib = run_once(argv, output_path, output_path if to_stdout else None, logs(tag))
            if r >= 0:
                best[tag] = min(best[tag], t)
                rss[tag] = max(rss[tag], kib)
            log(f"  {name:9} {label:11} {tag:7} {t:8.3f} s  {SIZE / 1e6 / t:8.1f} MB/s  "
                f"peak RSS {kib / 1024:7.1f} MiB")

    if REFERENCE and not (same_file(src, ref_out) and same_file(vsp, ref_vsp)):
        die(f"the reference build's round trip or compressed bytes differ: {ref_out}, {ref_vsp}")
    if not same_file(src, out):
        die(f"vespadora round trip FAILED: {out} differs from {src}")
    if not same_file(src, gzout):
        die(f"pigz round trip FAILED: {gzout} differs from {src}")
    if not same_file(src, copy):
        die(f"cat copy differs: {copy} vs {src}")
    log(f"  {name:9} round trips OK (vespadora, pigz)")

    result = {
        "best": best,
        "rss": rss,
        "vsp_size": os.path.getsize(vsp),
        "gz_size": os.path.getsize(gz),
    }
    for path in (vsp, out, gz, gzout, copy) + ((ref_vsp, ref_out) if REFERENCE else ()):
        os.remove(path)
    return result


# ---------------------------------------------------------------- report


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def mem_total_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 1024 / 1024
    except OSError:
        pass
    return float("nan")


def tool_version(argv):
    try:
        r = subprocess.run(argv, capture_output=True, text=True)
        return (r.stdout + r.stderr).strip().splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def git_revision():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        r = subprocess.run(["git", "-C", root, "describe", "--always", "--dirty"],
                           capture_output=True, text=True)
        return r.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        print("usage: python3 bench/run.py path/to/vespadora", file=sys.stderr)
        return 2
    vespadora = os.path.abspath(sys.argv[1])
    if not os.access(vespadora, os.X_OK):
        die(f"{vespadora} is not executable")
    if REFERENCE and not os.access(REFERENCE, os.X_OK):
        die(f"{REFERENCE} (VESPADORA_BENCH_REFERENCE) is not executable")
    if RUNS < 1 or WARMUP < 0:
        die("VESPADORA_BENCH_RUNS must be at least 1 and VESPADORA_BENCH_WARMUP at least 0")
    for tool in ("pigz", "cat", "cmp"):
        if shutil.which(tool) is None:
            die(f"{tool} not found (bench/run.sh installs pigz)")
    if not os.access(TIME, os.X_OK):
        die(f"{TIME} not found (bench/run.sh installs the time package)")

    wall_start = time.perf_counter()
    load_start = os.getloadavg()[0]
    if load_start >= 1.0:
        log(f"warning: load average is {load_start:.2f}: other work on this machine will skew the timings")
    log(f"== corpus in {SCRATCH}")
    paths = build_corpus()
    digests = {name: digest_and_warm(path) for name, path in paths.items()}

    results = {}
    for name, path in paths.items():
        log(f"== {name}.bin")
        results[name] = bench_file(vespadora, name, path)
    total = time.perf_counter() - wall_start
    load_end = os.getloadavg()[0]
    if not KEEP:  # only what this script made, then the dir if that leaves it empty
        for name, path in paths.items():
            os.remove(path)
            for log_path in glob.glob(os.path.join(SCRATCH, f"{name}.*.log*")):
                os.remove(log_path)
        try:
            os.rmdir(SCRATCH)
        except OSError:
            pass

    mbps = lambda tag, r: SIZE / 1e6 / r["best"][tag]
    ncpu = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print("## vespadora end-to-end benchmark")
    print()
    print(f"- date: {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}")
    print(f"- machine: {cpu_model()}, nproc {ncpu}, {mem_total_gib():.1f} GiB RAM, "
          f"Linux {platform.release()}; "
          f"1-min load average {load_start:.2f} at start, {load_end:.2f} at end "
          "(above ~0.1 means other work competed for the cores)")
    print(f"- vespadora: `{vespadora}` (work tree at {git_revision()})")
    print(f"- pigz: {tool_version(['pigz', '--version'])}, run as `pigz -H -p 1` "
          "(Huffman-only deflate, one thread) and `pigz -d -p 1`")
    print(f"- timing: best wall time of {RUNS} run(s) per command after {WARMUP} untimed "
          "warm-up round(s), runs interleaved; every file is 100,000,000 bytes")
    print("- caches: nothing is dropped; the inputs are read beforehand and stay in the page cache "
          "(warm-cache numbers). Outputs go to fresh files in the same scratch dir; "
          "`sync` runs before each timed run, outside the clock")
    print("- MB = 10^6 bytes; MB/s = original file size / wall time, for compression and "
          "decompression alike; ratio = compressed size / original size; "
          "`x / y` columns divide MB/s (above 1 = vespadora faster)")
    print("- corpus: " + ", ".join(f"`{n}.bin` sha256 {d}…" for n, d in digests.items()))
    print()

    rows = []
    for name, r in results.items():
        rows.append([
            f"{name}.bin",
            f"{SIZE / 1e6:.0f}",
            f"{r['vsp_size'] / SIZE:.3f}",
            f"{r['gz_size'] / SIZE:.3f}",
            f"{mbps('vsp_c', r):.1f}",
            f"{mbps('vsp_d', r):.1f}",
            f"{mbps('pigz_c', r):.1f}",
            f"{mbps('pigz_d', r):.1f}",
            f"{mbps('cat', r):.0f}",
            f"{mbps('vsp_c', r) / mbps('pigz_c', r):.2f}",
            f"{mbps('vsp_d', r) / mbps('pigz_d', r):.2f}",
            f"{mbps('vsp_c', r) / mbps('cat', r):.3f}",
            f"{mbps('vsp_d', r) / mbps('cat', r):.3f}",
        ])
    print(table(["file", "MB", "vespadora ratio", "pigz -H ratio",
                 "vespadora c MB/s", "vespadora d MB/s", "pigz c MB/s", "pigz d MB/s", "cat MB/s",
                 "vespadora c / pigz c", "vespadora d / pigz d",
                 "vespadora c / cat", "vespadora d / cat"], rows))
    print()
    if REFERENCE:
        print(f"Against the reference build `{REFERENCE}`, timed in the same rounds "
              "(above 1 = this build faster; the compressed bytes are the same):")
        print()
        rows = [[f"{name}.bin", f"{mbps('ref_c', r):.1f}", f"{mbps('ref_d', r):.1f}",
                 f"{mbps('vsp_c', r) / mbps('ref_c', r):.3f}", f"{mbps('vsp_d', r) / mbps('ref_d', r):.3f}",
                 f"{mbps('ref_c', r) / mbps('pigz_c', r):.2f}", f"{mbps('ref_d', r) / mbps('pigz_d', r):.2f}"]
                for name, r in results.items()]
        print(table(["file", "reference c MB/s", "reference d MB/s", "c / reference c", "d / reference d",
                     "reference c / pigz c", "reference d / pigz d"], rows))
        print()
    print("Peak resident memory (MiB, largest over the runs):")
    print()
    rows = []
    for name, r in results.items():
        rows.append([f"{name}.bin"] + [f"{r['rss'][t] / 1024:.1f}"
                                        for t in ("vsp_c", "vsp_d", "pigz_c", "pigz_d")])
    print(table(["file", "vespadora c", "vespadora d", "pigz c", "pigz d"], rows))
    print()
    print(f"Whole run: {total:.0f} s (corpus included).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
