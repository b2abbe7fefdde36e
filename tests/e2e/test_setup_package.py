"""The setup package end to end: LumenquillSetup.exe, built by makensis from
packaging/lumenquill.nsi, installs and removes the product silently (/S) on
fresh Wine prefixes, and its exit code tells the outcome.

The package's exit codes: 0 done, 1603 install.exe reported errors, 3010 done
but a restart completes it, 3018 nothing done because Windows must restart
first. wine64 hands only the low eight bits of an exit code on to Linux (3010
would read 194), so the package runs under the harness, a Windows parent that
reads the whole code.

Wine 8 is not Windows. Where its spooler answers differently, a scenario
asserts what Wine does and says so ("Wine:"); README.md in this folder lists
the differences.
"""
import os
import shutil
import subprocess
import time
import unittest

import e2e

# $PROGRAMFILES64 of the 64-bit installer: the prefix's 64-bit program files folder.
PRODUCT_DIR = r"C:\Program Files\Lumenquill"
PRODUCT_X64 = PRODUCT_DIR + r"\x64"
PRODUCT_FILES = [PRODUCT_X64 + "\\" + name for name in
                 ("install.exe", "kvnmon64.dll", "kvndrv64.dll", "kvnui64.dll", "kvnhelp.chm")]
PRODUCT_TRAY = PRODUCT_DIR + r"\lumtray.exe"
UNINSTALLER = PRODUCT_DIR + r"\uninstall.exe"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Lumenquill"
MONITOR_DLL = e2e.SYSTEM32 + r"\kvnmon64.dll"
DRIVER_KEY = (r"HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64\Drivers"
              r"\Version-3\Lumenquill printer")
PRINTERS_KEY = r"HKLM\System\CurrentControlSet\Control\Print\Printers"

SETUP = r"C:\LumenquillSetup.exe"
ERROR_LOG = "Lumenquill build 2542- Install error log!"
PLAIN_LOG = "Lumenquill build 2542- Install log."

EXIT_DONE = 0
EXIT_FAILED = 1603
EXIT_RESTART_NEEDED = 3010
EXIT_RESTART_FIRST = 3018


class PackageRun:
    """What the caller of the setup package saw: its exit code, and the
    install.exe log dialogs that were shown (their titles) and closed."""

    def __init__(self, exit_code, dialogs, seconds):
        self.exit_code = exit_code
        self.dialogs = dialogs
        self.seconds = seconds

    def __repr__(self):
        return f"exit {self.exit_code}, dialogs {self.dialogs}, {self.seconds:.1f} s"


