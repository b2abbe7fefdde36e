#include "services/pending_deletes.h"

#include <cwchar>

#include "base/memory.h"
#include "platform/system_api.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace services {
namespace {

using platform::Sys;

void FreeNode(PendingDeleteNode* node) {
  base::FreeBlock(node->path);
  base::FreeBlock(node);
}

}  // namespace

void AddPendingDelete(PendingDeleteNode*& head, const wchar_t* path) {
  for (PendingDeleteNode* node = head; node != nullptr; node = node->next) {
    if (std::wcscmp(node->path, path) == 0) {
      return;
    }
  }
  auto* node = static_cast<PendingDeleteNode*>(base::AllocateBlock(sizeof(PendingDeleteNode)));
  wchar_t* copy = node != nullptr ? base::CopyText(path) : nullptr;
  if (copy == nullptr) {
    base::FreeBlock(node);  // without memory the path cannot be remembered
    return;
  }
  node->path = copy;
  node->next = head;
  head = node;
}

void DeleteOrDefer(session::InstallSession& session, const wchar_t* path) {
  if (!Sys().DeleteFileW(path) && path[0] != 0) {
    AddPendingDelete(session.PendingDeletes, path);
  }
}

void DeleteFileTry(session::InstallSession& session) {
  session::LogLine(session, L"DeleteFile-try");
  PendingDeleteNode** link = &session.PendingDeletes;
  while (*link != nullptr) {
    PendingDeleteNode* node = *link;
    if (Sys().DeleteFileW(node->path) || Sys().GetLastError() == ERROR_FILE_NOT_FOUND) {
      *link = node->next;
      FreeNode(node);
    } else {
      link = &node->next;  // in use, or its directory is gone: kept for later
    }
  }
}

uint32_t ScheduleRebootDeletes(session::InstallSession& session) {
  uint32_t accepted = 0;
  for (PendingDeleteNode* node = session.PendingDeletes; node != nullptr; node = node->next) {
    if (Sys().MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      ++accepted;
    }
  }
  DiscardPendingDeletes(session);
  return accepted;
}

void DiscardPendingDeletes(session::InstallSession& session) {
  while (session.PendingDeletes != nullptr) {
    PendingDeleteNode* node = session.PendingDeletes;
    session.PendingDeletes = node->next;
    FreeNode(node);
  }
}

}  // namespace services
