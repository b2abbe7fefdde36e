"""install.exe end to end: the real program and the real payload, on fresh
Wine prefixes, driven the way a setup package drives it.

Wine 8 is not Windows. Where its spooler answers differently, a scenario
asserts what Wine does and says so ("Wine:"); README.md in this folder lists
the differences. The program itself follows Windows.
"""
import os
import shutil
import unittest

import e2e

MONITOR_DLL = e2e.SYSTEM32 + r"\kvnmon64.dll"
DRIVER_FILES = [e2e.SYSTEM32 + r"\spool\drivers\x64\3" + "\\" + name
                for name in ("kvndrv64.dll", "kvnui64.dll", "kvnhelp.chm")]
STAGED_FILES = [e2e.SYSTEM32 + r"\spool\drivers\x64" + "\\" + name
                for name in ("kvndrv64.dll", "kvnui64.dll", "kvnhelp.chm")]
# Wine: a printer added without a data type is written but cannot be opened,
# so AddPrinterW fails with 1801 ("Invalid printer name.") and leaves it
# listed. Every install's fallback printer "Lumenquill" ends that way.
WINE_ADD_PRINTER_ERROR = "Error(15): Can`t add printer 'Lumenquill' - (Invalid printer name.)"
# Wine: DeletePrinterDriverExW refuses DPD_DELETE_ALL_FILES with 87.
WINE_DELETE_DRIVER_ERROR = ("Error(14): Can`t remove the printer-driver 'Lumenquill printer'"
                            " - (Invalid parameter.)")


