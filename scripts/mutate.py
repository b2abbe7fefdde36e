"""Seeds faults into the program and tells which ones the test suite misses.

    scripts/mutate [--seed N] [--count N] [--tree DIR] [--results FILE] [--only ID,...] [--list]
    scripts/mutate --replay OLD_RESULTS [...]

Every place in src/ and payload/ where a fault can be seeded is listed in a
fixed order: comparisons flipped (== and !=, < and >=, ...), bounds shifted
by one (< and <=, > and >=), && and || swapped, a ! dropped, true and false
swapped, integer constants bumped by one, quoted texts altered, and
statements that are only a call deleted. `--count` of them are drawn with
the seed, so the same sources and seed give the same mutants.

Each mutant is one changed line in a copy of the tree (the tree itself is
never touched). The copy is rebuilt incrementally, first only what the fast
tests need; a mutant that does not build is "not compilable". The fast tests
run first, and everything else is built and the end-to-end tests run only
when the fast ones all pass; any failure, crash or time-out kills the
mutant, and one that passes everything "survived".

`--replay` takes the mutants of an earlier run's results instead of drawing
them, so that a change can be measured on the very mutants measured before
it: each is applied to the line that still reads as the original did (the
nearest one when the line moved), under its old number, and one whose line
no longer exists is listed as "gone" and not run.

Results go to FILE (default build/mutate/results.txt), one line a mutant;
a second run with the same file skips the mutants already there, so a long
run can be resumed.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SLOW_TESTS = "e2e"  # CTest names run only for mutants the fast tests miss
FAST_TARGETS = ["scenario_tests"]  # what the other tests need built
FAST_LIMIT = 300  # seconds for the fast tests of one mutant
SLOW_LIMIT = 1200

STRING = re.compile(r'L?"(?:[^"\\\n]|\\.)*"')
OPERATORS = [
    # (pattern, replacement, kind); patterns are matched with blanks around,
    # as the formatter writes binary operators.
    (" == ", " != ", "flip"), (" != ", " == ", "flip"),
    (" < ", " >= ", "flip"), (" >= ", " < ", "flip"),
    (" > ", " <= ", "flip"), (" <= ", " > ", "flip"),
    (" < ", " <= ", "bound"), (" <= ", " < ", "bound"),
    (" > ", " >= ", "bound"), (" >= ", " > ", "bound"),
    (" && ", " || ", "logic"), (" || ", " && ", "logic"),
]
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)(?![\w.])")
NEGATION = re.compile(r"!(?=[\w(*])")
BOOLEAN = re.compile(r"\b(true|false|TRUE|FALSE)\b")
CALL_STATEMENT = re.compile(r"^(\s*)(?!return\b|if\b|while\b|for\b|switch\b|case\b|delete\b)"
                            r"[\w:.>()\[\]*&-]*\w\(.*\);\s*$")
PURE_VIRTUAL = re.compile(r"\)\s*(const\s*)?= 0;$")
SKIPPED_LINE = re.compile(r"^\s*(#\s*(include|pragma)|static_assert|//|/?\*|namespace\b|}|template\b)")


def source_files(tree):
    found = []
    for top in ("src", "payload"):
        for root, _, files in os.walk(os.path.join(tree, top)):
            for name in files:
                if name.endswith((".cpp", ".h")):
                    found.append(os.path.relpath(os.path.join(root, name), tree))
    return sorted(found)


def code_part(line):
    """The line with string literals blanked and a trailing comment cut, so
    that operators are looked for in code only (same length as the line)."""
    masked = STRING.sub(lambda m: "\0" * len(m.group()), line)
    cut = masked.find("//")
    if cut >= 0:
        masked = masked[:cut] + "\0" * (len(masked) - cut)
    return masked


def sites_in(path, lines):
    """Every mutation of one file: (path, line number, kind, new line)."""
    sites = []
    in_block_comment = in_assertion = False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_block_comment:
            in_block_comment = "*/" not in stripped
            continue
        # A compile-time check only stops the build: no fault to seed there.
        if in_assertion or stripped.startswith("static_assert"):
            in_assertion = not stripped.endswith(";")
            continue
        if stripped.startswith("/*") and "*/" not in stripped:
            in_block_comment = True
            continue
        if not stripped or SKIPPED_LINE.match(line):
            continue
        code = code_part(line)

        def add(kind, start, end, text):
            sites.append((path, number, kind, line[:start] + text + line[end:]))

        for pattern, replacement, kind in OPERATORS:
            for match in re.finditer(re.escape(pattern), code):
                add(kind, match.start(), match.end(), replacement)
        for match in NEGATION.finditer(code):
            if match.start() == 0 or code[match.start() - 1] != "!":
                add("negation", match.start(), match.end(), "")
        for match in BOOLEAN.finditer(code):
            word = match.group()
            swapped = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}[word]
            add("boolean", match.start(), match.end(), swapped)
        if not stripped.startswith("#include"):
            for match in NUMBER.finditer(code):
                text = match.group()
                if PURE_VIRTUAL.search(code[:match.end() + 1]):
                    continue
                value = int(text, 16) if text.lower().startswith("0x") else int(text)
                bumped = hex(value + 1) if text.lower().startswith("0x") else str(value + 1)
                add("constant", match.start(), match.end(), bumped)
        for match in STRING.finditer(line):
            literal = match.group()
            body_start = literal.index('"') + 1
            if len(literal) - body_start > 1:  # not an empty text
                add("text", match.start() + body_start, match.start() + body_start + 1, "~")
        if CALL_STATEMENT.match(code) and "=" not in code.replace("==", "").replace("!=", ""):
            indent = CALL_STATEMENT.match(code).group(1)
            sites.append((path, number, "call", indent + ";\n"))
    return sites


def all_sites(tree):
    sites = []
    for path in source_files(tree):
        with open(os.path.join(tree, path), encoding="utf-8") as source:
            sites.extend(sites_in(path, source.readlines()))
    return sites


def draw(tree, seed, count):
    sites = all_sites(tree)
    chosen = random.Random(seed).sample(range(len(sites)), min(count, len(sites)))
    return [(index + 1, sites[site]) for index, site in enumerate(chosen)], len(sites)


RESULT = re.compile(r"^(\d+) \w+ \d+s (\S+):(\d+) (\w+): (.*)  =>  (.*)$")


def replayed(tree, old_results):
    """The mutants of an earlier run's results, found again in this tree:
    (mutants as draw() gives them, descriptions of those whose line is gone)."""
    mutants, gone = [], []
    for entry in open(old_results, encoding="utf-8"):
        match = RESULT.match(entry.rstrip("\n"))
        if not match:
            continue
        number, path, old_line, kind, original, new = match.groups()
        source = os.path.join(tree, path)
        lines = open(source, encoding="utf-8").readlines() if os.path.exists(source) else []
        same = [n for n, line in enumerate(lines, 1) if line.strip() == original]
        if not same:
            gone.append(entry.split(" ", 3)[3].rstrip("\n"))
            continue
        line = min(same, key=lambda n: abs(n - int(old_line)))
        indent = lines[line - 1][:len(lines[line - 1]) - len(lines[line - 1].lstrip())]
        mutants.append((int(number), (path, line, kind, indent + new + "\n")))
    return sorted(mutants), gone


def run(command, limit, **options):
    """Runs a command; its exit code, or None when it ran out of time."""
    try:
        return subprocess.run(command, timeout=limit, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, **options).returncode
    except subprocess.TimeoutExpired:
        return None


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")


def fresh_prefix(prefix):
    """A prefix for the tests, under the display this run has; a crashing
    program ends at once instead of waiting in Wine's debugger."""
    shutil.rmtree(prefix, ignore_errors=True)
    env = wine_env(prefix)
    run([WINE, "wineboot", "-i"], 300, env=env)
    run([WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
        60, env=env)
    run([WINE, "reg", "delete", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
         "/v", "Debugger", "/f"], 60, env=env)
    run([WINESERVER, "-k"], 60, env=env)
    run([WINESERVER, "-w"], 60, env=env)
    start_wine(env)


def start_wine(env):
    """One wineserver for the run, with the prefix's own processes started
    now, away from the pipes CTest waits on."""
    subprocess.Popen([WINESERVER, "-p"], env=env)
    run([WINE, "cmd.exe", "/c", "exit"], 120, env=env)


def end_wine(prefix):
    """Ends whatever a failed or hung test left running in the prefix."""
    env = wine_env(prefix)
    run([WINESERVER, "-k"], 60, env=env)
    start_wine(env)


def test(build, prefix):
    """'killed', 'survived' or 'uncompilable'. Only what the fast tests need is
    built for them; everything else (the packages among it) only for the slow
    ones, when the fast ones all pass."""
    for targets, selection, limit in ((FAST_TARGETS, ["-E", SLOW_TESTS], FAST_LIMIT),
                                      ([], ["-R", SLOW_TESTS], SLOW_LIMIT)):
        targets = ["--target", *targets] if targets else []
        if run(["cmake", "--build", build, "-j2", *targets], 1800) != 0:
            return "uncompilable"
        code = run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--no-tests=ignore"]
                   + selection, limit)
        if code != 0:
            end_wine(prefix)
            return "killed"
    return "survived"


