// The dual-mode record channel against listeners that behave and ones that
// do not.
#include "ipc/CTavrinDualSock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// Listener on 127.0.0.1 at a free port.
class CListener
{
public:
    explicit CListener(int rcvbuf = 0)
    {
        m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_nFd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(m_nFd, 1);
        socklen_t len = sizeof(a);
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&a), &len);
        m_nPort = ntohs(a.sin_port);
    }
    ~CListener()
    {
        CloseAccepted();
        if (m_nFd >= 0)
            close(m_nFd);
    }
    int Port() const { return m_nPort; }
    bool Accept()
    {
        pollfd p{m_nFd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1)
            return false;
        m_nConn = accept4(m_nFd, nullptr, nullptr, SOCK_CLOEXEC);
        return m_nConn >= 0;
    }
    void CloseAccepted()
    {
        if (m_nConn >= 0)
            close(m_nConn);
        m_nConn = -1;
    }
    void CloseListening()
    {
        close(m_nFd);
        m_nFd = -1;
    }
    // Everything readable within `ms` of silence.
    std::vector<int32_t> Drain(int ms = 200)
    {
        std::vector<char> bytes;
        char buf[65536];
        for (;;)
        {
            pollfd p{m_nConn, POLLIN, 0};
            if (poll(&p, 1, ms) != 1)
                break;
            ssize_t n = read(m_nConn, buf, sizeof(buf));
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buf, buf + n);
        }
        m_nBytes = bytes.size();
        std::vector<int32_t> ints(bytes.size() / 4);
        if (!ints.empty())
            std::memcpy(ints.data(), bytes.data(), ints.size() * 4);
        return ints;
    }
    size_t LastBytes() const { return m_nBytes; }

private:
    int m_nFd = -1;
    int m_nConn = -1;
    int m_nPort = 0;
    size_t m_nBytes = 0;
};

TEST(IpcDual, SendsTwentyByteRecordsAndOneLineEach)
{
    CListener l;
    CTavrinDualSock dual;
    ASSERT_TRUE(dual.ConnectTo(l.Port()));
    ASSERT_TRUE(l.Accept());
    testing::internal::CaptureStdout();
    dual.SendPoint(0, 10, 20);
    dual.SendPoint(1, -5, 7);
    dual.SendPoint(3, 1919, 1079);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0 (10, 20)\n1 (-5, 7)\n3 (1919, 1079)\n");
    EXPECT_EQ(l.Drain(), (std::vector<int32_t>{-1, -1, 0, 10, 20, -1, -1, 1, -5, 7, -1, -1, 3, 1919, 1079}));
}

TEST(IpcDual, WithoutAListenerConnectFailsAndPointsAreDropped)
{
    int port;
    {
        CListener gone;
        port = gone.Port();
    }
    CTavrinDualSock dual;
    EXPECT_FALSE(dual.ConnectTo(port));
    EXPECT_FALSE(dual.IsConnected());
    testing::internal::CaptureStdout();
    dual.SendPoint(1, 2, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(IpcDual, ListenerThatGoesAwayNeitherKillsNorStallsTheSender)
{
    CListener l;
    CTavrinDualSock dual;
    ASSERT_TRUE(dual.ConnectTo(l.Port()));
    ASSERT_TRUE(l.Accept());
    l.CloseAccepted();
    l.CloseListening();

    testing::internal::CaptureStdout();
    auto start = Clock::now();
    // SIGPIPE is not ignored in this process: a plain write would end it here.
    for (int i = 0; i < 100; ++i)
        dual.SendPoint(1, i, i);
    auto elapsed = Clock::now() - start;
    testing::internal::GetCapturedStdout();
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
    EXPECT_FALSE(dual.IsConnected());
}

TEST(IpcDual, ListenerThatStopsReadingGetsWholeRecordsOnly)
{
    CListener l(4096);
    CTavrinDualSock dual;
    ASSERT_TRUE(dual.ConnectTo(l.Port()));
    ASSERT_TRUE(l.Accept());

    // More than the largest send buffer the kernel grows to (4 MB by default).
    const int count = 400000;
    testing::internal::CaptureStdout();
    auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        dual.SendPoint(1, i, -i);
    auto elapsed = Clock::now() - start;
    std::vector<int32_t> got = l.Drain();
    // The buffers have room again: a cut record is completed before the next.
    dual.SendPoint(2, count, -count);
    std::vector<int32_t> rest = l.Drain();
    testing::internal::GetCapturedStdout();
    got.insert(got.end(), rest.begin(), rest.end());

    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_TRUE(dual.IsConnected());
    EXPECT_EQ(l.LastBytes() % 4, 0u);
    ASSERT_EQ(got.size() % 5, 0u);
    size_t records = got.size() / 5;
    EXPECT_LT(records, static_cast<size_t>(count)) << "the listener's buffers never filled";
    int32_t lastX = -1;
    for (size_t r = 0; r < records; ++r)
    {
        const int32_t* rec = &got[r * 5];
        ASSERT_EQ(rec[0], -1) << "record " << r;
        ASSERT_EQ(rec[1], -1) << "record " << r;
        ASSERT_EQ(rec[4], -rec[3]) << "record " << r;
        ASSERT_GT(rec[3], lastX) << "record " << r;
        lastX = rec[3];
    }
    EXPECT_EQ(lastX, count);
}

TEST(IpcDual, ReconnectingReplacesTheEarlierConnection)
{
    CListener a, b;
    CTavrinDualSock dual;
    ASSERT_TRUE(dual.ConnectTo(a.Port()));
    ASSERT_TRUE(a.Accept());
    ASSERT_TRUE(dual.ConnectTo(b.Port()));
    ASSERT_TRUE(b.Accept());
    testing::internal::CaptureStdout();
    dual.SendPoint(0, 1, 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(b.Drain(), (std::vector<int32_t>{-1, -1, 0, 1, 2}));
    EXPECT_TRUE(a.Drain().empty());
}
} // namespace
