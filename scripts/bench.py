"""Measures install.exe under Wine: each command's wall time, started the way
a setup package starts it, against the same program given a word that does
nothing (the baseline: Wine's own cost of starting a program); the pauses the
command is prescribed in the matching scenario (its virtual time, from
tests/scenarios); its peak memory; and the size and imports of every shipped
binary.

    bench.py --build BUILD_DIR [--runs N]
    bench.py --build BUILD_DIR --profile COMMAND

--profile runs one command once with Wine's relay trace of the functions
install.exe calls, counts only the calls install.exe makes, and says where
its time went: the platform calls that took the most, summed by name, and the
time spent between calls, in the program's own code. The trace slows every
call, the loading of a DLL most (its initialisation calls traced functions
too), so the rows rank the costs rather than measure them.
"""
import argparse
import collections
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
    """Wall time in ms of one run under the tool, less the time the log
    dialog waited for its user (the tool), and install.exe's peak resident
    memory (VmHWM) while it ran."""
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
    wall = (time.time() - started) * 1000
    output.close()
    told = re.search(rb"dialog waited (\d+) ms", open(output.name, "rb").read())
    return wall - (int(told.group(1)) if told else 0), peak


RELAY = re.compile(r"^(\d+)\.(\d+):([0-9a-f]+):([0-9a-f]+):(Call|Ret )\s+([\w.]+)\(")
LOADED = re.compile(r"^[\d.]+:([0-9a-f]+):[0-9a-f]+:trace:loaddll:")


def headers(path):
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True).stdout


def imported_functions(path):
    """dll.function for every function the binary imports."""
    found, library = [], None
    for line in headers(path).splitlines():
        if "DLL Name:" in line:
            library = line.split()[-1].rsplit(".", 1)[0]
        elif library and re.match(r"^\t[0-9a-f]+\t +\d+  \w+$", line):
            found.append(f"{library}.{line.split()[-1]}")
        elif not line.strip():
            library = None
    return found


def image_range(path):
    header = headers(path)
    value = lambda name: int(re.search(rf"^{name}\s+([0-9a-f]+)$", header, re.M).group(1), 16)
    return value("ImageBase"), value("SizeOfImage")


def profile(build, template, name):
    words, installed = next((c[1], c[2]) for c in COMMANDS if c[0] == name)
    machine = e2e.Machine(build, template, f"profile-{name}")
    install = os.path.join(build, "src", "install.exe")
    machine.wine("net", "start", "spooler")
    if installed:
        machine.install("install")
    # Only the calls install.exe imports or binds at run time are traced, so
    # that the trace costs little beside them.
    machine.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                 ";".join(imported_functions(install) + ["winspool.drv", "version", "rstrtmgr"]),
                 "/f")
    env = dict(machine.env, WINEDEBUG="+timestamp,+pid,+relay,+loaddll", E2E_TRACE="1")
    trace = os.path.join(machine.prefix, "relay.txt")
    with open(trace, "wb") as output:
        subprocess.run([e2e.WINE, os.path.join(build, "tests", "e2e", "e2e_tool.exe"), "setup",
                        e2e.X64 + r"\install.exe", *words], env=env, stdout=subprocess.DEVNULL,
                       stderr=output, timeout=300)
    subprocess.run([e2e.WINESERVER, "-k"], env=machine.env)
    # A call counts when it returns into install.exe's image (never relocated
    # under Wine); other modules' calls of the same functions are left out.
    # Calls nest only where the program is called back (a dialog's procedure).
    base, size = image_range(install)
    spent, calls, open_calls, first, last = collections.Counter(), collections.Counter(), {}, None, 0
    program = None  # install.exe's process: the harness's own calls are traced too
    for line in open(trace, errors="replace"):
        loaded = LOADED.match(line)
        program = loaded.group(1) if loaded and "install.exe" in line else program
        match = RELAY.match(line)
        returns = re.search(r" ret=([0-9a-f]+)$", line.rstrip())
        if not match or not returns or not base <= int(returns.group(1), 16) < base + size:
            continue
        seconds, millis, process, thread, kind, function = match.groups()
        if process != program:
            continue
        now = int(seconds) * 1000 + int(millis)
        first, last = first if first is not None else now, now
        stack = open_calls.setdefault(thread, [])
        if kind == "Call":
            stack.append((function, now))
        elif stack:
            function, started = stack.pop()
            if not stack:  # a call made from a callback is part of its caller's time
                spent[function] += now - started
                calls[function] += 1
    if first is None:
        print("profile: the trace holds no call of install.exe", file=sys.stderr)
        return 1
    span = last - first
    print(f"{name}: {span} ms from install.exe's first platform call to its last, "
          f"{sum(calls.values())} calls, {span - sum(spent.values())} ms between them")
    for function, ms in spent.most_common(15):
        print(f"{ms:>7} ms {calls[function]:>5}x  {function}")
    return 0


def imports(path):
    return sorted({line.split()[-1] for line in headers(path).splitlines() if "DLL Name" in line})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--profile", choices=[c[0] for c in COMMANDS])
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    template = e2e.make_template(build)
    if options.profile:
        return profile(build, template, options.profile)
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
