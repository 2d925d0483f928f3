#include "ipc/CIpcGate.h"

#include "app/CClock.h"
#include "ipc/LocalSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace
{
// How often the gate looks at the clock while a client has not named its
// topic yet, and how soon it retries the server when its backlog was full.
constexpr int DEADLINE_TICK_MS = 100;
constexpr int SERVER_RETRY_MS = 50;
constexpr int ACCEPT_RETRY_MS = 100;

bool WouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

void CloseFd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}
} // namespace

// One client and, once it has named its topic, its connection to the server.
// Buffers are fixed so relaying allocates nothing.
struct CIpcGate::CPair
{
    bool used = false;
    int tcp = -1;                // the client; -1 once closed
    int ux = -1;                 // the server; -1 before CONNECT or once closed
    bool reading = false;        // still taking bytes from the client
    bool awaitingServer = false; // CONNECT is complete but the server's backlog was full
    bool serverGone = false;     // the server closed: pass on what it sent, then close
    int64_t deadline = 0;        // CONNECT must be complete by then
    CIpcMessageFilter filter;
    // Client bytes read but not yet through the filter.
    uint8_t in[4096];
    size_t inOff = 0, inLen = 0;
    // Complete messages waiting for the server.
    uint8_t up[2 * CIpcMessageFilter::MAX_MESSAGE];
    size_t upLen = 0;
    // Server bytes waiting for the client.
    uint8_t down[4096];
    size_t downOff = 0, downLen = 0;
};

CIpcGate::CIpcGate() : m_pPairs(new CPair[MAX_CLIENTS]) {}

CIpcGate::~CIpcGate()
{
    Stop();
}

