# End to end: the real install.exe, payload and setup package on fresh Wine
# prefixes, driven as a setup package drives them.
#
#     e2e.py BUILD_DIR RESULTS_XML [NAME...]
#     e2e.py --state PREFIX     what a scenario's state shows of a prefix
#
# Each scenario writes what it sees (exit codes, log dialogs, the machine) into
# a transcript that must equal expected/NAME.txt; UPDATE_E2E=1 rewrites those.
# Wine 8 is not Windows: the expected files hold what Wine does, README.md says
# where that differs.
import concurrent.futures
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import time

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
HERE = os.path.dirname(os.path.abspath(__file__))
SETUP_DIR = r"C:\Program Files\Lumenquill Setup"
X64 = SETUP_DIR + r"\x64"
JOBS = r"C:\ProgramData\Lumenquill\Jobs"
USER_A, USER_B = "S-1-5-21-1-2-3-1001", "S-1-5-21-1-2-3-1002"
PRODUCT_DIR = r"C:\Program Files\Lumenquill"
STAND_IN = r"C:\stand-in"


def environment(prefix):
    # Arguments beyond ASCII reach Windows programs through a UTF-8 locale.
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8",
                WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")


def private_folder(text):
    # The random name of the folder the custom action runs "onInit" from.
    return re.sub(r"Lumenquill-[0-9a-f]{32}", "Lumenquill-N", text)


def registry(env, key):
    # Wine's reg.exe on KEY and everything below it: {key: {value: data}}.
    keys, values = {}, None
    listing = subprocess.run([WINE, "reg", "query", key, "/s"], env=env, capture_output=True,
                             timeout=60).stdout.decode("utf-8", "replace").replace("\r", "")
    for line in listing.split("\n"):
        if line.startswith("HKEY_"):
            values = keys.setdefault(line, {})
        elif line.startswith("    ") and values is not None:
            name, _, *data = line[4:].split("    ", 2)
            values[name] = data[0] if data else ""
    return keys


