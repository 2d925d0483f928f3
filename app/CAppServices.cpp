#include "CAppServices.h"

#include <atomic>

bool CAppServices::StartWorkThread(int, CDeviceBase*) { return false; }
bool CAppServices::DestoryWorkThread(const DeviceDescriptor&) { return false; }
void CAppServices::SetBoardConnected(bool) {}
void CAppServices::PostAppRequest(int) {}
void CAppServices::SendDatagram(const char*, int) {}
void CAppServices::AdviseCommandClient(const char*) {}
void CAppServices::ReloadCalibration() {}
bool CAppServices::OpenDualChannel(int) { return false; }
void CAppServices::CloseDualChannel() {}
void CAppServices::SendDualPoint(int, int, int) {}
void CAppServices::ReleaseBoard(const DeviceDescriptor&) {}
void CAppServices::RescanCameras() {}
bool CAppServices::SendWorkCommand(int, int) { return false; }
bool CAppServices::IsLongTimerRunning() { return false; }
void CAppServices::StopLongTimer() {}
void CAppServices::StopShortTimer() {}
void CAppServices::RightClickAtWorkPoint() {}
bool CAppServices::IsBoardConnected() { return false; }
bool CAppServices::HasWorkThread() { return false; }
void CAppServices::ReleaseServedBoard() {}

namespace
{
CAppServices g_NullServices;
std::atomic<CAppServices*> g_pServices{&g_NullServices};
}

CAppServices& AppServices() { return *g_pServices.load(std::memory_order_acquire); }

CAppServices* SetAppServices(CAppServices* p)
{
    CAppServices* prev = g_pServices.exchange(p ? p : &g_NullServices, std::memory_order_acq_rel);
    return prev == &g_NullServices ? nullptr : prev;
}
