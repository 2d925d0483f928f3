#include "AppGlobals.h"

#include <cstdlib>

std::atomic<bool> g_bAppStarted{false};
std::atomic<bool> g_bInBoardFrame{false};
std::atomic<int> g_nDualPort{-1};

const char* InstallDir()
{
    const char* env = std::getenv("VELUNOR_ETP_DIR");
    return (env && *env) ? env : "/usr/share/Velunor/ETP";
}
