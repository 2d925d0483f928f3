#pragma once
#include "app/CAppServices.h"

#include <wx/evtloop.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ipc_test
{
// Records what the channels ask of the application; board state is set by
// the test. Installed for the lifetime of the object.
class CRecordingServices : public CAppServices
{
public:
    CRecordingServices();
    ~CRecordingServices() override;

    bool SendWorkCommand(int code, int value) override;
    bool IsBoardConnected() override { return m_bConnected; }
    bool HasWorkThread() override { return m_bWork; }
    void ReleaseServedBoard() override;
    void RescanCameras() override;

    std::vector<std::pair<int, int>> Commands();
    void ClearCommands();

    bool m_bConnected = false;
    bool m_bWork = false;
    int m_nReleased = 0;
    int m_nRescans = 0;

private:
    std::mutex m_Mutex;
    std::vector<std::pair<int, int>> m_Commands;
};

// An event loop of the console kind, active for the lifetime of the object,
// so that the toolkit's sockets deliver their events in a test.
class CEventPump
{
public:
    CEventPump();
    ~CEventPump();
    // Dispatches socket events and pending events for about `ms`.
    void Pump(int ms = 10);
    // Pumps until `done` holds or `timeout` passes; returns `done()`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Runs `f` on another thread while this thread keeps the loop going;
    // returns its result (blocking client code cannot share the thread that
    // serves it).
    template <typename F>
    auto OffThread(F f, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000))
        -> decltype(f())
    {
        auto fut = std::async(std::launch::async, f);
        RunUntil([&] { return fut.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                 timeout);
        return fut.get();
    }

private:
    std::unique_ptr<wxEventLoopBase> m_pLoop;
    wxEventLoopActivator* m_pActivator = nullptr;
};

// A UDP or TCP socket bound to ip:port (port 0: any free port); -1 on failure.
int BoundSocket(int type, const char* ip, int port, bool reuse = false);
// Port a socket is bound to.
int LocalPort(int fd);
// First IPv4 address of this machine outside 127.0.0.0/8, empty if none.
std::string NonLoopbackAddress();
// Waits up to `ms` for fd to become readable.
bool WaitReadable(int fd, int ms);
} // namespace ipc_test
