// Resource identifiers of kvnui64.dll. Plain C preprocessor only: read by the
// resource compiler too.
#pragma once

#define IDD_CAPTURE_PAGE 100
#define IDC_JOBS_FOLDER 101
