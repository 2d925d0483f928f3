#include "IpcTestSupport.h"

#include <wx/app.h>
#include <wx/apptrait.h>

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ipc_test
{
CRecordingServices::CRecordingServices()
{
    SetAppServices(this);
}

CRecordingServices::~CRecordingServices()
{
    SetAppServices(nullptr);
}

bool CRecordingServices::SendWorkCommand(int code, int value)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Commands.emplace_back(code, value);
    return m_bWork;
}

void CRecordingServices::ReleaseServedBoard()
{
    ++m_nReleased;
}

void CRecordingServices::RescanCameras()
{
    ++m_nRescans;
}

std::vector<std::pair<int, int>> CRecordingServices::Commands()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Commands;
}

void CRecordingServices::ClearCommands()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Commands.clear();
}

// The test main runs a console application; wxTheApp would downcast it to
// the GUI application class it is not.
CEventPump::CEventPump() : m_pLoop(wxAppConsole::GetInstance()->GetTraits()->CreateEventLoop())
{
    m_pActivator = new wxEventLoopActivator(m_pLoop.get());
}

CEventPump::~CEventPump()
{
    // Let sockets scheduled for destruction go before the loop does.
    Pump(0);
    delete m_pActivator;
}

void CEventPump::Pump(int ms)
{
    m_pLoop->DispatchTimeout(ms);
    wxAppConsole::GetInstance()->ProcessPendingEvents();
    wxAppConsole::GetInstance()->ProcessIdle();
}

bool CEventPump::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Pump(10);
    }
    return true;
}

int BoundSocket(int type, const char* ip, int port, bool reuse)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    if (reuse)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

int LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    return ntohs(a.sin_port);
}

std::string NonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs* p = list; p && found.empty(); p = p->ifa_next)
    {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET)
            continue;
        const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
        if ((ntohl(a->sin_addr.s_addr) >> 24) == 127)
            continue;
        char buf[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &a->sin_addr, buf, sizeof(buf)))
            found = buf;
    }
    freeifaddrs(list);
    return found;
}

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}
} // namespace ipc_test
