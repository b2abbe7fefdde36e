"""Machines for the end-to-end tests: fresh Wine prefixes with the setup
package laid out in them, and the means to drive and inspect them.

The real install.exe and the real payload run under Wine exactly as a setup
package runs them; the harness programs (setup_harness.exe, e2e_tool.exe)
play the setup package and look at what the machine holds.
"""
import json
import os
import shutil
import subprocess
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

# Where a setup package puts the product: a path with a blank in it, the
# program and its files in x64, the tray companion one level up.
SETUP_DIR = r"C:\Program Files\Lumenquill Setup"
X64_DIR = SETUP_DIR + r"\x64"
INSTALL_EXE = X64_DIR + r"\install.exe"
TRAY_EXE = SETUP_DIR + r"\lumtray.exe"
SYSTEM32 = r"C:\windows\system32"
TRAY_CLASS = "lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}"


class Build:
    """The built binaries the tests need."""

    def __init__(self, build_dir):
        self.dir = os.path.abspath(build_dir)
        self.install = os.path.join(self.dir, "src", "install.exe")
        self.payload = os.path.join(self.dir, "payload", "files")
        self.harness = os.path.join(self.dir, "tests", "e2e", "setup_harness.exe")
        self.tool = os.path.join(self.dir, "tests", "e2e", "e2e_tool.exe")
        # The setup package built by makensis from packaging/lumenquill.nsi.
        self.setup = os.path.join(self.dir, "packaging", "LumenquillSetup.exe")
        self.work = os.path.join(self.dir, "e2e")


def wine_environment(prefix):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No Mono or Gecko downloads; a crash must not hang in winedbg.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
    })
    return env


