// Deleting a file by a path that someone else may have had a hand in: a
// queued deletion from the restart queue, the companion's program file named
// by its autostart value. Such a path may run through a folder an ordinary
// user controls (their Temp folder, a folder under the Windows folder's
// Temp); a junction, mount point or link put anywhere in it would make this
// elevated program delete whatever it leads to.
#pragma once

namespace services {

// Deletes the file the path names, and only that file: it is opened without
// following a final link, the system's own path for what was opened must be
// the path given (letter case and the kind of separator aside), and it is
// deleted through that handle. True when it was deleted; otherwise false with
// the last error set: ERROR_CANT_ACCESS_FILE when the path leads elsewhere or
// the system cannot say where it leads.
bool DeleteNamedFile(const wchar_t* path);

}  // namespace services