bool CIpcGate::Start(uint16_t port, const std::string& target)
{
    if (m_Thread.joinable() || target.empty() || target.size() >= sizeof(sockaddr_un::sun_path))
        return false;
    m_strTarget = target;

    m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int one = 1;
    sockaddr_in addr;
    LoopbackAddress(&addr, port);
    socklen_t len = sizeof(addr);
    bool ok = m_nListen >= 0 && m_nWake >= 0 &&
              setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
              bind(m_nListen, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 &&
              listen(m_nListen, SOMAXCONN) == 0 &&
              getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (ok)
    {
        m_nPort = ntohs(addr.sin_port);
        try
        {
            m_Thread = std::thread(&CIpcGate::Run, this);
        }
        catch (const std::system_error&)
        {
            ok = false;
        }
    }
    if (!ok)
    {
        CloseFd(&m_nListen);
        CloseFd(&m_nWake);
        m_nPort = 0;
    }
    return ok;
}

void CIpcGate::Stop()
{
    if (m_Thread.joinable())
    {
        uint64_t one = 1;
        (void)!write(m_nWake, &one, sizeof(one));
        m_Thread.join();
    }
    CloseFd(&m_nListen);
    CloseFd(&m_nWake);
    m_nPort = 0;
}

void CIpcGate::Run()
{
    pollfd fds[2 + 2 * MAX_CLIENTS];
    int tcpAt[MAX_CLIENTS];
    int uxAt[MAX_CLIENTS];
    bool acceptPaused = false;
    for (;;)
    {
        int n = 0;
        fds[n++] = {m_nWake, POLLIN, 0};
        // Out of descriptors the waiting client stays queued and the listener
        // readable: look again a little later instead of spinning.
        fds[n++] = {acceptPaused ? -1 : m_nListen, POLLIN, 0};
        int timeout = acceptPaused ? ACCEPT_RETRY_MS : -1;
        acceptPaused = false;
        for (int k = 0; k < MAX_CLIENTS; ++k)
        {
            CPair& p = m_pPairs[k];
            tcpAt[k] = uxAt[k] = -1;
            if (!p.used)
                continue;
            short te = 0, ue = 0;
            if (p.tcp >= 0 && p.reading && p.inOff == p.inLen)
                te |= POLLIN;
            if (p.tcp >= 0 && p.downOff < p.downLen)
                te |= POLLOUT;
            // The server is read only when its last bytes have gone on.
            if (p.ux >= 0 && p.tcp >= 0 && p.downOff == p.downLen)
                ue |= POLLIN;
            if (p.ux >= 0 && p.upLen > 0)
                ue |= POLLOUT;
            if (te)
            {
                tcpAt[k] = n;
                fds[n++] = {p.tcp, te, 0};
            }
            if (ue)
            {
                uxAt[k] = n;
                fds[n++] = {p.ux, ue, 0};
            }
            const int wait = p.awaitingServer ? SERVER_RETRY_MS : !p.filter.Connected() ? DEADLINE_TICK_MS : -1;
            if (wait >= 0 && (timeout < 0 || wait < timeout))
                timeout = wait;
        }

        if (poll(fds, n, timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;

        // Clients first, so a slot freed by a leaving client can take the
        // one that arrived with it.
        const int64_t now = Clock().NowMs();
        for (int k = 0; k < MAX_CLIENTS; ++k)
        {
            CPair& p = m_pPairs[k];
            if (!p.used)
                continue;
            if (p.awaitingServer)
                ConnectServer(p);
            Step(p, tcpAt[k] >= 0 ? fds[tcpAt[k]].revents : 0, uxAt[k] >= 0 ? fds[uxAt[k]].revents : 0);
            if (p.tcp >= 0 && !p.filter.Connected() && now >= p.deadline)
                ClientGone(p);
            Settle(p);
        }
        if (fds[1].revents & POLLIN)
            acceptPaused = !Accept();
    }

    for (int k = 0; k < MAX_CLIENTS; ++k)
        FinalFlush(m_pPairs[k]);
    CloseAll();
}

bool CIpcGate::Accept()
{
    for (;;)
    {
        int fd = accept4(m_nListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        }
        CPair* slot = nullptr;
        for (int k = 0; k < MAX_CLIENTS && !slot; ++k)
        {
            if (!m_pPairs[k].used)
                slot = &m_pPairs[k];
        }
        if (!slot)
        {
            close(fd);
            continue;
        }
        // Answers are a few bytes each; do not let them wait for more.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        CPair& p = *slot;
        p.used = true;
        p.tcp = fd;
        p.ux = -1;
        p.reading = true;
        p.awaitingServer = false;
        p.serverGone = false;
        p.deadline = Clock().NowMs() + CONNECT_TIMEOUT_MS;
        p.filter.Reset();
        p.inOff = p.inLen = 0;
        p.upLen = 0;
        p.downOff = p.downLen = 0;
    }
}

void CIpcGate::Step(CPair& p, short tcpEvents, short uxEvents)
{
    if (uxEvents & (POLLIN | POLLHUP | POLLERR))
        ReadServer(p);
    WriteClient(p);
    if (tcpEvents & (POLLIN | POLLHUP | POLLERR))
        ReadClient(p);
    do
        WriteServer(p);
    while (Filter(p));
}

void CIpcGate::ConnectServer(CPair& p)
{
    p.awaitingServer = false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        ClientGone(p);
        return;
    }
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, m_strTarget.c_str(), m_strTarget.size());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0)
    {
        p.ux = fd;
        return;
    }
    const int err = errno;
    close(fd);
    // A full backlog means the server is busy, not gone: try again shortly.
    if (WouldBlock(err))
        p.awaitingServer = true;
    else
        ClientGone(p);
}

bool CIpcGate::Filter(CPair& p)
{
    bool queued = false;
    while (p.reading && p.inOff < p.inLen && sizeof(p.up) - p.upLen >= CIpcMessageFilter::MAX_MESSAGE)
    {
        size_t used = 0;
        CIpcMessageFilter::Result r = p.filter.Feed(p.in + p.inOff, p.inLen - p.inOff, &used);
        p.inOff += used;
        if (r == CIpcMessageFilter::FAULT)
        {
            ClientGone(p);
            break;
        }
        if (r != CIpcMessageFilter::MESSAGE)
            continue;
        std::memcpy(p.up + p.upLen, p.filter.Message(), p.filter.MessageSize());
        p.upLen += p.filter.MessageSize();
        queued = true;
        // The server hears of a client only once it has named its topic.
        if (p.ux < 0 && !p.awaitingServer && !p.serverGone)
            ConnectServer(p);
    }
    return queued;
}

