"""An elevated program started from a folder anyone can write to must not
load a DLL planted there in place of a system DLL."""
import os
import shutil
import unittest

import e2e

PLANTED = ("version.dll", "winspool.drv")
WORDS = ("install", "in_notray", "uninstall", "onInit", "onChkDrv", "def.set", "removetray",
         "no-such-word", None)


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        self.machine = e2e.Machine(e2e.current_build(), self.id().split(".")[-1],
                                   e2e.current_template())
        build = self.machine.build
        for name in PLANTED:
            shutil.copy2(os.path.join(build.work, "..", "tests", "e2e", "planted.dll"),
                         self.machine.unix(e2e.X64_DIR + "\\" + name))
        # Wine prefers its own copies of the DLLs it implements; told to
        # prefer a native winspool.drv, it loads a planted one wherever the
        # search finds it first. Wine: version.dll cannot be told so, since
        # Wine's own user32 imports it when any program starts, before the
        # program's code runs (on Windows, user32 is a known DLL whose imports
        # come from the system directory); version.dll is checked under Wine's
        # default order, and its load goes the same way as winspool.drv's.
        self.machine.env["WINEDLLOVERRIDES"] += ";winspool.drv=n,b"

    def tearDown(self):
        self.machine.dispose()

    def markers(self):
        folder = self.machine.unix(e2e.X64_DIR)
        return sorted(name for name in os.listdir(folder) if name.endswith(".marker"))

    def clear_markers(self):
        for name in self.markers():
            os.remove(os.path.join(self.machine.unix(e2e.X64_DIR), name))

    def test_a_program_that_searches_its_own_folder_would_load_them(self):
        # The planted copies work: an ordinary search, which starts with the
        # program's folder, loads them.
        tool = self.machine.unix(e2e.X64_DIR + r"\e2e_tool.exe")
        shutil.copy2(self.machine.build.tool, tool)
        self.machine.run(tool, "load-library", "winspool.drv")
        self.assertEqual([name.lower() for name in self.markers()],
                         ["planted-winspool.drv.marker"])

    def test_install_never_loads_them_whatever_the_command_word(self):
        for word in WORDS:
            arguments = [word, "{hwnd}"] if word else []
            result = self.machine.install(*arguments)
            self.assertIn(result.exit_code, (1, 2, 3, 4, 6, 100, 101, 102, 103, 200), word)
            self.assertEqual(self.markers(), [], f"a planted DLL was loaded by '{word}'")
        # The work was done with the system's DLLs all the same.
        self.assertIn("Lumenquill printer", [d["name"] for d in self.machine.state()["drivers"]])


if __name__ == "__main__":
    unittest.main()