def state(env, prefix):
    # The print system as Wine's spooler keeps it (in the registry), the
    # default printer, the product's Add/Remove Programs entries, the values
    # the product writes (a multi-string's strings each ended by "|"), and
    # whether the companion runs (its window appears a moment after its
    # start: with its autostart value there it is given 5 s).
    found = {kind: [] for kind in ("monitor", "driver", "printer")}
    drivers = r"C:\windows\system32\spool\drivers\x64\3" + "\\"
    for key, values in registry(env, r"HKLM\System\CurrentControlSet\Control\Print").items():
        parent, name = key.rsplit("\\", 1)
        if parent.endswith(r"\Print\Monitors"):
            found["monitor"].append(f'"{name}" dll={values.get("Driver", "")}')
        elif parent.endswith(r"\Windows x64\Drivers\Version-3"):
            found["driver"].append(f'"{name}" ' + " ".join(
                drivers + values.get(v, "") for v in ("Driver", "Configuration File", "Help File")))
        elif parent.endswith(r"\Print\Printers"):
            found["printer"].append(f'"{name}" port={values["Port"]} driver="{values["Printer Driver"]}"')
    text = "".join(f"{kind} {line}\n" for kind, lines in found.items() for line in lines)
    for values in registry(env, r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows").values():
        device = {name.lower(): data for name, data in values.items()}.get("device")
        text += f'default "{device.split(",")[0]}"\n' if device else ""
    programs = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
    for values in registry(env, programs).values():
        if values.get("DisplayName") == "Lumenquill":
            text += f"Add/Remove Programs: Lumenquill {values['DisplayVersion']}\n"
    for key, name in ((r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run", "LumenquillTray"),
                      (r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager",
                       "PendingFileRenameOperations"),
                      (r"HKLM\SOFTWARE\Korvane Software KFT\Lumenquill", "JobsRoot")):
        value = next(iter(registry(env, key).values()), {}).get(name)
        if value is not None:
            multi = name == "PendingFileRenameOperations"
            text += f"{name}: " + ("|".join(value.split("\\0")) + "|" if multi else value) + "\n"
    deadline = time.time() + (5 if "LumenquillTray: " in text else 0)
    while not (runs := runs_in(prefix, "lumtray.exe")) and time.time() < deadline:
        time.sleep(0.1)
    return text + f"tray companion {'running' if runs else 'not running'}\n"


def runs_in(prefix, program):
    # Whether a process of the prefix runs the program, by the image it maps.
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/maps", errors="replace") as maps:
                if any(prefix + "/drive_c/" in line and line.rstrip().endswith("/" + program)
                       for line in maps):
                    return True
        except OSError:
            pass
    return False


def make_template(build):
    # A fresh prefix for the machines to be cloned from; a crash ends a
    # program at once instead of waiting in Wine's debugger.
    path = os.path.join(build, "e2e", "template")
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    env = environment(path)
    for command in (["wineboot", "-i"],
                    ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                     "/f"],
                    ["reg", "delete", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
                     "/v", "Debugger", "/f"]):
        subprocess.run([WINE, *command], env=env, timeout=180, capture_output=True)
    subprocess.run([WINESERVER, "-k"], env=env)
    subprocess.run([WINESERVER, "-w"], env=env)
    return path


class Machine:
    # A clone of the template with the setup package laid out in it.

    def __init__(self, build, template, name):
        self.build, self.prefix = build, os.path.join(build, "e2e", name)
        shutil.rmtree(self.prefix, ignore_errors=True)
        # Binaries Wine never rewrites are shared with the template.
        shutil.copytree(template, self.prefix, symlinks=True, copy_function=lambda s, d: (
            os.link(s, d) if s.endswith((".dll", ".exe", ".drv", ".nls")) else shutil.copy2(s, d)))
        self.env, self.transcript, self.roots = environment(self.prefix), "", {}
        payload = os.path.join(build, "payload", "files")
        for name in ("kvnmon64.dll", "kvndrv64.dll", "kvnui64.dll", "kvnhelp.chm"):
            self.put(os.path.join(payload, name), X64 + "\\" + name)
        self.put(os.path.join(build, "src", "install.exe"), X64 + r"\install.exe")
        self.put(os.path.join(payload, "lumtray.exe"), SETUP_DIR + r"\lumtray.exe")

    def unix(self, path):
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def put(self, source, path):
        os.makedirs(os.path.dirname(self.unix(path)), exist_ok=True)
        shutil.copy2(source, self.unix(path))

    def wine(self, *arguments, background=False, output=subprocess.DEVNULL):
        # Runs a program; its output goes to a file, never to a pipe, which
        # the programs it starts (the tray companion) would keep open.
        command = [WINE, *arguments]
        if background:
            return subprocess.Popen(command, env=self.env, stdout=output, stderr=output)
        return subprocess.run(command, env=self.env, stdout=output, stderr=subprocess.DEVNULL,
                              timeout=300)

    def tool(self, *arguments):
        # Runs e2e_tool.exe and notes what it printed.
        path = os.path.join(self.prefix, "tool-output.txt")
        with open(path, "wb") as output:
            self.wine(os.path.join(self.build, "tests", "e2e", "e2e_tool.exe"), *arguments,
                      output=output)
        with open(path, "rb") as output:
            text = output.read().decode("utf-8", "replace").replace("\r\n", "\n")
        self.note(f"$ {' '.join(arguments)}\n" + text)

    def state(self):
        self.note("$ state\n" + state(self.env, self.prefix))

    def install(self, *words):
        self.tool("setup", X64 + r"\install.exe", *words)

    def msiexec(self, *arguments, logs=True):
        # Wine's msiexec, silent, under the tool; from its log the custom
        # actions' lines and (with logs) install.exe's log between them. Wine
        # writes the log in the ANSI code page.
        self.tool("setup", "msiexec", *arguments, "/qn", "/norestart", "/l*v", r"C:\msi.log")
        inside, shown = False, ""
        with open(self.unix(r"C:\msi.log"), encoding="cp1252") as log:
            for line in map(private_folder, log.read().splitlines()):
                inside = logs and (inside or line.startswith("Lumenquill: running"))
                if inside or line.startswith("Lumenquill"):
                    shown += (line if len(line) < 100 else f"({len(line)} characters)") + "\n"
                inside = inside and not line.startswith("Lumenquill: install.exe")
        self.note(re.sub(r"(\(4096 characters\)\n)+", lambda m: f"{m[0].count(chr(10))} x {m[1]}",
                         shown))

    def stand_ins(self, codes, run, *arguments):
        # Runs a package of stand-ins for install.exe (stand_in.cpp) that end
        # with the codes given ("WORD=CODE ...", kept for the next runs); then
        # what they were asked, by which build, and the installed files.
        os.makedirs(self.unix(STAND_IN), exist_ok=True)
        for word, code in (pair.split("=") for pair in codes.split()):
            with open(self.unix(STAND_IN + "\\" + word), "w") as out:
                out.write(code)
        self.note(f"codes {codes}\n" if codes else "")
        run(*arguments)
        calls = self.unix(STAND_IN + r"\calls.txt")
        if os.path.exists(calls):
            self.note(open(calls).read())
            os.remove(calls)
        self.files(PRODUCT_DIR)

    def note(self, text):
        text = private_folder(text)
        # The NSIS package's folder of random name for its own install.exe;
        # and the logs the stand-ins it runs with ExecWait write to its
        # output, which they inherit under Wine (README.md, the Wine table).
        text = re.sub(r"C:\\users\\[^\\]+\\Temp\\ns\w+\.tmp", "$PLUGINSDIR", text)
        text = re.sub(r"stdout:\n(\ufeffstand-in \w+: .*? last line)+", "", text, flags=re.S)
        # Roots of random names, numbered as they come; names set aside within a second
        # differ by a counter.
        text = re.sub(r"(?<=Lumenquill-)[0-9a-f]{16}(?![0-9a-f])",
                      lambda m: self.roots.setdefault(m[0], f"ROOT{len(self.roots) + 1}"), text)
        text = re.sub(r"(?<=set-aside-)\d{8}-\d{6}(-\d+)?", "DATE-TIME", text)
        self.transcript += re.sub(r"\d{8}-\d{6}", "DATE-TIME", text)

    def files(self, folder, sizes=False):
        path = self.unix(folder)
        found = sorted(os.listdir(path)) if os.path.isdir(path) else []
        if sizes:
            found = [f"{name}({os.path.getsize(os.path.join(path, name))})"
                     if os.path.isfile(os.path.join(path, name)) else name for name in found]
        self.note(f"{folder}: {' '.join(found)}\n")

    def wait_for(self, path, seconds=30):
        # A file a program makes when it is ready; an error when it never comes.
        for _ in range(seconds * 20):
            if os.path.exists(self.unix(path)):
                return
            time.sleep(0.05)
        raise TimeoutError(f"{path} never came")

    def restart(self):
        # Ends every program; the next start carries out the restart queue.
        subprocess.run([WINESERVER, "-k"], env=self.env)
        subprocess.run([WINESERVER, "-w"], env=self.env)
        self.wine("wineboot", "-r")


def setup_package(machine):
    # The package installs (Wine: error 15, see README); a package in
    # miniature repairs with nsExec::ExecToLog, as the package runs
    # install.exe: the log dialog is owned by its window, and its installation
    # details show the log, a printer name beyond ASCII included; the
    # uninstaller removes.
    machine.put(os.path.join(machine.build, "packaging", "LumenquillSetup.exe"), r"C:\setup.exe")
    machine.tool("setup", r"C:\setup.exe", "/S")
    machine.state()
    machine.files(r"C:\Program Files\Lumenquill")
    machine.tool("add-printer", "Lumenquill Büro 印刷")
    machine.put(os.path.join(machine.build, "tests", "e2e", "exec_to_log.exe"), r"C:\log.exe")
    machine.tool("setup", r"C:\log.exe")
    with open(machine.unix(r"C:\details.txt"), encoding="utf-16") as details:
        machine.note("details:\n" + details.read().replace("\r\n", "\n"))
    machine.tool("setup", r"C:\Program Files\Lumenquill\uninstall.exe", "/S",
                 r"_?=C:\Program Files\Lumenquill")
    machine.state()
    machine.files(r"C:\Program Files\Lumenquill")


def payload(machine):
    # An install on a window station nobody sees (a service's) shows no
    # dialog and hands its log only to its output; the probes against
    # printers of the product, jobs of several users after the previous
    # version's, a job printed through the spooler into its owner's folder,
    # the payload DLLs driven directly, users' folders that another user
    # replaced, and the jobs an uninstall leaves.
    machine.tool("setup", "--hidden-station", X64 + r"\install.exe", "in_notray")
    # Wine: the printer the install could not create is listed but cannot be
    # opened; only its registry key removes it.
    machine.wine("reg", "delete", r"HKLM\System\CurrentControlSet\Control\Print\Printers\Lumenquill",
                 "/f")
    machine.tool("add-printer", "Lumenquill A")
    machine.tool("add-printer", "Lumenquill B")
    for word in ("onChkDrv", "onInit", "def.set", "onInit"):
        machine.install(word)
    # The previous version kept every user's jobs in one Lumenquill\Jobs made
    # with the first printing user's token (as the tool's first case answers);
    # a file laid out here is owned by the SID its name begins with. A job
    # linked elsewhere and a link stay as they are.
    jobs, elsewhere = machine.unix(JOBS), machine.unix(r"C:\Elsewhere")
    os.makedirs(os.path.join(jobs, USER_B))
    os.makedirs(elsewhere)
    for name in (USER_A + ".prn", "S-1-5-18.prn", os.path.join(USER_B, USER_B + ".prn"),
                 os.path.join(elsewhere, "job")):
        with open(os.path.join(jobs, name), "w") as out:
            out.write("old")
    os.link(os.path.join(elsewhere, "job"), os.path.join(jobs, USER_A + ".linked.prn"))
    os.symlink(elsewhere, os.path.join(jobs, USER_A + ".link"))
    machine.tool("monitor-cases")
    machine.state()
    machine.tool("print", "Lumenquill B", "printed through the spooler")
    machine.tool("payload", X64)
    # A user's folder that is a file is set aside; a file of two names is
    # left alone (locking it would lock the other). Wine: a handle opened on a
    # Unix link as itself is one on what it points to, so the monitor cannot
    # set the link aside either. Both lead to a root of a new name.
    roots, common = [], machine.unix(r"C:\ProgramData")
    for plant in (lambda at: open(at, "w").close(),
                  lambda at: os.link(os.path.join(elsewhere, "job"), at),
                  lambda at: os.symlink(elsewhere, at)):
        roots += [r for r in glob.glob(common + "/Lumenquill-*") if r not in roots]
        planted = os.path.join(roots[-1], "Jobs", USER_B)
        if os.path.exists(planted):
            os.rename(planted, planted + ".kept")
        plant(planted)
        machine.tool("monitor-cases", "2", "2")
    machine.install("uninstall")
    roots += [r for r in glob.glob(common + "/Lumenquill-*") if r not in roots]
    for root in [jobs[:-5]] + glob.glob(jobs[:-5] + ".*") + roots:
        for path, _, _ in sorted(os.walk(root)):
            machine.files("C:\\" + os.path.relpath(path, machine.unix("C:\\")).replace("/", "\\"),
                          sizes=True)
    machine.files(r"C:\Elsewhere", sizes=True)


def tray_and_restart(machine):
    # The companion runs after an install and ends with "removetray", with
    # Exit from its own menu, or when the Restart Manager asks it to close; a
    # product DLL that waits for the restart makes "onInit" answer 200 until
    # the restart deletes it. A queued deletion through a linked folder (a
    # Unix link here) leaves the link's target alone, a plain one is carried
    # out.
    machine.install("install")
    machine.state()
    machine.install("removetray")
    machine.state()
    machine.files(SETUP_DIR)
    machine.put(os.path.join(machine.build, "payload", "files", "lumtray.exe"), r"C:\Tray\lumtray.exe")
    machine.tool("tray-exit", r"C:\Tray\lumtray.exe")
    machine.tool("tray-exit", r"C:\Tray\lumtray.exe", "restart-manager")
    machine.put(os.path.join(machine.build, "payload", "files", "kvnui64.dll"), r"C:\Old\kvnui64.dll")
    for name in (r"C:\t\real\victim.txt", r"C:\t\plain.txt"):
        machine.put(os.path.join(HERE, "README.md"), name)
    os.symlink(machine.unix(r"C:\t\real"), machine.unix(r"C:\t\link"))
    for queued in (r"C:\t\link\victim.txt", r"C:\t\plain.txt", r"C:\Old\kvnui64.dll"):
        machine.tool("queue-delete", queued)
    holder = machine.wine(os.path.join(machine.build, "tests", "e2e", "e2e_tool.exe"), "hold",
                          r"C:\Old\kvnui64.dll", "60", r"C:\Old\held", background=True)
    machine.wait_for(r"C:\Old\held")
    os.remove(machine.unix(r"C:\Old\held"))
    machine.install("onInit")
    machine.files(r"C:\t\real")
    machine.files(r"C:\t")
    holder.kill()
    machine.restart()
    machine.files(r"C:\Old")
    machine.install("onInit")


def dependent_load_flags(path):
    # The load configuration's DependentLoadFlags of a 64-bit image: where the
    # loader takes the DLLs of its static imports from (0x800: the system
    # directory), or None without a load configuration.
    data = open(path, "rb").read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, header + 6)
    address = struct.unpack_from("<I", data, header + 24 + 112 + 8 * 10)[0]
    for entry in range(header + 24 + optional_size, header + 24 + optional_size + 40 * count, 40):
        size, start, _, raw = struct.unpack_from("<IIII", data, entry + 8)
        if address and start <= address < start + size:
            return struct.unpack_from("<H", data, raw + address - start + 0x4E)[0]
    return None


