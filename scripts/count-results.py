"""Adds up the GoogleTest results of a test run and prints "N passed, N failed".

A test program that crashed before writing its results counts as one failure.
Exits 1 when anything failed.
"""
import glob
import os
import sys
import xml.etree.ElementTree as ElementTree

results, build = sys.argv[1], sys.argv[2]
passed = failed = 0
reported = set()
for path in glob.glob(os.path.join(results, "*.xml")):
    reported.add(os.path.splitext(os.path.basename(path))[0])
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.get("status") == "notrun" or case.find("skipped") is not None:
            continue
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        else:
            passed += 1

# CTest's list of failed entries names the programs that wrote no results.
last_failed = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
if os.path.exists(last_failed):
    for line in open(last_failed):
        name = line.strip().split(":", 1)[-1]
        if name and name not in reported:
            failed += 1

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
