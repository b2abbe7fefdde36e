"""Measures what install.exe costs under Wine, command by command, and what
the shipped binaries weigh.

For each command word it runs the command several times on a warm prefix
(the spooler already running), alternating with a do-nothing program of the
same build as the baseline, each started the way a setup package starts it.
It prints the median wall time, the median minus the baseline (the program's
own cost), the pauses the command is prescribed in that scenario (from the
simulated Windows' virtual clock), the cost beyond those pauses, and the
program's peak memory. Then the size of every shipped binary and the DLLs it
imports.
"""
import argparse
import os
import statistics
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e  # noqa: E402

BASELINE = e2e.X64_DIR + r"\baseline.exe"
# Command word and arguments, and whether the machine has the product
# installed (with its tray companion running) before the measured run.
SCENARIOS = [
    ("install-clean", ["install", "{hwnd}"], False),
    ("install-again", ["install", "{hwnd}"], True),
    ("uninstall", ["uninstall", "{hwnd}"], True),
    ("onInit", ["onInit"], True),
    ("onChkDrv", ["onChkDrv"], True),
    ("def.set", ["def.set"], True),
    ("removetray", ["removetray"], True),
]


def peak_memory_of(program_name, process):
    """Follows the Unix process that runs `program_name` until `process` (the
    harness) ends; returns its peak resident memory in bytes (VmHWM)."""
    peak = 0
    while process.poll() is None:
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    # Wine shows a Windows program's own path as argv[0];
                    # the harness names the program only among its arguments.
                    if not cmdline.read().split(b"\0")[0].lower().endswith(
                            program_name.lower().encode()):
                        continue
                with open(f"/proc/{pid}/status") as status:
                    for line in status:
                        if line.startswith("VmHWM:"):
                            peak = max(peak, int(line.split()[1]) * 1024)
            except OSError:
                continue  # it ended meanwhile
        time.sleep(0.01)
    return peak


def run_harness(machine, program, arguments):
    """Runs a program through the setup-package harness; returns its
    measures."""
    result_file = os.path.join(machine.prefix, "bench-result.txt")
    if os.path.exists(result_file):
        os.remove(result_file)
    harness = subprocess.Popen([e2e.WINE, machine.build.harness, machine.z(result_file), program,
                                *arguments], env=machine.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    peak = peak_memory_of(program.rsplit("\\", 1)[-1], harness)
    fields = {}
    with open(result_file, encoding="utf-8") as result:
        for line in result:
            if line.startswith("log:"):
                break
            key, _, value = line.rstrip("\n").partition("=")
            fields[key] = value
    return {"exit": int(fields["exit"]), "wall": float(fields["wall_ms"]),
            "dialog": float(fields["dialog_ms"]), "peak": peak}


def measure(build, template, name, arguments, installed, runs):
    baselines, costs, peaks, base_peaks, exits = [], [], [], [], set()
    for run in range(runs):
        machine = e2e.Machine(build, f"bench-{name}-{run}", template)
        try:
            shutil.copy2(os.path.join(build.dir, "tests", "bench", "bench_baseline.exe"),
                         machine.unix(BASELINE))
            machine.run("net", "start", "spooler")  # warm: the spooler runs
            if installed:
                machine.install("install", "{hwnd}")
            else:
                machine.tool("wait-no-window", "-", "-", "0")  # warm the prefix's processes
            baseline = run_harness(machine, BASELINE, [])
            command = run_harness(machine, e2e.INSTALL_EXE, arguments)
        finally:
            machine.dispose()
        baselines.append(baseline["wall"])
        base_peaks.append(baseline["peak"])
        # The time the log dialog waits for its user is not the program's.
        costs.append(command["wall"] - command["dialog"])
        peaks.append(command["peak"])
        exits.add(command["exit"])
    return (statistics.median(costs), statistics.median(baselines), max(peaks), max(base_peaks),
            sorted(exits))


def prescribed_pauses(build, template):
    env = e2e.wine_environment(template)
    program = os.path.join(build.dir, "tests", "bench", "prescribed_pauses.exe")
    output = subprocess.run([e2e.WINE, program], env=env, capture_output=True, text=True,
                            timeout=120).stdout
    subprocess.run([e2e.WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    import json
    return json.loads(output.strip().splitlines()[-1])


def imports(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True).stdout
    return sorted({line.split()[-1] for line in dump.splitlines() if "DLL Name" in line})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    e2e.configure(options.build)
    build, template = e2e.current_build(), e2e.current_template()
    pauses = prescribed_pauses(build, template)

    print(f"{'command':<15}{'median':>10}{'own cost':>10}{'pauses':>10}{'beyond':>10}"
          f"{'peak mem':>10}  exit")
    print(f"{'':<15}{'ms':>10}{'ms':>10}{'ms':>10}{'ms':>10}{'KiB':>10}")
    worst = 0.0
    for name, arguments, installed in SCENARIOS:
        median, baseline, peak, base_peak, exits = measure(build, template, name, arguments,
                                                           installed, options.runs)
        own = median - baseline
        beyond = own - pauses[name]
        worst = max(worst, beyond)
        print(f"{name:<15}{median:>10.0f}{own:>10.0f}{pauses[name]:>10}{beyond:>10.0f}"
              f"{peak / 1024:>10.0f}  {'/'.join(map(str, exits))}", flush=True)
    print(f"\nbaseline (a do-nothing program of the same build): {baseline:.0f} ms median, "
          f"{base_peak / 1024:.0f} KiB peak (Wine's own share of every process)")
    print(f"largest cost beyond the prescribed pauses: {worst:.0f} ms (target: 500 ms)\n")

    print(f"{'binary':<16}{'bytes':>9}  imports")
    shipped = [build.install] + [os.path.join(build.payload, name) for name in
                                 ("kvnmon64.dll", "kvndrv64.dll", "kvnui64.dll", "lumtray.exe")]
    for path in shipped:
        print(f"{os.path.basename(path):<16}{os.path.getsize(path):>9}  "
              f"{', '.join(imports(path))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