def planted_dlls(machine):
    # DLLs planted beside the elevated install.exe, with Wine told to prefer
    # native copies of both. winspool.drv: never loaded by install.exe, while
    # the tool copied beside it loads the planted one (the positive control).
    # version.dll: Wine knows no known DLLs, and its own shell32, which
    # install.exe imports, loads the planted version.dll before install.exe's
    # first instruction; on Windows shell32 is a known DLL whose dependencies
    # come from the system directory, and install.exe and lumtray.exe mark
    # themselves so that their imports' dependencies do too (their
    # DependentLoadFlags, which Wine does not read).
    for program in (os.path.join(machine.build, "src", "install.exe"),
                    os.path.join(machine.build, "payload", "files", "lumtray.exe")):
        flags = dependent_load_flags(program)
        machine.note(f"{os.path.basename(program)}: DependentLoadFlags {flags:#x}\n"
                     if flags is not None else f"{os.path.basename(program)}: none\n")
    machine.env["WINEDLLOVERRIDES"] += ";winspool.drv,version=n,b"
    for name in ("winspool.drv", "version.dll"):
        machine.put(os.path.join(machine.build, "tests", "e2e", "planted.dll"), X64 + "\\" + name)
    machine.put(os.path.join(machine.build, "tests", "e2e", "e2e_tool.exe"), X64 + r"\tool.exe")
    machine.wine(machine.unix(X64 + r"\tool.exe"), "hold", "winspool.drv", "0")
    for word in ("control", "install", "uninstall", "onInit", "onChkDrv", "def.set", "removetray",
                 "none"):
        if word != "control":
            machine.install(word)
        machine.files(X64)
        for marker in glob.glob(machine.unix(X64 + r"\planted-*")):
            os.remove(marker)


