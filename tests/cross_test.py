"""The same program built for several machines: each compresses the same inputs to the first machine's bytes and
console text, and restores the files the next machine made.

Usage: python3 cross_test.py NAME=COMMAND NAME=COMMAND...

COMMAND runs the program of that machine, through its emulator if need be (for instance
"s390x=qemu-s390x -L /usr/s390x-linux-gnu build-cross/s390x/build/vespadora").
"""
import os
import shlex
import subprocess
import sys
import tempfile
import unittest

from cli_test import TEXT, fibonacci_data, random_bytes

MACHINES = []  # (name, command)

INPUTS = {  # the pair coder, the byte map, 33-bit codes, a ratio on a decimal tie
    "text over 1 MiB": TEXT,
    "random": random_bytes(9, 300_000),
    "fibonacci": fibonacci_data()[0][:1_000_000],
    "abcd": b"abcd" * 40,
}


class CrossMachine(unittest.TestCase):
    def run_on(self, command, *args):
        r = subprocess.run([*command, *args], capture_output=True, timeout=300)
        self.assertEqual((r.returncode, r.stderr), (0, b""), f"{command} {args}: {r.stdout[-200:]!r}")
        return r.stdout

    def test_same_bytes_and_restored_by_another_machine(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, data in INPUTS.items():
                original = os.path.join(tmp, "original")
                with open(original, "wb") as f:
                    f.write(data)
                made = {}
                for machine, command in MACHINES:
                    packed = os.path.join(tmp, f"{machine}.vz")
                    console = self.run_on(command, "c", original, packed)
                    with open(packed, "rb") as f:
                        made[machine] = (f.read(), console)
                reference = MACHINES[0][0]
                for i, (machine, command) in enumerate(MACHINES):
                    with self.subTest(name, machine=machine):
                        self.assertTrue(made[machine] == made[reference], f"not the bytes of {reference}")
                        maker = MACHINES[(i + 1) % len(MACHINES)][0]
                        back = os.path.join(tmp, "back")
                        self.run_on(command, "d", os.path.join(tmp, f"{maker}.vz"), back)
                        with open(back, "rb") as f:
                            self.assertTrue(f.read() == data, f"{maker}'s file restored wrong")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    for machine in sys.argv[1:]:
        name, command = machine.split("=", 1)
        MACHINES.append((name, shlex.split(command)))
    unittest.main(argv=sys.argv[:1], verbosity=2)
