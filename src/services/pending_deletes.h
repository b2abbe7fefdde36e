// Files of the product that could not be deleted when a step wanted them gone.
// The procedures retry them (also with the spooler stopped), drop them, or
// hand what is left to the system for deletion at the next restart.
#pragma once

#include <cstdint>

namespace session {
struct InstallSession;
}

namespace services {

// A node of the PendingDeleteList; the list owns the node and its path copy.
// New nodes go in at the head, so walks visit the most recent path first.
struct PendingDeleteNode {
  wchar_t* path;
  PendingDeleteNode* next;
};

// Adds the path at the head unless an equal path (case-sensitive) is there.
void AddPendingDelete(PendingDeleteNode*& head, const wchar_t* path);
// Deletes the file now, or remembers it when that fails, whatever the reason.
void DeleteOrDefer(session::InstallSession& session, const wchar_t* path);
// Deletes what it can of the list; paths that are gone leave it too.
void DeleteFileTry(session::InstallSession& session);
// Registers every path for deletion at the next restart and empties the list;
// returns how many the system accepted.
uint32_t ScheduleRebootDeletes(session::InstallSession& session);
// Empties the list without scheduling anything.
void DiscardPendingDeletes(session::InstallSession& session);

}  // namespace services
