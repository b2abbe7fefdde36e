// Closing the product's open help viewer windows before the product's files
// are replaced or removed.
#pragma once

namespace companions {

// Requests at most this many closes, 50 ms apart, over all windows: a
// viewer needs a few seconds to go away, and one that ignores the request
// must not hang the install.
inline constexpr int kMaxHelpCloseRequests = 200;

// Asks every top-level help viewer window titled "Lumenquill Help" to close,
// one after another; windows with other titles stay open.
void CloseHelpWindows();

}  // namespace companions
