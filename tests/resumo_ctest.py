"""Summary lines of a ctest run, one per group of tests, from its JUnit file.

Usage: python3 resumo_ctest.py JUNIT-FILE NAME=REGEX... NAME

Each test goes to the first group whose regular expression it matches
(re.search on its name), or else to the last group, which has none. Prints,
for that last group first and then for the others in order, a line "NAME<tab>VERDICT<tab>DETAIL": the verdict is "ok"
when every test of the group ran and passed or skipped itself (GTEST_SKIP, which
says why in its output), and DETAIL counts them and adds up their times, naming
those that failed, did not run or skipped themselves.
"""
import re
import sys
import xml.etree.ElementTree as ET


def duration(seconds):
    seconds = round(seconds)
    return f"{seconds // 60} min {seconds % 60:02d} s" if seconds >= 60 else f"{seconds} s"


def main(junit, *groups):
    patterns = [g.split("=", 1) for g in groups[:-1]] + [[groups[-1], None]]
    results = {name: [] for name, _ in patterns}
    for case in ET.parse(junit).getroot().iter("testcase"):
        name = case.get("name")
        group = next(g for g, regex in patterns if regex is None or re.search(regex, name))
        status = case.get("status")
        skipped = case.find("skipped")
        if status == "notrun" and skipped is not None and skipped.get("message") == "SKIP_REGULAR_EXPRESSION_MATCHED":
            status = "skipped"
        results[group].append((name, status, float(case.get("time") or 0)))
    rest = groups[-1]
    for group, tests in [(rest, results.pop(rest))] + list(results.items()):
        failed = [name for name, status, _ in tests if status == "fail"]
        not_run = [name for name, status, _ in tests if status not in ("run", "fail", "skipped")]
        skipped = [name for name, status, _ in tests if status == "skipped"]
        detail = f"{len(tests) - len(failed) - len(not_run) - len(skipped)} of {len(tests)} passed"
        if skipped:
            detail += f", skipped: {' '.join(skipped[:5])}{' ...' if len(skipped) > 5 else ''}"
        if failed:
            detail += f", failed: {' '.join(failed[:5])}{' ...' if len(failed) > 5 else ''}"
        if not_run:
            detail += f", not run: {' '.join(not_run[:5])}{' ...' if len(not_run) > 5 else ''}"
        detail += f", {duration(sum(t for _, _, t in tests))} of tests"
        verdict = "ok" if tests and not failed and not not_run else "FAILED"
        print(f"{group}\t{verdict}\t{detail}")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