def make_template(path):
    """A fresh prefix that the machines are cloned from."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    env = wine_environment(path)
    # wineboot reports a failure for the 32-bit half that a 64-bit Wine lacks.
    subprocess.run([WINE, "wineboot", "-i"], env=env, timeout=180,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Xvfb runs no window manager: unmanaged windows spare every hidden window
    # Wine's wait for a window manager that never answers.
    subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                    "/d", "N", "/f"], env=env, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, stderr=subprocess.DEVNULL)
    assert os.path.exists(os.path.join(path, "system.reg")), "wineboot made no prefix"


def clone_prefix(template, target):
    """Copies a prefix. The large, never rewritten system binaries are hard
    links; everything Wine may rewrite in place (registry files, ini files)
    is a real copy."""
    shutil.rmtree(target, ignore_errors=True)
    for root, dirs, files in os.walk(template):
        relative = os.path.relpath(root, template)
        destination = os.path.join(target, relative)
        os.makedirs(destination, exist_ok=True)
        for name in dirs + files:
            source = os.path.join(root, name)
            copy = os.path.join(destination, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), copy)
                if name in dirs:
                    dirs.remove(name)
            elif name in files:
                binary = name.lower().endswith((".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl",
                                                ".acm", ".ax", ".tlb", ".nls", ".ttf", ".msstyles"))
                if binary and relative.startswith("drive_c"):
                    os.link(source, copy)
                else:
                    shutil.copy2(source, copy)


class Result:
    """What the setup package saw of one run of install.exe."""

    def __init__(self, text):
        header, _, log = text.partition("log:\n")
        fields = dict(line.split("=", 1) for line in header.splitlines() if "=" in line)
        self.exit_code = int(fields.get("exit", "-1"))
        self.dialog = fields.get("dialog") == "1"
        self.owned = fields.get("owned") == "1"
        self.title = fields.get("title", "")
        self.log = log.replace("\r\n", "\n")

    def __repr__(self):
        return f"exit {self.exit_code}, dialog {self.dialog}, log:\n{self.log}"


class Machine:
    """One fresh Wine prefix with the setup package laid out in it."""

    def __init__(self, build, name, template):
        self.build = build
        self.prefix = os.path.join(build.work, "machines", name)
        clone_prefix(template, self.prefix)
        self.env = wine_environment(self.prefix)
        self.background = []
        self.lay_out_setup_package()

    # ---- paths
    def unix(self, windows_path):
        """The Unix path of a C: path inside the prefix (letter case kept)."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        parts = windows_path[3:].split("\\")
        path = os.path.join(self.prefix, "drive_c")
        for part in parts:
            # Wine's folders may differ in letter case from the name asked for.
            match = part
            if os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        match = entry
                        break
            path = os.path.join(path, match)
        return path

    def exists(self, windows_path):
        return os.path.exists(self.unix(windows_path))

    def lay_out_setup_package(self):
        os.makedirs(self.unix(X64_DIR), exist_ok=True)
        shutil.copy2(self.build.install, self.unix(INSTALL_EXE))
        for name in ("kvnmon64.dll", "kvndrv64.dll", "kvnui64.dll", "kvnhelp.chm"):
            shutil.copy2(os.path.join(self.build.payload, name), self.unix(X64_DIR + "\\" + name))
        shutil.copy2(os.path.join(self.build.payload, "lumtray.exe"), self.unix(TRAY_EXE))

    # ---- running programs
    def run(self, program, *arguments, timeout=120):
        """Runs a Windows program (a Unix path or a name Wine finds) and
        returns its exit code."""
        completed = subprocess.run([WINE, program, *arguments], env=self.env, timeout=timeout,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return completed.returncode

    def start(self, program, *arguments):
        """Starts a Windows program in the background."""
        process = subprocess.Popen([WINE, program, *arguments], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.background.append(process)
        return process

    def tool(self, *arguments, timeout=120):
        return self.run(self.build.tool, *arguments, timeout=timeout)

    def hold_loaded(self, windows_path, seconds=120):
        """Another process keeps the DLL loaded (its file then refuses
        deletion) until the machine stops or the time is up."""
        ready = os.path.join(self.prefix, "held-" + windows_path.rsplit("\\", 1)[-1])
        self.start(self.build.tool, "hold-dll", windows_path, self.z(ready), str(seconds))
        deadline = time.time() + 30
        while not os.path.exists(ready) and time.time() < deadline:
            time.sleep(0.05)
        assert os.path.exists(ready), "the DLL could not be held loaded: " + windows_path

    def z(self, unix_path):
        """A Unix path as Windows programs in the prefix see it."""
        return "Z:" + unix_path.replace("/", "\\")

    def install(self, *arguments, shift=False, timeout=300):
        """Runs install.exe the way the setup package does: with the
        harness's window as the last argument unless told otherwise ("{hwnd}"
        marks where it goes)."""
        result_file = os.path.join(self.prefix, "harness-result.txt")
        if os.path.exists(result_file):
            os.remove(result_file)
        command = [self.build.harness, self.z(result_file)]
        go_file = os.path.join(self.prefix, "harness-go")
        if shift:
            command += ["--wait-for", self.z(go_file)]
        command += [INSTALL_EXE, *arguments]
        process = subprocess.Popen([WINE, *command], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if shift:
            self._hold_shift_until_done(process, go_file, timeout)
        else:
            process.wait(timeout=timeout)
        with open(result_file, encoding="utf-8") as result:
            return Result(result.read())

    def _hold_shift_until_done(self, process, go_file, timeout):
        # Wine sees a key held in X only while one of its windows has the
        # keyboard focus: focus the harness's window, then press.
        window = None
        deadline = time.time() + 30
        while window is None and time.time() < deadline:
            found = subprocess.run(["xdotool", "search", "--name", "Lumenquill Setup Harness"],
                                   capture_output=True, text=True)
            window = found.stdout.split()[0] if found.stdout.split() else None
            time.sleep(0.1)
        assert window is not None, "the harness window did not appear"
        subprocess.run(["xdotool", "windowfocus", "--sync", window], timeout=10)
        subprocess.run(["xdotool", "keydown", "shift"], timeout=10)
        try:
            time.sleep(0.3)
            open(go_file, "w").close()
            process.wait(timeout=timeout)
        finally:
            subprocess.run(["xdotool", "keyup", "shift"], timeout=10)

    def state(self):
        out = os.path.join(self.prefix, "state.json")
        code = self.tool("state", self.z(out))
        assert code == 0, f"state probe failed with {code}"
        with open(out, encoding="utf-8") as data:
            return json.load(data)

    # ---- the machine's life
    def stop(self):
        """Ends every process of the prefix."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env, stderr=subprocess.DEVNULL)
        for process in self.background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        self.background = []

    def restart(self):
        """A machine restart: everything ends, and the next session start
        carries out the file operations queued for it."""
        self.stop()
        self.run("cmd.exe", "/c", "exit")

    def log_on(self):
        """A user log-on: the Run entries of HKLM and HKCU are started."""
        self.run("wineboot")

    def dispose(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)


# ---- the run's build and template, set up once by the runner
_build = None
_template = None


def configure(build_dir):
    global _build, _template
    _build = Build(build_dir)
    _template = os.path.join(_build.work, "template")
    make_template(_template)


def current_build():
    if _build is None:
        configure(os.environ.get("E2E_BUILD_DIR", os.path.join(os.path.dirname(__file__),
                                                                "..", "..", "build")))
    return _build


def current_template():
    current_build()
    return _template