def msi_package(machine):
    # The Windows Installer package, silent. Wine's error 15 ends install.exe
    # with 100: the installation fails and is rolled back, and no tray
    # companion was started. Wine: the rollback removes the files before its
    # custom action runs "uninstall", which then cannot start (README,
    # "Wine"); what install.exe added stays.
    machine.put(os.path.join(machine.build, "packaging", "LumenquillSetup.msi"), r"C:\setup.msi")
    machine.msiexec("/i", r"C:\setup.msi")
    machine.state()
    machine.files(PRODUCT_DIR)


def msi_exit_codes(machine):
    # The same package around a stand-in for install.exe (stand_in.cpp) that
    # ends with the codes the test chooses: each run's exit code, log, the
    # stand-in's command lines and the installed files. A successful
    # installation starts the tray companion; a removal goes on whatever
    # install.exe ends with; a restart is asked for when a product DLL waits
    # in the restart queue, whoever queued it. A companion that inherited
    # msiexec's output would keep it open ("stdout: still open").
    machine.put(os.path.join(machine.build, "tests", "e2e", "StandInSetup.msi"), r"C:\setup.msi")

    def msiexec(action, codes):
        machine.stand_ins(codes, machine.msiexec, action, r"C:\setup.msi")

    msiexec("/i", "onInit=102 in_notray=1")
    machine.state()  # the companion started for the user, and its autostart value
    # install.exe uninstall ends the companion; the stand-in does not.
    machine.wine("taskkill", "/f", "/im", "lumtray.exe")
    msiexec("/x", "uninstall=100")  # goes on, and the product is removed
    machine.state()
    machine.put(os.path.join(machine.build, "payload", "files", "kvnui64.dll"),
                STAND_IN + r"\kvnui64.dll")
    machine.tool("queue-delete", STAND_IN + r"\kvnui64.dll")
    msiexec("/i", "onInit=3 in_notray=1")
    machine.wine("taskkill", "/f", "/im", "lumtray.exe")
    msiexec("/x", "uninstall=101")  # the stand-in queues its kvnui64.dll once more
    msiexec("/i", "onInit=102 in_notray=100 uninstall=2")
    msiexec("/i", "onInit=7")
    msiexec("/i", "onInit=200")
    # Cancel pressed while install.exe installs: it finishes, then the
    # installation ends as cancelled (Wine's msiexec rolls nothing back).
    machine.stand_ins("onInit=102 in_notray=1 uninstall=2", machine.tool, "msi-cancel",
                      r"C:\setup.msi", "in_notray")


