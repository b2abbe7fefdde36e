// The setup package's questions, answered without a session: nothing is
// logged or counted, and every failure shows only in the answer.
#pragma once

namespace procedures {

// Whether a product DLL (monitor, driver or UI of the 64-bit set) is still
// the source of one of the system's restart-time operations after the queued
// deletions that can be carried out now were; the spooler is restarted after
// each pass that finds one, and at most two passes run.
bool CheckPendingFiles();
// False only when the default printer uses the product's driver.
bool CheckDefaultPrinter();
// Whether the first printer of the product has a driver file of a build
// above 2450.
bool CheckDriverVersion();
// Makes the first printer of the product the default printer.
void SelectDefaultPrinter();

}  // namespace procedures
