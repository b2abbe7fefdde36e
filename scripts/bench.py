"""Measures install.exe under Wine: each command's wall time, started the way
a setup package starts it, against the same program given a word that does
nothing (the baseline: Wine's own cost of starting a program); the pauses the
command is prescribed in the matching scenario (its virtual time, from
tests/scenarios); its peak memory; and the size and imports of every shipped
binary.

    bench.py --build BUILD_DIR [--runs N]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e  # noqa: E402

# Command, arguments, whether the product is installed first, and the
# scenario whose first command's virtual time is the prescribed pause.
COMMANDS = [
    ("install-clean", ["install", "{hwnd}"], False, "clean_install"),
    ("install-again", ["install", "{hwnd}"], True, "reinstall_two_printers"),
    ("uninstall", ["uninstall", "{hwnd}"], True, "uninstall_printers"),
    ("onInit", ["onInit"], True, "probes"),
    ("onChkDrv", ["onChkDrv"], True, "probes"),
    ("def.set", ["def.set"], True, "probes"),
    ("removetray", ["removetray"], True, "command_words"),
]


def prescribed(scenario):
    text = open(os.path.join(ROOT, "tests", "scenarios", scenario + ".scn")).read()
    return int(re.search(r"^exit \d+, (\d+) ms$", text.split("===\n", 1)[1], re.M).group(1))


def timed(machine, words):
    """Wall time in ms of one run under the tool, and install.exe's peak
    resident memory (VmHWM) while it ran."""
    started, peak = time.time(), 0
    output = open(os.path.join(machine.prefix, "bench.txt"), "wb")
    process = machine.wine(os.path.join(machine.build, "tests", "e2e", "e2e_tool.exe"), "setup",
                           e2e.X64 + r"\install.exe", *words, background=True, output=output)
    while process.poll() is None:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0].endswith(b"install.exe"):
                    for line in open(f"/proc/{pid}/status"):
                        if line.startswith("VmHWM:"):
                            peak = max(peak, int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.01)
    return (time.time() - started) * 1000, peak


def imports(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True).stdout
    return sorted({line.split()[-1] for line in dump.splitlines() if "DLL Name" in line})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    template = e2e.make_template(build)
    print(f"{'command':<15}{'median ms':>10}{'own ms':>10}{'pauses ms':>10}{'beyond':>10}"
          f"{'peak KiB':>10}")
    for name, words, installed, scenario in COMMANDS:
        costs, peaks = [], []
        for run in range(options.runs):
            machine = e2e.Machine(build, template, f"bench-{name}-{run}")
            machine.wine("net", "start", "spooler")
            if installed:
                machine.install("install")
            baseline, _ = timed(machine, ["nothing"])
            wall, peak = timed(machine, words)
            costs.append((wall, wall - baseline))
            peaks.append(peak)
            subprocess.run([e2e.WINESERVER, "-k"], env=machine.env)
        median = statistics.median(c[0] for c in costs)
        own = statistics.median(c[1] for c in costs)
        pause = prescribed(scenario)
        print(f"{name:<15}{median:>10.0f}{own:>10.0f}{pause:>10}{own - pause:>10.0f}"
              f"{max(peaks):>10}", flush=True)
    print(f"\n{'binary':<16}{'bytes':>9}  imports")
    payload = os.path.join(build, "payload", "files")
    for path in [os.path.join(build, "src", "install.exe")] + [
            os.path.join(payload, name) for name in
            ("kvnmon64.dll", "kvndrv64.dll", "kvnui64.dll", "lumtray.exe")]:
        print(f"{os.path.basename(path):<16}{os.path.getsize(path):>9}  {', '.join(imports(path))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
