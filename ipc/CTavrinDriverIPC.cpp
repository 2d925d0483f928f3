#include "ipc/CTavrinDriverIPC.h"

#include "app/CAppServices.h"
#include "app/CClock.h"
#include "ipc/LocalSocket.h"
#include "ipc/MyConnection.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// How long the camera viewer's connection waits after the served board was
// released, so the camera is free when the viewer opens it.
constexpr int CAMVIEWER_RELEASE_WAIT_MS = 2000;

bool IsCommandTopic(const wxString& topic)
{
    return topic == "Orient" || topic == "SideKey" || topic == "PENSET" || topic == "DriversSet" ||
           topic == "SetSpeed";
}

bool LocalAddress(int fd, sockaddr_in* addr)
{
    socklen_t len = sizeof(*addr);
    std::memset(addr, 0, sizeof(*addr));
    return getsockname(fd, reinterpret_cast<sockaddr*>(addr), &len) == 0 && addr->sin_family == AF_INET &&
           len == sizeof(*addr);
}
} // namespace

CTavrinDriverIPC::CTavrinDriverIPC() = default;

CTavrinDriverIPC::~CTavrinDriverIPC()
{
    DropConnection();
}

bool CTavrinDriverIPC::Create(const wxString& service)
{
    // A name with a '/' would make the toolkit listen on a Unix socket path;
    // only a decimal port is a valid service here.
    unsigned long port = 0;
    if (service.empty() || service.find_first_not_of("0123456789") != wxString::npos ||
        !service.ToULong(&port) || port > 65535)
        return false;
    if (!wxTCPServer::Create(service))
        return false;
    if (!RebindToLoopback())
    {
        m_server->SetClientData(nullptr);
        m_server->Destroy();
        m_server = nullptr;
        return false;
    }
    return true;
}

// The toolkit always listens on the any-address. Replace the listening socket
// behind its descriptor with one bound to 127.0.0.1 on the same port, so that
// no other host can even connect. The toolkit keeps using the descriptor
// number; its event-loop registration is dropped before the swap and made
// again afterwards (switching the socket to blocking and back does both).
bool CTavrinDriverIPC::RebindToLoopback()
{
    if (!m_server || !m_server->IsOk())
        return false;
    const int fd = static_cast<int>(m_server->GetSocket());
    sockaddr_in addr;
    if (fd < 0 || !LocalAddress(fd, &addr))
        return false;
    const uint16_t port = ntohs(addr.sin_port);

    const wxSocketFlags flags = m_server->GetFlags();
    m_server->SetFlags(flags | wxSOCKET_BLOCK);

    bool ok = false;
    int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fresh >= 0)
    {
        // dup2 closes the any-address listener and frees the port at once.
        ok = dup2(fresh, fd) == fd;
        close(fresh);
    }
    if (ok)
    {
        int one = 1;
        sockaddr_in loop;
        LoopbackAddress(&loop, port);
        int fdflags = fcntl(fd, F_GETFD);
        int flflags = fcntl(fd, F_GETFL);
        ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
             bind(fd, reinterpret_cast<const sockaddr*>(&loop), sizeof(loop)) == 0 && listen(fd, 5) == 0 &&
             fdflags >= 0 && fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC) == 0 && flflags >= 0 &&
             fcntl(fd, F_SETFL, flflags | O_NONBLOCK) == 0;
    }

    m_server->SetFlags(flags);

    return ok && LocalAddress(fd, &addr) && addr.sin_addr.s_addr == htonl(INADDR_LOOPBACK) &&
           ntohs(addr.sin_port) == port;
}

int CTavrinDriverIPC::GetPort() const
{
    if (!m_server || !m_server->IsOk())
        return 0;
    sockaddr_in addr;
    if (!LocalAddress(static_cast<int>(m_server->GetSocket()), &addr))
        return 0;
    return ntohs(addr.sin_port);
}

void CTavrinDriverIPC::DropConnection()
{
    if (!m_pConnection)
        return;
    m_pConnection->Disconnect();
    delete m_pConnection;
    m_pConnection = nullptr;
}

wxConnectionBase* CTavrinDriverIPC::OnAcceptConnection(const wxString& topic)
{
    DropConnection();

    if (IsCommandTopic(topic))
    {
        m_pConnection = new MyConnection;
        return m_pConnection;
    }
    if (topic == "CAMVIEWER")
    {
        m_pConnection = new MyConnection;
        if (AppServices().IsBoardConnected() && AppServices().HasWorkThread())
            AppServices().ReleaseServedBoard();
        Clock().SleepMs(CAMVIEWER_RELEASE_WAIT_MS);
        return m_pConnection;
    }
    return nullptr;
}

void CTavrinDriverIPC::MakeAdviseBlock(const wxString& text, char block[ADVISE_SIZE])
{
    std::memset(block, 0, ADVISE_SIZE);
    wxCharBuffer mb = text.mb_str(*wxConvCurrent);
    if (mb.data())
    {
        size_t n = std::min(std::strlen(mb.data()), ADVISE_SIZE);
        std::memcpy(block, mb.data(), n);
    }
    block[ADVISE_SIZE - 1] = 0;
}

void CTavrinDriverIPC::AdviseClient(const wxString& text)
{
    if (!m_pConnection || m_pConnection->GetItem().empty())
        return;
    char block[ADVISE_SIZE];
    MakeAdviseBlock(text, block);
    m_pConnection->Advise(m_pConnection->GetItem(), block, ADVISE_SIZE, wxIPC_PRIVATE);
}