def upgrades(machine, extension, codes, install):
    # This build's package (around stand-ins that say their build), the next
    # build's over it, then this build's over that; what each left.
    for name in ("StandInSetup", "StandInSetupNext", "StandInSetup"):
        path = f"C:\\{name}.{extension}"
        machine.put(os.path.join(machine.build, "tests", "e2e", f"{name}.{extension}"), path)
        machine.stand_ins(codes, install, path)
        machine.state()
        codes = ""


def msi_upgrade(machine):
    # Either way the installed build is removed first (RemoveExistingProducts,
    # after the new build's onInit): its own "install.exe uninstall" runs,
    # then the new build's in_notray; one Add/Remove Programs entry is left,
    # of the build installed last. Wine runs the removal as a separate
    # "msiexec /qn /i {PRODUCT} REMOVE=ALL" without a log: only the
    # stand-in's list shows it.
    def install(path):
        # The installed build's uninstall would end the companion; the
        # stand-in does not.
        machine.wine("taskkill", "/f", "/im", "lumtray.exe")
        machine.msiexec("/i", path, logs=False)

    upgrades(machine, "msi", "onInit=102 in_notray=1 uninstall=2", install)


def nsis_upgrade(machine):
    # The NSIS package runs over the installed one: the new build's
    # removetray (the companion's file is replaced), then its "install.exe
    # install"; the installed build's uninstall never runs. The stand-in
    # starts no companion and writes no autostart value, as install.exe
    # install would.
    upgrades(machine, "exe", "onInit=102 install=1", lambda path: machine.tool("setup", path, "/S"))


