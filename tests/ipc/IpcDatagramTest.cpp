// The status datagram channel on the service's real ports (127.0.0.1:9999 in,
// 127.0.0.1:10000 out).
#include "IpcTestSupport.h"

#include "ipc/CTavrinIPCSock.h"

#include <wx/socket.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ipc_test;

namespace
{
class CSocketSink : public wxEvtHandler
{
public:
    CSocketSink() { Bind(wxEVT_SOCKET, &CSocketSink::OnSocket, this); }
    void OnSocket(wxSocketEvent& e)
    {
        m_Ids.push_back(e.GetId());
        m_Kinds.push_back(e.GetSocketEvent());
    }
    std::vector<int> m_Ids;
    std::vector<int> m_Kinds;
};

void SendTo(int fd, const char* ip, int port, const std::string& text)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    ASSERT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)),
              static_cast<ssize_t>(text.size()));
}

class IpcDatagram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_nSender = BoundSocket(SOCK_DGRAM, "127.0.0.1", 0);
        ASSERT_GE(m_nSender, 0);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(m_Sock.Open(&m_Sink));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "_________socket is ok 0\n");
        ASSERT_TRUE(m_Sock.IsOpen());
    }
    void TearDown() override { close(m_nSender); }

    // Waits for the next input event and reads the datagram behind it.
    std::string Receive()
    {
        size_t before = m_Sink.m_Ids.size();
        if (!m_Pump.RunUntil([&] { return m_Sink.m_Ids.size() > before; }, std::chrono::milliseconds(2000)))
            return "<none>";
        EXPECT_EQ(m_Sink.m_Ids.back(), 2000);
        EXPECT_EQ(m_Sink.m_Kinds.back(), wxSOCKET_INPUT);
        char buf[51] = {};
        int n = m_Sock.ReadDatagram(buf, 50);
        return std::string(buf, n > 0 ? n : 0);
    }

    CRecordingServices m_Services;
    CEventPump m_Pump;
    CSocketSink m_Sink;
    CTavrinIPCSock m_Sock;
    int m_nSender = -1;
};

TEST_F(IpcDatagram, ReceivesLocalDatagramsAsSocketEvents)
{
    SendTo(m_nSender, "127.0.0.1", 9999, "#VQ@Start");
    EXPECT_EQ(Receive(), "#VQ@Start");
    SendTo(m_nSender, "127.0.0.1", 9999, "#VQ@InBoardFrm");
    EXPECT_EQ(Receive(), "#VQ@InBoardFrm");
    // A datagram longer than the caller's buffer is cut to it.
    SendTo(m_nSender, "127.0.0.1", 9999, std::string(60, 'x'));
    EXPECT_EQ(Receive(), std::string(50, 'x'));
}

TEST_F(IpcDatagram, IsNotReachableThroughOtherAddresses)
{
    std::string other = NonLoopbackAddress();
    if (other.empty())
        GTEST_SKIP() << "no address outside 127.0.0.0/8 on this machine";
    SendTo(m_nSender, other.c_str(), 9999, "#VQ@Start");
    m_Pump.RunUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(m_Sink.m_Ids.empty());
    char buf[50];
    EXPECT_EQ(m_Sock.ReadDatagram(buf, 50), 0);
}

TEST_F(IpcDatagram, DropsDatagramsFromNonLoopbackSources)
{
    std::string other = NonLoopbackAddress();
    if (other.empty())
        GTEST_SKIP() << "no address outside 127.0.0.0/8 on this machine";
    int foreign = BoundSocket(SOCK_DGRAM, other.c_str(), 0);
    ASSERT_GE(foreign, 0);
    SendTo(foreign, "127.0.0.1", 9999, "#VQ@Close");
    close(foreign);
    if (!m_Pump.RunUntil([&] { return !m_Sink.m_Ids.empty(); }, std::chrono::milliseconds(500)))
        GTEST_SKIP() << "the kernel does not deliver such datagrams here";
    char buf[50];
    std::memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(m_Sock.ReadDatagram(buf, 50), 0);
    EXPECT_EQ(std::string(buf, 9), std::string(9, '\0'));
    // Local datagrams still come through afterwards.
    SendTo(m_nSender, "127.0.0.1", 9999, "#VQ@Pen");
    EXPECT_EQ(Receive(), "#VQ@Pen");
}

TEST_F(IpcDatagram, SendsToTheApplicationPort)
{
    int app = BoundSocket(SOCK_DGRAM, "127.0.0.1", 10000, true);
    ASSERT_GE(app, 0) << "port 10000 is taken";
    testing::internal::CaptureStdout();
    m_Sock.SendRaw("moue", 4);
    m_Sock.SetStyle(20);
    m_Sock.SendMessage(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OnSend:moue\nOnSend:#VQ@Connect@StyleETPD\n");

    char buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ASSERT_TRUE(WaitReadable(app, 2000));
    ssize_t n = recvfrom(app, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "moue");
    EXPECT_EQ(ntohs(from.sin_port), 9999);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    ASSERT_TRUE(WaitReadable(app, 2000));
    n = recv(app, buf, sizeof(buf), 0);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "#VQ@Connect@StyleETPD");
    close(app);
}

TEST_F(IpcDatagram, AnswersStartOverTheWire)
{
    int app = BoundSocket(SOCK_DGRAM, "127.0.0.1", 10000, true);
    ASSERT_GE(app, 0) << "port 10000 is taken";
    m_Sock.SetStyle(19);
    SendTo(app, "127.0.0.1", 9999, "#VQ@Start");
    std::string text = Receive();
    m_Sock.OnReceive(&text[0]);
    char buf[64];
    ASSERT_TRUE(WaitReadable(app, 2000));
    ssize_t n = recv(app, buf, sizeof(buf), 0);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "#VQ@Connect@StyleETP");
    close(app);
}

TEST(IpcDatagramLifetime, DeletionOnAnotherThreadLeavesTheSocketToTheMainThread)
{
    CEventPump pump;
    auto* sock = new CTavrinIPCSock;
    testing::internal::CaptureStdout();
    sock->Open(nullptr);
    testing::internal::GetCapturedStdout();
    // Bound with address reuse: a plain bind fails while the socket is open.
    int probe = BoundSocket(SOCK_DGRAM, "127.0.0.1", 9999);
    EXPECT_LT(probe, 0);
    if (probe >= 0)
        close(probe);

    std::thread([sock] { delete sock; }).join();
    // The toolkit's socket belongs to the main thread's loop: it is closed
    // there, not by the deleting thread.
    probe = BoundSocket(SOCK_DGRAM, "127.0.0.1", 9999);
    EXPECT_LT(probe, 0);
    if (probe >= 0)
        close(probe);
    EXPECT_TRUE(pump.RunUntil([] {
        int fd = BoundSocket(SOCK_DGRAM, "127.0.0.1", 9999);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }));
}
} // namespace