void CIpcGate::ReadClient(CPair& p)
{
    if (p.tcp < 0 || !p.reading || p.inOff < p.inLen)
        return;
    ssize_t r = recv(p.tcp, p.in, sizeof(p.in), MSG_DONTWAIT);
    if (r > 0)
    {
        p.inOff = 0;
        p.inLen = static_cast<size_t>(r);
    }
    else if (r == 0 || !WouldBlock(errno))
    {
        ClientGone(p);
    }
}

void CIpcGate::ReadServer(CPair& p)
{
    if (p.ux < 0 || p.downOff < p.downLen)
        return;
    ssize_t r = recv(p.ux, p.down, sizeof(p.down), MSG_DONTWAIT);
    if (r > 0)
    {
        p.downOff = 0;
        p.downLen = p.tcp >= 0 ? static_cast<size_t>(r) : 0;
    }
    else if (r == 0 || !WouldBlock(errno))
    {
        ServerGone(p);
    }
}

void CIpcGate::WriteClient(CPair& p)
{
    if (p.tcp < 0 || p.downOff == p.downLen)
        return;
    ssize_t r = send(p.tcp, p.down + p.downOff, p.downLen - p.downOff, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0)
    {
        p.downOff += static_cast<size_t>(r);
        if (p.downOff == p.downLen)
            p.downOff = p.downLen = 0;
    }
    else if (r < 0 && !WouldBlock(errno))
    {
        ClientGone(p);
    }
}

void CIpcGate::WriteServer(CPair& p)
{
    if (p.ux < 0 || p.upLen == 0)
        return;
    ssize_t r = send(p.ux, p.up, p.upLen, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0)
    {
        p.upLen -= static_cast<size_t>(r);
        std::memmove(p.up, p.up + r, p.upLen);
    }
    else if (r < 0 && !WouldBlock(errno))
    {
        ServerGone(p);
    }
}

// The client left or broke the protocol. Complete messages already queued
// still reach the server (Settle closes its side once they are written), so
// the server never sees half a message; a client that never named its topic
// never reaches the server at all.
void CIpcGate::ClientGone(CPair& p)
{
    CloseFd(&p.tcp);
    p.reading = false;
    p.inOff = p.inLen = 0;
    p.downOff = p.downLen = 0;
    if (p.ux < 0)
    {
        p.upLen = 0;
        p.awaitingServer = false;
    }
}

// The server closed the connection (or it failed): what it sent before still
// goes to the client, the client's further bytes go nowhere.
void CIpcGate::ServerGone(CPair& p)
{
    CloseFd(&p.ux);
    p.serverGone = true;
    p.reading = false;
    p.awaitingServer = false;
    p.inOff = p.inLen = 0;
    p.upLen = 0;
}

void CIpcGate::Settle(CPair& p)
{
    if (!p.used)
        return;
    if (p.tcp < 0 && p.ux >= 0 && p.upLen == 0)
        CloseFd(&p.ux);
    if (p.serverGone && p.tcp >= 0 && p.downOff == p.downLen)
        CloseFd(&p.tcp);
    if (p.tcp < 0 && p.ux < 0 && !p.awaitingServer)
        Release(p);
}

void CIpcGate::Release(CPair& p)
{
    CloseFd(&p.tcp);
    CloseFd(&p.ux);
    p.used = false;
    p.reading = false;
    p.awaitingServer = false;
}

// On the way down the server has usually just said goodbye (its disconnect
// message); hand that to the client before closing.
void CIpcGate::FinalFlush(CPair& p)
{
    if (!p.used || p.tcp < 0)
        return;
    for (int round = 0; round < 64; ++round)
    {
        if (p.downOff == p.downLen)
        {
            if (p.ux < 0)
                break;
            ssize_t r = recv(p.ux, p.down, sizeof(p.down), MSG_DONTWAIT);
            if (r <= 0)
                break;
            p.downOff = 0;
            p.downLen = static_cast<size_t>(r);
        }
        ssize_t w = send(p.tcp, p.down + p.downOff, p.downLen - p.downOff, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w <= 0)
            break;
        p.downOff += static_cast<size_t>(w);
    }
}

void CIpcGate::CloseAll()
{
    for (int k = 0; k < MAX_CLIENTS; ++k)
        Release(m_pPairs[k]);
}
