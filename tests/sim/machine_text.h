// The simulated machine as text: one line an object, a word naming its kind,
// quoted names and values, then attributes (key=value); the same language
// arranges a machine before a run and describes it after one. For example:
//
//   file "C:\Windows\system32\kvnmon64.dll" bytes="old" build=2542 lock=spooler
//   printer "Mine" port="Lumenquill:" driver="Lumenquill printer" comment="2nd floor"
//   data "Mine" "PrinterDriverData\SubKey" sz "u1\a"
//   reg "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run" "LumenquillTray" sz "C:\x.exe"
//   service state=stopped start=-1
//   fail DeletePrinterDriverExW times=2 error=3001
#pragma once

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// Applies one line; false when the line means nothing.
bool Load(Sim& sim, const std::wstring& line);
// Every object of the machine as a line of the same language, in a fixed order.
std::vector<std::wstring> Dump(Sim& sim);

}  // namespace sim