class SetupPackage(unittest.TestCase):
    """Each test runs on a machine of its own, with the setup package copied
    to C:\\."""

    def setUp(self):
        self.assertTrue(os.path.exists(e2e.current_build().setup),
                        "LumenquillSetup.exe is not built")
        self.machine = e2e.Machine(e2e.current_build(), self.id().split(".")[-1],
                                   e2e.current_template())
        shutil.copy2(self.machine.build.setup, self.machine.unix(SETUP))

    def tearDown(self):
        self.machine.dispose()

    # ---- helpers
    def run_package(self, program, *arguments, timeout=300):
        """Runs the package (or its uninstaller) and waits for it. A log
        dialog that install.exe shows meanwhile is closed as a user closes it
        (WM_CLOSE: taskkill without /F), after noting its title."""
        machine = self.machine
        result_file = os.path.join(machine.prefix, "package-result.txt")
        if os.path.exists(result_file):
            os.remove(result_file)
        started = time.time()
        process = subprocess.Popen([e2e.WINE, machine.build.harness, machine.z(result_file),
                                    program, *arguments], env=machine.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        dialogs = []
        try:
            while process.poll() is None:
                self.assertLess(time.time() - started, timeout, f"{program} did not end")
                if machine.tool("wait-window", "#32770", "-", "1") != 0:
                    continue
                title = next((t for t in (ERROR_LOG, PLAIN_LOG)
                              if machine.tool("wait-window", "#32770", t, "0") == 0), "other")
                dialogs.append(title)
                machine.run("taskkill", "/IM", "install.exe", timeout=60)
                self.assertEqual(machine.tool("wait-no-window", "#32770", "-", "30"), 0,
                                 "the dialog did not close")
            process.wait(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
        with open(result_file, encoding="utf-8") as result:
            exit_code = e2e.Result(result.read()).exit_code
        return PackageRun(exit_code, dialogs, time.time() - started)

    def install_package(self, *options):
        return self.run_package(SETUP, "/S", *options)

    def uninstall_package(self):
        # Run in place (_?=): otherwise the uninstaller starts a copy of
        # itself from the temporary folder and returns at once.
        return self.run_package(UNINSTALLER, "/S", "_?=" + PRODUCT_DIR)

    def registry_values(self, key):
        """The values of a registry key as {name: text}, None without the key."""
        completed = subprocess.run([e2e.WINE, "reg", "query", key], env=self.machine.env,
                                   capture_output=True, timeout=60)
        if completed.returncode != 0:
            return None
        values = {}
        for line in completed.stdout.decode("utf-8", "replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2] if len(parts) == 3 else ""
        return values

    def forget(self, key):
        """Removes a spooler object that Wine cannot delete, as only its
        registry key can."""
        self.assertEqual(self.machine.run("reg", "delete", key, "/f"), 0, key)

    def assertPackageFilesInPlace(self):
        for path in PRODUCT_FILES + [PRODUCT_TRAY, UNINSTALLER]:
            self.assertTrue(self.machine.exists(path), path)

    def assertNothingInstalled(self, uninstaller_left=False):
        """Nothing of the product, and of its folder at most the uninstaller
        that ran in place."""
        state = self.machine.state()
        if uninstaller_left:
            self.assertEqual(os.listdir(self.machine.unix(PRODUCT_DIR)), ["uninstall.exe"])
        else:
            self.assertFalse(self.machine.exists(PRODUCT_DIR))
        self.assertIsNone(self.registry_values(UNINSTALL_KEY))
        self.assertNotIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertNotIn("Lumenquill printer", [d["name"] for d in state["drivers"]])
        self.assertIsNone(state["autostart"])
        self.assertFalse(state["tray_mutex"])

    # ---- scenarios
    def test_silent_install_and_uninstall(self):
        run = self.install_package()
        # Wine: the printer "Lumenquill" cannot be created (AddPrinterW
        # without a data type fails with 1801), so install.exe reports error
        # 15, shows its error log and ends with 100: the package fails.
        self.assertEqual(run.exit_code, EXIT_FAILED, run)
        self.assertEqual(run.dialogs, [ERROR_LOG], run)
        self.assertPackageFilesInPlace()
        state = self.machine.state()
        self.assertIn({"name": "Lumenquill:", "dll": "kvnmon64.dll"}, state["monitors"])
        self.assertIn("Lumenquill printer", [d["name"] for d in state["drivers"]])
        self.assertTrue(self.machine.exists(MONITOR_DLL))
        # Wine: the printer is written, though it cannot be opened.
        self.assertIn(("Lumenquill", "Lumenquill:", "Lumenquill printer"),
                      [(p["name"], p["port"], p["driver"]) for p in state["printers"]])
        self.assertEqual(state["autostart"], PRODUCT_TRAY)
        self.assertTrue(state["tray_mutex"] and state["tray_window"], "the tray companion runs")
        self.assertIsNone(state["default"], "not made the default without /DEFAULT")
        self.assertEqual(state["pending_renames"], [])
        entry = self.registry_values(UNINSTALL_KEY)
        self.assertIsNotNone(entry, "no Add/Remove Programs entry")
        self.assertEqual(entry["DisplayName"], "Lumenquill")
        self.assertEqual(entry["DisplayVersion"], "1.0.0.2542")
        self.assertEqual(entry["Publisher"], "Korvane Software")
        self.assertEqual(entry["UninstallString"], '"' + UNINSTALLER + '"')
        self.assertEqual(entry["QuietUninstallString"], '"' + UNINSTALLER + '" /S')
        self.assertEqual(entry["InstallLocation"], PRODUCT_DIR)

        run = self.uninstall_package()
        # Wine: the printer listed but unopenable (error 16) and the driver
        # that DeletePrinterDriverExW will not delete with its files (87,
        # error 14): install.exe ends with 100, the package with 1603.
        self.assertEqual(run.exit_code, EXIT_FAILED, run)
        self.assertEqual(run.dialogs, [ERROR_LOG], run)
        state = self.machine.state()
        self.assertNotIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertFalse(self.machine.exists(MONITOR_DLL))
        self.assertIsNone(state["autostart"])
        self.assertFalse(state["tray_mutex"] or state["tray_window"])
        self.assertEqual(state["pending_renames"], [])
        for path in PRODUCT_FILES + [PRODUCT_TRAY]:
            self.assertFalse(self.machine.exists(path), path)
        self.assertFalse(self.machine.exists(PRODUCT_X64))
        self.assertIsNone(self.registry_values(UNINSTALL_KEY))
        # Run in place, the uninstaller cannot delete itself: its caller does.
        self.assertTrue(self.machine.exists(UNINSTALLER))

    def test_an_update_replaces_the_running_tray_companion(self):
        self.install_package()
        # An older tray companion, started at log-on: it holds its file.
        self.machine.restart()
        with open(self.machine.unix(PRODUCT_TRAY), "ab") as tray:
            tray.write(b"an older build")
        self.machine.log_on()
        self.assertEqual(self.machine.tool("wait-window", e2e.TRAY_CLASS, "-", "30"), 0)
        run = self.install_package()
        # Wine: besides error 15, the first install's unopenable printer
        # (error 16) and the driver's files (87, error 14).
        self.assertEqual(run.exit_code, EXIT_FAILED, run)
        self.assertEqual(run.dialogs, [ERROR_LOG], run)
        self.assertPackageFilesInPlace()
        with open(self.machine.unix(PRODUCT_TRAY), "rb") as installed, \
                open(os.path.join(self.machine.build.payload, "lumtray.exe"), "rb") as shipped:
            self.assertEqual(installed.read(), shipped.read(), "the older companion was replaced")
        state = self.machine.state()
        self.assertEqual(state["autostart"], PRODUCT_TRAY)
        self.assertTrue(state["tray_mutex"] and state["tray_window"], "started again")

    def test_on_init_answering_restart_first_stops_the_package(self):
        os.makedirs(self.machine.unix(r"C:\Queued"))
        shutil.copy2(os.path.join(self.machine.build.payload, "kvnui64.dll"),
                     self.machine.unix(r"C:\Queued\KVNUI64.DLL"))
        self.assertEqual(self.machine.tool("queue-delete", r"C:\Queued\KVNUI64.DLL"), 0)
        self.machine.hold_loaded(r"C:\Queued\KVNUI64.DLL")
        run = self.install_package()
        self.assertEqual(run.exit_code, EXIT_RESTART_FIRST, run)
        self.assertEqual(run.dialogs, [], "silent: no message, no log")
        self.assertNothingInstalled()
        self.assertEqual(self.machine.state()["printers"], [])

        self.machine.restart()
        self.assertFalse(self.machine.exists(r"C:\Queued\KVNUI64.DLL"))
        run = self.install_package()
        self.assertEqual(run.exit_code, EXIT_FAILED, run)  # Wine: error 15, as above
        self.assertPackageFilesInPlace()

    def _remove_what_wine_cannot(self):
        # Wine: the printer that AddPrinterW wrote cannot be opened, and the
        # driver cannot be deleted with its files. The test removes both, as
        # Windows would never have left them, so that the uninstall meets
        # only what it can remove.
        self.forget(PRINTERS_KEY + r"\Lumenquill")
        self.forget(DRIVER_KEY)

    def test_uninstall_without_errors_ends_0(self):
        self.install_package()
        self._remove_what_wine_cannot()
        run = self.uninstall_package()
        self.assertEqual(run.exit_code, EXIT_DONE, run)
        self.assertEqual(run.dialogs, [], "no errors, no log")
        self.assertNothingInstalled(uninstaller_left=True)
        state = self.machine.state()
        self.assertFalse(self.machine.exists(MONITOR_DLL))
        self.assertEqual(state["pending_renames"], [])

    def test_uninstall_that_leaves_the_monitor_dll_for_the_restart_ends_3010(self):
        self.install_package()
        self._remove_what_wine_cannot()
        self.machine.hold_loaded(MONITOR_DLL)
        run = self.uninstall_package()
        self.assertEqual(run.exit_code, EXIT_RESTART_NEEDED, run)
        self.assertEqual(run.dialogs, [], run)
        state = self.machine.state()
        self.assertNotIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertEqual(state["pending_renames"], ["\\??\\" + MONITOR_DLL, ""])
        self.assertIsNone(self.registry_values(UNINSTALL_KEY))
        self.assertFalse(self.machine.exists(PRODUCT_X64))
        self.machine.restart()
        self.assertFalse(self.machine.exists(MONITOR_DLL), "deleted at the restart")


if __name__ == "__main__":
    unittest.main()