class Scenario(unittest.TestCase):
    """Each test runs on a machine of its own."""

    def setUp(self):
        self.machine = e2e.Machine(e2e.current_build(), self.id().split(".")[-1],
                                   e2e.current_template())

    def tearDown(self):
        self.machine.dispose()

    # ---- helpers
    def install(self, *arguments, **options):
        return self.machine.install(*arguments, **options)

    def forget_printer(self, name):
        """Removes a printer Wine lists but cannot open, as only its registry
        entry can."""
        self.machine.run("reg", "delete",
                         r"HKLM\System\CurrentControlSet\Control\Print\Printers" + "\\" + name,
                         "/f")

    def assertProductInstalled(self, state):
        self.assertIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertIn("Lumenquill printer", [d["name"] for d in state["drivers"]])
        self.assertTrue(self.machine.exists(MONITOR_DLL))
        for path in DRIVER_FILES:
            self.assertTrue(self.machine.exists(path), path)
        for path in STAGED_FILES:
            self.assertFalse(self.machine.exists(path), "staged copy left behind: " + path)
        self.assertEqual(state["autostart"], e2e.TRAY_EXE)
        self.assertTrue(state["tray_mutex"], "the tray companion runs")
        self.assertEqual(state["pending_renames"], [])

    # ---- scenarios
    def test_install_on_a_clean_system(self):
        result = self.install("install", "{hwnd}")
        # Wine: the fallback printer cannot be created (see above), so the
        # install reports error 15 and shows its log, owned by the setup window.
        self.assertEqual(result.exit_code, 100, result)
        self.assertTrue(result.dialog and result.owned, result)
        self.assertEqual(result.title, "Lumenquill build 2542- Install error log!")
        self.assertTrue(result.log.startswith("Lumenquill 2542\n>Check Spooler\n"), result)
        self.assertIn(">>0010\n>ReInstall\n    >UnInstall\n", result.log)
        self.assertIn("    >AddMonitor\n", result.log)
        self.assertIn("      AddMonitor - OK :)\n", result.log)
        self.assertIn("    >Add Printer Driver\n", result.log)
        self.assertIn(WINE_ADD_PRINTER_ERROR, result.log)
        self.assertEqual(result.log.count("Error("), 1, result)
        self.assertNotIn(">>0020", result.log)
        state = self.machine.state()
        self.assertProductInstalled(state)
        driver = [d for d in state["drivers"] if d["name"] == "Lumenquill printer"][0]
        self.assertEqual(driver["config"], DRIVER_FILES[1])
        self.assertEqual(driver["help"], DRIVER_FILES[2])

    def test_install_again_keeps_the_compatible_monitor(self):
        self.install("install", "{hwnd}")
        result = self.install("install", "{hwnd}")
        self.assertEqual(result.exit_code, 100, result)
        self.assertIn("Version (2542) is compatible, proceed without uninstall", result.log)
        self.assertIn("InstallMonitor == 0, CopyMonitor == 1", result.log)
        self.assertNotIn(">AddMonitor", result.log)
        # Wine: the first install's printer is listed but cannot be opened,
        # and the driver's files cannot be deleted with it.
        self.assertIn("Error(16): Can`t open printer 'Lumenquill'", result.log)
        self.assertIn(WINE_DELETE_DRIVER_ERROR, result.log)
        self.assertIn(">Restart Spooler", result.log)
        self.assertIn(WINE_ADD_PRINTER_ERROR, result.log)
        state = self.machine.state()
        self.assertProductInstalled(state)
        self.assertTrue(state["tray_window"], "the companion was stopped and started again")

    def test_probes_against_printers_the_test_created(self):
        self.install("in_notray", "{hwnd}")
        self.forget_printer("Lumenquill")
        self.assertEqual(self.install("onChkDrv").exit_code, 3, "no printer of the product")
        for name in ("Lumenquill A", "Lumenquill B"):
            self.assertEqual(self.machine.tool("add-printer", name), 0)
        state = self.machine.state()
        names = [p["name"] for p in state["printers"]]
        self.assertEqual(names[:2], ["Lumenquill A", "Lumenquill B"])
        self.assertEqual(self.install("onChkDrv").exit_code, 103, "driver of build 2542")
        self.assertEqual(self.install("onInit").exit_code, 102, "the default is not the product's")
        self.assertEqual(self.install("def.set").exit_code, 4)
        self.assertEqual(self.machine.state()["default"], "Lumenquill A", "the first one")
        self.assertEqual(self.install("onInit").exit_code, 3, "now it is")
        self.assertEqual(self.install("DEF.SET").exit_code, 6, "def.set is exact")

    def test_on_init_with_a_product_dll_queued_for_the_restart_and_in_use(self):
        os.makedirs(self.machine.unix(r"C:\Queued"))
        shutil.copy2(os.path.join(self.machine.build.payload, "kvnui64.dll"),
                     self.machine.unix(r"C:\Queued\KVNUI64.DLL"))
        self.assertEqual(self.machine.tool("queue-delete", r"C:\Queued\KVNUI64.DLL"), 0)
        self.machine.hold_loaded(r"C:\Queued\KVNUI64.DLL")
        result = self.install("onInit")
        self.assertEqual(result.exit_code, 200, "the system must restart first")
        self.assertFalse(result.dialog, "probes show nothing")
        self.assertTrue(self.machine.exists(r"C:\Queued\KVNUI64.DLL"))
        self.machine.restart()
        self.assertFalse(self.machine.exists(r"C:\Queued\KVNUI64.DLL"))
        self.assertEqual(self.install("onInit").exit_code, 102)

    def test_on_init_carries_out_queued_deletions_it_can(self):
        os.makedirs(self.machine.unix(r"C:\Queued"))
        shutil.copy2(os.path.join(self.machine.build.payload, "kvnmon64.dll"),
                     self.machine.unix(r"C:\Queued\kvnmon64.dll"))
        self.assertEqual(self.machine.tool("queue-delete", r"C:\Queued\kvnmon64.dll"), 0)
        self.assertEqual(self.install("onInit").exit_code, 102)
        self.assertFalse(self.machine.exists(r"C:\Queued\kvnmon64.dll"), "deleted at once")
        # The system's queue itself is never written.
        self.assertEqual(len(self.machine.state()["pending_renames"]), 2)

    def test_removetray_stops_the_running_tray_companion(self):
        self.install("install", "{hwnd}")
        before = self.machine.state()
        self.assertTrue(before["tray_mutex"] and before["tray_window"])
        result = self.install("removetray")
        self.assertEqual(result.exit_code, 6)
        after = self.machine.state()
        self.assertFalse(after["tray_mutex"])
        self.assertFalse(after["tray_window"])
        self.assertIsNone(after["autostart"])
        # The program file the autostart value named goes with it.
        self.assertFalse(self.machine.exists(e2e.TRAY_EXE))

    def test_an_open_help_window_is_closed_by_the_install(self):
        for _ in range(2):
            self.machine.start("hh.exe", e2e.X64_DIR + r"\kvnhelp.chm")
        # Both viewers must be up before the install looks for them.
        self.assertEqual(
            self.machine.tool("wait-windows", "HH Parent", "Lumenquill Help", "2", "30"), 0)
        result = self.install("in_notray", "{hwnd}")
        self.assertEqual(result.exit_code, 100, result)
        self.assertFalse(self.machine.state()["help_window"])

    def test_uninstall_removes_the_product(self):
        self.install("install", "{hwnd}")
        result = self.install("uninstall", "{hwnd}")
        # Wine: the driver cannot be deleted with its files (87), and the
        # first install's printer is listed but cannot be opened (1801).
        self.assertEqual(result.exit_code, 100, result)
        self.assertTrue(result.owned)
        self.assertIn("Error(16): Can`t open printer 'Lumenquill'", result.log)
        self.assertIn(WINE_DELETE_DRIVER_ERROR, result.log)
        self.assertEqual(result.log.count("Error("), 2, result)
        self.assertIn("Monitor was removed :)", result.log)
        state = self.machine.state()
        self.assertNotIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertFalse(self.machine.exists(MONITOR_DLL))
        self.assertIsNone(state["autostart"])
        self.assertFalse(state["tray_mutex"])
        self.assertEqual(state["pending_renames"], [])

    def test_uninstall_of_a_monitor_whose_dll_stays_loaded_needs_a_restart(self):
        shutil.copy2(os.path.join(self.machine.build.payload, "kvnmon64.dll"),
                     self.machine.unix(MONITOR_DLL))
        self.assertEqual(self.machine.tool("add-monitor"), 0)
        self.machine.hold_loaded(MONITOR_DLL)
        result = self.install("uninstall", "{hwnd}")
        self.assertEqual(result.exit_code, 101, result)
        self.assertFalse(result.dialog)
        state = self.machine.state()
        self.assertNotIn("Lumenquill:", [m["name"] for m in state["monitors"]])
        self.assertEqual(state["pending_renames"], ["\\??\\" + MONITOR_DLL, ""])
        self.assertTrue(self.machine.exists(MONITOR_DLL))
        self.machine.restart()
        self.assertFalse(self.machine.exists(MONITOR_DLL), "deleted at the restart")
        self.assertEqual(self.machine.state()["pending_renames"], [])

    def test_a_log_on_after_an_install_starts_the_tray_companion(self):
        self.install("install", "{hwnd}")
        self.machine.restart()
        self.assertFalse(self.machine.state()["tray_mutex"])
        self.machine.log_on()
        self.assertEqual(self.machine.tool("wait-window", e2e.TRAY_CLASS, "-", "30"), 0)
        self.assertTrue(self.machine.state()["tray_mutex"])

    def test_shift_held_during_an_uninstall_without_errors_shows_the_log(self):
        plain = self.install("uninstall", "{hwnd}")
        self.assertEqual(plain.exit_code, 2)
        self.assertFalse(plain.dialog, "no error, no Shift: no window")
        result = self.install("uninstall", "{hwnd}", shift=True)
        self.assertEqual(result.exit_code, 2, result)
        self.assertTrue(result.dialog and result.owned, result)
        self.assertEqual(result.title, "Lumenquill build 2542- Install log.")
        self.assertIn(">UnInstall\n  EnumMonitors\n", result.log)
        self.assertNotIn("DeleteFile-try", result.log)


if __name__ == "__main__":
    unittest.main()
