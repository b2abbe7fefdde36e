"""Runs the end-to-end scenarios and writes their results in GoogleTest's XML
form, so that the test script counts them with the rest.

    python3 run_e2e.py --build BUILD_DIR --results FILE.xml [NAME_FILTER]

Two machines run at a time; scenarios that press keys run alone, since the
keyboard is the X server's, shared by every prefix.
"""
import argparse
import concurrent.futures
import os
import sys
import time
import traceback
import unittest
from xml.sax.saxutils import quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def run_one(test):
    result = unittest.TestResult()
    started = time.time()
    test.run(result)
    problems = [text for _, text in result.failures + result.errors]
    return test.id(), problems, time.time() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("filter", nargs="?", default="")
    options = parser.parse_args()

    e2e.configure(options.build)
    here = os.path.dirname(os.path.abspath(__file__))
    tests = [t for t in flatten(unittest.defaultTestLoader.discover(here, pattern="test_*.py"))
             if options.filter in t.id()]
    alone = [t for t in tests if "shift" in t.id()]
    together = [t for t in tests if t not in alone]

    outcomes = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for outcome in pool.map(run_one, together):
            outcomes.append(outcome)
            print(("FAILED " if outcome[1] else "ok     ") + outcome[0], f"({outcome[2]:.1f} s)",
                  flush=True)
    for test in alone:
        outcome = run_one(test)
        outcomes.append(outcome)
        print(("FAILED " if outcome[1] else "ok     ") + outcome[0], f"({outcome[2]:.1f} s)",
              flush=True)

    failed = [o for o in outcomes if o[1]]
    for name, problems, _ in failed:
        print("\n=== " + name)
        for text in problems:
            print(text)
    with open(options.results, "w", encoding="utf-8") as xml:
        xml.write(f'<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="{len(outcomes)}"'
                  f' failures="{len(failed)}">\n<testsuite name="e2e">\n')
        for name, problems, seconds in outcomes:
            xml.write(f'<testcase name={quoteattr(name)} time="{seconds:.1f}">')
            for text in problems:
                xml.write(f"<failure message={quoteattr(text.splitlines()[-1])}/>")
            xml.write("</testcase>\n")
        xml.write("</testsuite>\n</testsuites>\n")
    print(f"\n{len(outcomes) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception:  # a broken run must still say so
        traceback.print_exc()
        sys.exit(2)