def describe(site, original):
    path, number, kind, new = site
    return f"{path}:{number} {kind}: {original.strip()}  =>  {new.strip()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=2542)
    parser.add_argument("--count", type=int, default=160)
    parser.add_argument("--tree", default=ROOT)
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--results")
    parser.add_argument("--only", help="comma-separated mutant numbers")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--replay", help="the results file of an earlier run")
    options = parser.parse_args()
    tree = os.path.abspath(options.tree)
    work = os.path.abspath(options.work)
    results = options.results or os.path.join(work, "results.txt")

    if options.replay:
        mutants, gone = replayed(tree, options.replay)
        total = len(all_sites(tree))
        for description in gone:
            print("gone", description)
    else:
        mutants, total = draw(tree, options.seed, options.count)
    if options.list:
        for number, site in mutants:
            with open(os.path.join(tree, site[0]), encoding="utf-8") as source:
                print(number, describe(site, source.readlines()[site[1] - 1]))
        print(f"{len(mutants)} of {total} sites, seed {options.seed}")
        return 0

    copy = os.path.join(work, "tree")
    build = os.path.join(work, "build")
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                           cwd=tree, capture_output=True, text=True, check=True).stdout.split("\n")
    shutil.rmtree(copy, ignore_errors=True)
    for name in filter(None, files):
        if os.path.isfile(os.path.join(tree, name)):
            os.makedirs(os.path.dirname(os.path.join(copy, name)), exist_ok=True)
            # A fresh time stamp: a build left by an interrupted run may hold a
            # mutant's objects, newer than the source's own time would be.
            shutil.copy(os.path.join(tree, name), os.path.join(copy, name))
    configure = ["cmake", "-S", copy, "-B", build, "-G", "Ninja",
                 "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(copy, "cmake", "mingw-w64-x86_64.cmake")]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    if run(["cmake", "--build", build, "-j2"], 3600) != 0:
        print("mutate: the unchanged tree does not build", file=sys.stderr)
        return 2
    prefix = os.path.join(build, "wineprefix")
    fresh_prefix(prefix)
    if test(build, prefix) != "survived":
        print("mutate: the unchanged tree fails its own tests", file=sys.stderr)
        return 2

    done = {}
    if os.path.exists(results):
        for line in open(results, encoding="utf-8"):
            number, status = line.split()[:2]
            done[int(number)] = status
    wanted = {int(n) for n in options.only.split(",")} if options.only else None
    with open(results, "a", encoding="utf-8") as out:
        for number, site in mutants:
            if number in done or (wanted is not None and number not in wanted):
                continue
            path = os.path.join(copy, site[0])
            with open(path, encoding="utf-8") as source:
                lines = source.readlines()
            original = lines[site[1] - 1]
            lines[site[1] - 1] = site[3]
            started = time.time()
            with open(path, "w", encoding="utf-8") as target:
                target.writelines(lines)
            status = test(build, prefix)
            lines[site[1] - 1] = original
            with open(path, "w", encoding="utf-8") as target:
                target.writelines(lines)
            line = f"{number} {status} {time.time() - started:.0f}s {describe(site, original)}"
            print(line, flush=True)
            out.write(line + "\n")
            out.flush()
            done[number] = status
    run(["cmake", "--build", build, "-j2"], 3600)  # leave the copy built as it is

    counts = {s: sum(1 for v in done.values() if v == s)
              for s in ("killed", "survived", "uncompilable")}
    compiled = counts["killed"] + counts["survived"]
    share = 100.0 * counts["killed"] / compiled if compiled else 0.0
    print(f"{counts['killed']} killed, {counts['survived']} survived, "
          f"{counts['uncompilable']} not compilable: {share:.1f}% of the compilable mutants killed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
