#pragma once
#include <atomic>

// Process-wide flags shared by the main thread (datagram channel) and the
// work threads. Atomic so that either side may read while the other writes.
extern std::atomic<bool> g_bAppStarted;    // whiteboard application announced "Start"
extern std::atomic<bool> g_bInBoardFrame;  // last answer to "bard" was "InBoardFrm"
extern std::atomic<int> g_nDualPort;       // port named by "StartDual"/"StartDualSplit"

// Installation directory: $VELUNOR_ETP_DIR when set, else /usr/share/Velunor/ETP.
const char* InstallDir();