SCENARIOS = [setup_package, payload, tray_and_restart, planted_dlls, msi_package, msi_exit_codes,
             msi_upgrade, nsis_upgrade]


def run(build, template, scenario):
    machine = Machine(build, template, scenario.__name__)
    try:
        scenario(machine)
    except Exception as problem:  # the transcript shows where it stopped
        machine.note(f"stopped: {problem!r}\n")
    finally:
        subprocess.run([WINESERVER, "-k"], env=machine.env)
    expected_path = os.path.join(HERE, "expected", scenario.__name__ + ".txt")
    exists = os.path.exists(expected_path)
    expected = open(expected_path, encoding="utf-8").read() if exists else ""
    if machine.transcript != expected and os.environ.get("UPDATE_E2E") == "1":
        with open(expected_path, "w", encoding="utf-8") as out:
            out.write(machine.transcript)
    elif machine.transcript != expected:
        actual_path = os.path.join(build, "e2e", scenario.__name__ + ".txt")
        with open(actual_path, "w", encoding="utf-8") as out:
            out.write(machine.transcript)
        return scenario.__name__, "differs from expected (see build/e2e/)"
    shutil.rmtree(machine.prefix, ignore_errors=True)
    return scenario.__name__, None


def main():
    if sys.argv[1] == "--state":  # e2e.py --state PREFIX: for scripts/demo
        print(state(environment(sys.argv[2]), sys.argv[2]), end="")
        return 0
    build, results, names = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    template = make_template(build)
    chosen = [s for s in SCENARIOS if not names or s.__name__ in names]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(lambda s: run(build, template, s), chosen))
    with open(results, "w") as out:
        out.write("<testsuite>\n")
        for name, problem in outcomes:
            print(("FAILED " if problem else "ok     ") + name, problem or "")
            failure = f"<failure message='{problem}'/>" if problem else ""
            out.write(f"<testcase name='{name}'>{failure}</testcase>\n")
        out.write("</testsuite>\n")
    return 1 if any(problem for _, problem in outcomes) else 0


if __name__ == "__main__":
    sys.exit(main())
