#include "ipc/CTavrinDualSock.h"

#include "ipc/LocalSocket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

CTavrinDualSock::CTavrinDualSock() = default;

CTavrinDualSock::~CTavrinDualSock()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    CloseLocked();
}

void CTavrinDualSock::CloseLocked()
{
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = -1;
    m_nPending = 0;
}

bool CTavrinDualSock::IsConnected() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nFd >= 0;
}

bool CTavrinDualSock::ConnectTo(int port)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    CloseLocked();

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;

    sockaddr_in addr;
    LoopbackAddress(&addr, static_cast<uint16_t>(port));
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    if (rc != 0 && errno == EINPROGRESS)
    {
        pollfd pfd{fd, POLLOUT, 0};
        do
            rc = poll(&pfd, 1, CONNECT_TIMEOUT_MS);
        while (rc < 0 && errno == EINTR);
        int err = 0;
        socklen_t len = sizeof(err);
        if (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            rc = 0;
        else
            rc = -1;
    }
    if (rc != 0)
    {
        close(fd);
        return false;
    }
    m_nFd = fd;
    return true;
}

void CTavrinDualSock::SendPoint(int kind, int x, int y)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nFd < 0)
        return;

    // Finish a record cut short last time; while that is impossible, new
    // records are dropped rather than queued.
    bool room = true;
    if (m_nPending > 0)
    {
        ssize_t n = send(m_nFd, m_Pending, static_cast<size_t>(m_nPending), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
        {
            std::memmove(m_Pending, m_Pending + n, static_cast<size_t>(m_nPending - n));
            m_nPending -= static_cast<int>(n);
        }
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        {
            CloseLocked();
            return;
        }
        room = (m_nPending == 0);
    }

    if (room)
    {
        int32_t rec[5] = {-1, -1, kind, x, y};
        static_assert(sizeof(rec) == RECORD_SIZE, "pointer record is 20 bytes");
        ssize_t n = send(m_nFd, rec, sizeof(rec), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0)
        {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            {
                // The listener went away: nothing more can be delivered.
                CloseLocked();
                return;
            }
        }
        else if (n < RECORD_SIZE)
        {
            std::memcpy(m_Pending, reinterpret_cast<const unsigned char*>(rec) + n,
                        static_cast<size_t>(RECORD_SIZE - n));
            m_nPending = RECORD_SIZE - static_cast<int>(n);
        }
    }

    printf("%d (%d, %d)\n", kind, x, y);
    fflush(stdout);
}
