// The command server over real sockets: a client speaking the toolkit's IPC
// protocol runs on a helper thread while the test thread serves the event
// loop; the companion command client is run as a separate program.
#include "IpcTestSupport.h"

#include "FakeClock.h"
#include "ProcessFixture.h"
#include "TempDir.h"
#include "ipc/CIpcGate.h"
#include "ipc/CTavrinDriverIPC.h"
#include "ipc/MyConnection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ipc_test;
using Commands = std::vector<std::pair<int, int>>;

namespace
{
// Message codes of the toolkit's IPC protocol.
enum
{
    IPC_ADVISE_START = 4,
    IPC_ADVISE = 6,
    IPC_ADVISE_STOP = 7,
    IPC_FAIL = 9,
    IPC_CONNECT = 10,
    IPC_DISCONNECT = 11,
};

// Blocking client of the toolkit's IPC protocol (bytes, little-endian 32-bit
// lengths, UTF-8 strings). Use from a thread other than the event loop's.
class CRawIpcClient
{
public:
    ~CRawIpcClient() { Close(); }

    // Result: the server's answer byte, -1 when the connection failed.
    int Connect(const std::string& ip, int port, const std::string& topic)
    {
        if (!Open(ip, port))
            return -1;
        return Request(IPC_CONNECT, topic);
    }
    // The TCP connection alone, no message.
    bool Open(const std::string& ip, int port)
    {
        m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        if (connect(m_nFd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        {
            m_nErrno = errno;
            Close();
            return false;
        }
        return true;
    }
    // Sends `bytes` as they are; false once the server has closed.
    bool SendRaw(const std::string& bytes)
    {
        return m_nFd >= 0 &&
               send(m_nFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    int StartAdvise(const std::string& item) { return Request(IPC_ADVISE_START, item); }
    int StopAdvise(const std::string& item) { return Request(IPC_ADVISE_STOP, item); }
    void SendDisconnect()
    {
        unsigned char b = IPC_DISCONNECT;
        (void)!write(m_nFd, &b, 1);
    }
    // One advise message, or false when none arrives within `ms`.
    bool ReadAdvise(std::string* item, int* format, std::string* data, int ms = 2000)
    {
        unsigned char code;
        if (!ReadExact(&code, 1, ms) || code != IPC_ADVISE)
            return false;
        unsigned char fmt;
        if (!ReadString(item, ms) || !ReadExact(&fmt, 1, ms) || !ReadString(data, ms))
            return false;
        *format = fmt;
        return true;
    }
    // The next byte from the server (-1: closed or nothing within `ms`).
    int ReadByte(int ms = 2000)
    {
        unsigned char b;
        return ReadExact(&b, 1, ms) ? b : -1;
    }
    // True when the server closed the connection within `ms`.
    bool WaitClosed(int ms = 2000)
    {
        unsigned char b;
        for (;;)
        {
            pollfd p{m_nFd, POLLIN, 0};
            if (poll(&p, 1, ms) != 1)
                return false;
            ssize_t n = read(m_nFd, &b, 1);
            if (n <= 0)
                return true;
        }
    }
    void Close()
    {
        if (m_nFd >= 0)
            close(m_nFd);
        m_nFd = -1;
    }
    int Errno() const { return m_nErrno; }

private:
    int Request(int code, const std::string& text)
    {
        std::string msg(1, static_cast<char>(code));
        uint32_t len = static_cast<uint32_t>(text.size());
        for (int i = 0; i < 4; ++i)
            msg.push_back(static_cast<char>((len >> (8 * i)) & 0xff));
        msg += text;
        if (write(m_nFd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()))
            return -1;
        return ReadByte(5000);
    }
    bool ReadString(std::string* out, int ms)
    {
        unsigned char len[4];
        if (!ReadExact(len, 4, ms))
            return false;
        uint32_t n = len[0] | (len[1] << 8) | (len[2] << 16) | (static_cast<uint32_t>(len[3]) << 24);
        if (n > 4096)
            return false;
        out->assign(n, '\0');
        return n == 0 || ReadExact(&(*out)[0], n, ms);
    }
    bool ReadExact(void* buf, size_t n, int ms)
    {
        char* p = static_cast<char*>(buf);
        while (n > 0)
        {
            pollfd pfd{m_nFd, POLLIN, 0};
            if (m_nFd < 0 || poll(&pfd, 1, ms) != 1)
                return false;
            ssize_t r = read(m_nFd, p, n);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    int m_nFd = -1;
    int m_nErrno = 0;
};

class IpcServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Server.Create("0"));
        m_nPort = m_Server.GetPort();
        ASSERT_GT(m_nPort, 0);
    }

    // Connects `c` with `topic` on a helper thread; the server's answer byte.
    int Connect(CRawIpcClient& c, const std::string& topic)
    {
        return m_Pump.OffThread([&] { return c.Connect("127.0.0.1", m_nPort, topic); });
    }

    CRecordingServices m_Services;
    CEventPump m_Pump;
    CTavrinDriverIPC m_Server;
    int m_nPort = 0;
};

TEST_F(IpcServer, ListensOnLoopbackOnly)
{
    CRawIpcClient local;
    EXPECT_EQ(Connect(local, "Orient"), IPC_CONNECT);

    // Nothing else listens on the port: the toolkit's own server is on a
    // Unix socket.
    EXPECT_EQ(tavrin_test::ListeningAddresses(m_nPort), std::vector<std::string>{"127.0.0.1"});

    std::string other = NonLoopbackAddress();
    if (other.empty())
        GTEST_SKIP() << "no address outside 127.0.0.0/8 on this machine";
    CRawIpcClient remote;
    EXPECT_EQ(m_Pump.OffThread([&] { return remote.Connect(other, m_nPort, "Orient"); }), -1);
    EXPECT_EQ(remote.Errno(), ECONNREFUSED);
    // The refused attempt did not touch the client that was connected.
    EXPECT_FALSE(m_Pump.OffThread([&] { return local.WaitClosed(200); }));
}

TEST(IpcServerCreate, FailsWhenThePortIsTakenOrNotAPort)
{
    CEventPump pump;
    for (const char* ip : {"127.0.0.1", "0.0.0.0"})
    {
        int fd = BoundSocket(SOCK_STREAM, ip, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(listen(fd, 1), 0);
        CTavrinDriverIPC server;
        EXPECT_FALSE(server.Create(wxString::Format("%d", LocalPort(fd)))) << ip;
        EXPECT_EQ(server.GetPort(), 0);
        close(fd);
    }
    for (const char* bad : {"", "abc", "/tmp/tavrin-ipc-test", "70000", "-1"})
    {
        CTavrinDriverIPC server;
        EXPECT_FALSE(server.Create(bad)) << bad;
    }
}

// Points $TMPDIR at `dir` for the lifetime of the object.
class CTmpDirEnv
{
public:
    explicit CTmpDirEnv(const std::string& dir)
    {
        const char* old = getenv("TMPDIR");
        m_bHad = old != nullptr;
        m_strOld = old ? old : "";
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~CTmpDirEnv()
    {
        if (m_bHad)
            setenv("TMPDIR", m_strOld.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    bool m_bHad;
    std::string m_strOld;
};

// Entries of a directory other than "." and "..".
std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str()))
    {
        while (dirent* e = readdir(d))
        {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

TEST(IpcServerCreate, KeepsTheToolkitSocketInAPrivateDirectoryAndLeavesNothingBehind)
{
    tavrin_test::CTempDir tmp;
    CTmpDirEnv env(tmp.Path());
    CEventPump pump;

    int fd = BoundSocket(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(listen(fd, 1), 0);
    {
        CTavrinDriverIPC busy;
        EXPECT_FALSE(busy.Create(wxString::Format("%d", LocalPort(fd))));
        EXPECT_TRUE(Entries(tmp.Path()).empty());
    }
    close(fd);

    auto* server = new CTavrinDriverIPC;
    ASSERT_TRUE(server->Create("0"));
    std::vector<std::string> dirs = Entries(tmp.Path());
    ASSERT_EQ(dirs.size(), 1u);
    const std::string dir = tmp.Path() + "/" + dirs[0];
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
    std::vector<std::string> inside = Entries(dir);
    ASSERT_EQ(inside.size(), 1u);
    ASSERT_EQ(stat((dir + "/" + inside[0]).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    delete server;
    pump.Pump(0);
    EXPECT_TRUE(Entries(tmp.Path()).empty());
}

TEST(IpcServerCreate, RemovesOnlyDirectoriesLeftByAKilledServer)
{
    tavrin_test::CTempDir tmp;
    CTmpDirEnv env(tmp.Path());
    CEventPump pump;

    struct Case
    {
        const char* name;
        int ageS;
        mode_t mode;
        bool listening; // a server still listens in it
        bool removed;
    } cases[] = {
        {"tavrin-ipc-killed", 3600, 0700, false, true},
        {"tavrin-ipc-alive", 3600, 0700, true, false},
        {"tavrin-ipc-starting", 0, 0700, false, false},
        {"tavrin-ipc-shared", 3600, 0755, false, false},
        {"other-killed", 3600, 0700, false, false},
    };
    std::vector<int> sockets;
    for (const Case& k : cases)
    {
        const std::string dir = tmp.Path() + "/" + k.name;
        ASSERT_EQ(mkdir(dir.c_str(), k.mode), 0);
        ASSERT_EQ(chmod(dir.c_str(), k.mode), 0);
        const std::string path = dir + "/command";
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << path;
        if (k.listening)
        {
            ASSERT_EQ(listen(fd, 1), 0);
            sockets.push_back(fd);
        }
        else
        {
            close(fd); // the socket file stays, as after a kill
        }
        timeval old[2] = {{time(nullptr) - k.ageS, 0}, {time(nullptr) - k.ageS, 0}};
        ASSERT_EQ(utimes(dir.c_str(), old), 0);
    }

    CTavrinDriverIPC server;
    ASSERT_TRUE(server.Create("0"));
    for (const Case& k : cases)
    {
        struct stat st;
        EXPECT_EQ(stat((tmp.Path() + "/" + k.name).c_str(), &st) != 0, k.removed) << k.name;
    }
    for (int fd : sockets)
        close(fd);
}

TEST_F(IpcServer, RefusesUnknownTopicsAndKeepsOneClient)
{
    CRawIpcClient first, second, third;
    ASSERT_EQ(Connect(first, "Orient"), IPC_CONNECT);
    ASSERT_EQ(Connect(second, "SideKey"), IPC_CONNECT);
    // The earlier client is told to go and is closed.
    EXPECT_EQ(m_Pump.OffThread([&] { return first.ReadByte(); }), IPC_DISCONNECT);
    EXPECT_TRUE(m_Pump.OffThread([&] { return first.WaitClosed(); }));

    EXPECT_EQ(Connect(third, "Bogus"), IPC_FAIL);
    EXPECT_EQ(m_Server.GetConnection(), nullptr);
    EXPECT_TRUE(m_Services.Commands().empty());
}

TEST_F(IpcServer, StartAdviseNeedsABoardAndPassesTheCommand)
{
    CRawIpcClient c;
    ASSERT_EQ(Connect(c, "Orient"), IPC_CONNECT);
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("3"); }), IPC_FAIL);
    EXPECT_TRUE(m_Services.Commands().empty());

    m_Services.m_bConnected = true;
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("3"); }), IPC_ADVISE_START);
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StopAdvise("3"); }), IPC_ADVISE_STOP);
    EXPECT_EQ(m_Services.Commands(), (Commands{{1, 3}, {0, 0}}));

    // Stopping always succeeds, but does nothing without a board.
    m_Services.m_bConnected = false;
    m_Services.ClearCommands();
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StopAdvise("3"); }), IPC_ADVISE_STOP);
    EXPECT_TRUE(m_Services.Commands().empty());
}

TEST_F(IpcServer, DriversSetDataStartsAndStopsReportsAndAutoOneIsPrinted)
{
    m_Services.m_bConnected = true;
    CRawIpcClient c;
    ASSERT_EQ(Connect(c, "DriversSet"), IPC_CONNECT);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("auto1"); }), IPC_ADVISE_START);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "auto1\n");
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("data"); }), IPC_ADVISE_START);
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("other"); }), IPC_ADVISE_START);
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StopAdvise("data"); }), IPC_ADVISE_STOP);
    EXPECT_EQ(m_Services.Commands(), (Commands{{7, 1}, {6, 1}, {6, 0}}));
}

TEST_F(IpcServer, AnswersGoToTheItemOfTheLastAcceptedAdvise)
{
    CRawIpcClient c;
    ASSERT_EQ(Connect(c, "Orient"), IPC_CONNECT);
    std::string item, data;
    int format = 0;

    // Nothing before an advise loop is accepted (refused for lack of a board).
    m_Server.AdviseClient("fin");
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("9"); }), IPC_FAIL);
    m_Server.AdviseClient("fin");
    EXPECT_FALSE(m_Pump.OffThread([&] { return c.ReadAdvise(&item, &format, &data, 200); }));

    m_Services.m_bConnected = true;
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("4"); }), IPC_ADVISE_START);
    m_Server.AdviseClient("fin");
    ASSERT_TRUE(m_Pump.OffThread([&] { return c.ReadAdvise(&item, &format, &data); }));
    EXPECT_EQ(item, "4");
    EXPECT_EQ(format, 20); // wxIPC_PRIVATE
    EXPECT_EQ(data, std::string("fin\0", 4));

    m_Server.AdviseClient("12345");
    ASSERT_TRUE(m_Pump.OffThread([&] { return c.ReadAdvise(&item, &format, &data); }));
    EXPECT_EQ(data, std::string("123\0", 4));
}

TEST_F(IpcServer, DisconnectEndsTheModesOrRescansCameras)
{
    m_Services.m_bConnected = true;
    CRawIpcClient c;
    ASSERT_EQ(Connect(c, "SideKey"), IPC_CONNECT);
    c.SendDisconnect();
    EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.Commands().size() == 2; }));
    EXPECT_EQ(m_Services.Commands(), (Commands{{0, 0}, {6, 0}}));
    // The connection stays stored until the next client; answers go nowhere.
    EXPECT_NE(m_Server.GetConnection(), nullptr);
    m_Server.AdviseClient("fin");

    m_Services.m_bConnected = false;
    m_Services.ClearCommands();
    CRawIpcClient viewer;
    ASSERT_EQ(Connect(viewer, "SideKey"), IPC_CONNECT);
    viewer.Close(); // lost without a goodbye
    EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.m_nRescans == 1; }));
    EXPECT_TRUE(m_Services.Commands().empty());
}

TEST_F(IpcServer, CameraViewerReleasesTheServedBoardThenWaitsTwoSeconds)
{
    tavrin_test::CFakeClock clock;
    struct Case
    {
        bool connected, work;
        int released;
    } cases[] = {{true, true, 1}, {true, false, 0}, {false, false, 0}};
    for (const Case& k : cases)
    {
        m_Services.m_bConnected = k.connected;
        m_Services.m_bWork = k.work;
        m_Services.m_nReleased = 0;
        int64_t slept = clock.SleptMs();
        CRawIpcClient viewer;
        EXPECT_EQ(Connect(viewer, "CAMVIEWER"), IPC_CONNECT);
        EXPECT_EQ(m_Services.m_nReleased, k.released);
        EXPECT_EQ(clock.SleptMs() - slept, 2000);
    }
}

TEST_F(IpcServer, DestructionDropsTheClient)
{
    auto* server = new CTavrinDriverIPC;
    ASSERT_TRUE(server->Create("0"));
    int port = server->GetPort();
    CRawIpcClient c;
    ASSERT_EQ(m_Pump.OffThread([&] { return c.Connect("127.0.0.1", port, "PENSET"); }), IPC_CONNECT);
    delete server;
    EXPECT_EQ(m_Pump.OffThread([&] { return c.ReadByte(); }), IPC_DISCONNECT);
    EXPECT_TRUE(m_Pump.OffThread([&] { return c.WaitClosed(); }));
}

// --- clients that are slow or too many --------------------------------------

TEST_F(IpcServer, ASilentOrSlowClientBlocksNoOneAndIsDroppedAfterFiveSeconds)
{
    tavrin_test::CFakeClock clock;
    m_Services.m_bConnected = true;
    const std::string connect = std::string("\x0a\x06\0\0\0", 5) + "Orient";
    CRawIpcClient silent, slow, c;
    ASSERT_TRUE(silent.Open("127.0.0.1", m_nPort));
    ASSERT_TRUE(slow.Open("127.0.0.1", m_nPort));
    ASSERT_TRUE(slow.SendRaw(connect.substr(0, 3)));

    // Served at once, although two clients ahead of it have not finished
    // naming their topics.
    ASSERT_EQ(Connect(c, "Orient"), IPC_CONNECT);
    EXPECT_EQ(m_Pump.OffThread([&] { return c.StartAdvise("2"); }), IPC_ADVISE_START);
    EXPECT_EQ(m_Services.Commands(), (Commands{{1, 2}}));

    // The slow one completes its message in pieces and is served too.
    ASSERT_TRUE(slow.SendRaw(connect.substr(3, 4)));
    m_Pump.Pump(20);
    ASSERT_TRUE(slow.SendRaw(connect.substr(7)));
    EXPECT_EQ(m_Pump.OffThread([&] { return slow.ReadByte(); }), IPC_CONNECT);

    clock.Advance(CIpcGate::CONNECT_TIMEOUT_MS - 100);
    EXPECT_FALSE(m_Pump.OffThread([&] { return silent.WaitClosed(300); }));
    clock.Advance(200);
    EXPECT_TRUE(m_Pump.OffThread([&] { return silent.WaitClosed(3000); }));
    EXPECT_FALSE(m_Pump.OffThread([&] { return slow.WaitClosed(300); }));
    EXPECT_EQ(m_Pump.OffThread([&] { return slow.StartAdvise("4"); }), IPC_ADVISE_START);
}

TEST_F(IpcServer, TakesAtMostEightClientsAtATime)
{
    tavrin_test::CFakeClock clock; // the silent ones are not timed out meanwhile
    std::vector<CRawIpcClient> silent(CIpcGate::MAX_CLIENTS);
    for (CRawIpcClient& s : silent)
        ASSERT_TRUE(s.Open("127.0.0.1", m_nPort));
    CRawIpcClient extra;
    ASSERT_TRUE(extra.Open("127.0.0.1", m_nPort));
    EXPECT_TRUE(m_Pump.OffThread([&] { return extra.WaitClosed(3000); }));
    EXPECT_FALSE(m_Pump.OffThread([&] { return silent.back().WaitClosed(100); }));

    // A slot that is given up is free again.
    silent.front().Close();
    CRawIpcClient c;
    EXPECT_TRUE(m_Pump.RunUntil([&] { return Connect(c, "Orient") == IPC_CONNECT; }));
}

// --- malformed clients ------------------------------------------------------

// Peak resident memory of this process in kB.
long PeakResidentKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// --- the companion command client -------------------------------------------

class CtlTool : public IpcServer
{
protected:
    bool Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {})
    {
        std::vector<std::string> argv{std::string(TAVRIN_BINARY_DIR) + "/tavrin-etp-ctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> e{{"VELUNOR_ETP_DIR", m_Dir.Path() + "/none"}};
        for (const auto& kv : env)
            e[kv.first] = kv.second;
        return m_Child.Start(argv, e, m_Dir.Path() + "/ctl.out");
    }
    // Serves the loop until the tool ends; its exit code, or -1000 on time-out.
    int Finish(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000))
    {
        if (!m_Pump.RunUntil([&] { return !m_Child.Running(); }, timeout))
        {
            m_Child.Stop();
            return -1000;
        }
        return m_Child.ExitCode();
    }
    std::vector<std::string> Port() { return {"--port", std::to_string(m_nPort)}; }

    tavrin_test::CTempDir m_Dir;
    tavrin_test::CChildProcess m_Child;
};

TEST_F(CtlTool, OrientPrintsEachAnswerAndEndsAfterThePoints)
{
    m_Services.m_bConnected = true;
    auto args = Port();
    args.insert(args.end(), {"orient", "2"});
    ASSERT_TRUE(Start(args));
    ASSERT_TRUE(m_Pump.RunUntil([&] { return !m_Services.Commands().empty(); }));
    EXPECT_EQ(m_Services.Commands(), (Commands{{1, 2}}));
    m_Server.AdviseClient("fin");
    m_Server.AdviseClient("fin");
    EXPECT_EQ(Finish(), 0) << m_Child.Output();
    EXPECT_EQ(m_Child.Output(), "fin\nfin\n");
    // stop advise, then the disconnect
    EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.Commands().size() == 4; }));
    EXPECT_EQ(m_Services.Commands(), (Commands{{1, 2}, {0, 0}, {0, 0}, {6, 0}}));
}

TEST_F(CtlTool, DataPrintsReportsUntilInterrupted)
{
    m_Services.m_bConnected = true;
    auto args = Port();
    args.insert(args.end(), {"drivers", "data"});
    ASSERT_TRUE(Start(args));
    ASSERT_TRUE(m_Pump.RunUntil([&] { return !m_Services.Commands().empty(); }));
    m_Server.AdviseClient("42");
    m_Server.AdviseClient("7");
    ASSERT_TRUE(m_Pump.RunUntil([&] { return m_Child.Output() == "42\n7\n"; })) << m_Child.Output();
    kill(m_Child.Pid(), SIGTERM);
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.Commands().size() == 4; }));
    EXPECT_EQ(m_Services.Commands(), (Commands{{6, 1}, {6, 0}, {0, 0}, {6, 0}}));
}

TEST_F(CtlTool, CamViewerHoldsTheConnectionUntilInterrupted)
{
    tavrin_test::CFakeClock clock;
    auto args = Port();
    args.insert(args.end(), {"camviewer"});
    ASSERT_TRUE(Start(args));
    ASSERT_TRUE(m_Pump.RunUntil([&] { return m_Server.GetConnection() != nullptr; }));
    EXPECT_EQ(clock.SleptMs(), 2000);
    // Still connected a while later: the viewer keeps the camera.
    m_Pump.RunUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(m_Child.Running());
    EXPECT_EQ(m_Services.m_nRescans, 0);
    kill(m_Child.Pid(), SIGTERM);
    EXPECT_EQ(Finish(), 0) << m_Child.Output();
    EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.m_nRescans == 1; }));
}

TEST_F(CtlTool, ReadsThePortFromTheSettings)
{
    m_Services.m_bConnected = true;
    m_Dir.WriteFile("etp/Config/config.xml", "<Config><Global><port num=\"" + std::to_string(m_nPort) +
                                                 "\"/></Global></Config>\n");
    ASSERT_TRUE(Start({"speed", "3"}, {{"VELUNOR_ETP_DIR", m_Dir.Path() + "/etp"}}));
    EXPECT_EQ(Finish(), 0) << m_Child.Output();
    EXPECT_EQ(m_Services.Commands().front(), std::make_pair(12, 3));
}

TEST_F(CtlTool, ReportsAMissingBoardOrService)
{
    auto args = Port();
    args.insert(args.end(), {"penset"});
    ASSERT_TRUE(Start(args));
    EXPECT_EQ(Finish(), 1);
    EXPECT_NE(m_Child.Output().find("no board attached"), std::string::npos) << m_Child.Output();

    int fd = BoundSocket(SOCK_STREAM, "127.0.0.1", 0);
    int freePort = LocalPort(fd);
    close(fd);
    ASSERT_TRUE(Start({"--port", std::to_string(freePort), "penset"}));
    EXPECT_EQ(Finish(), 1);
    EXPECT_NE(m_Child.Output().find("cannot connect to the service on port " + std::to_string(freePort)),
              std::string::npos)
        << m_Child.Output();
}

TEST_F(CtlTool, MalformedClientsAreDroppedAtNoCostAndOthersStillServed)
{
    const std::string huge("\xff\xff\xff\xff", 4);
    const std::string junk(1 << 20, 'A');
    struct Case
    {
        const char* name;
        bool connectFirst;
        std::string bytes;
    } cases[] = {
        {"topic of 4 GB", false, "\x0a" + huge + junk},
        {"topic too long", false, std::string("\x0a\x2c\x01\0\0", 5) + std::string(300, 't')},
        {"item of 4 GB", true, "\x04" + huge + junk},
        {"poke with 4 GB of data", true, std::string("\x03\x01\0\0\0x\x14", 7) + huge + junk},
        {"a reply code from the client", true, "\x09"},
    };
    m_Services.m_bConnected = true;
    const long before = PeakResidentKb();
    ASSERT_GT(before, 0);
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        CRawIpcClient bad;
        if (k.connectFirst)
            ASSERT_EQ(Connect(bad, "Orient"), IPC_CONNECT);
        else
            ASSERT_TRUE(bad.Open("127.0.0.1", m_nPort));
        MyConnection* const served = m_Server.GetConnection();
        m_Services.ClearCommands();
        // Sending may fail part-way: the connection is closed under it.
        m_Pump.OffThread([&] { return bad.SendRaw(k.bytes); });
        EXPECT_TRUE(m_Pump.OffThread([&] { return bad.WaitClosed(3000); }));
        if (k.connectFirst)
        {
            // The server saw the client go, nothing of the broken message.
            EXPECT_TRUE(m_Pump.RunUntil([&] { return m_Services.Commands().size() == 2; }));
            EXPECT_EQ(m_Services.Commands(), (Commands{{0, 0}, {6, 0}}));
        }
        else
        {
            // Never got as far as the server.
            m_Pump.Pump(50);
            EXPECT_EQ(m_Server.GetConnection(), served);
            EXPECT_TRUE(m_Services.Commands().empty());
        }
    }
    EXPECT_LT(PeakResidentKb() - before, 64 * 1024);

    m_Services.ClearCommands();
    auto args = Port();
    args.push_back("penset");
    ASSERT_TRUE(Start(args));
    EXPECT_EQ(Finish(), 0) << m_Child.Output();
    EXPECT_EQ(m_Services.Commands().front(), std::make_pair(4, 0));
}

TEST_F(CtlTool, RejectsBadCommandLines)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {}, {"bogus"}, {"orient"}, {"orient", "x"}, {"drivers", "fast"}, {"--port", "0", "penset"}})
    {
        ASSERT_TRUE(Start(args));
        EXPECT_EQ(Finish(), 2) << m_Child.Output();
    }
    ASSERT_TRUE(Start({"--help"}));
    EXPECT_EQ(Finish(), 0);
    EXPECT_NE(m_Child.Output().find("Usage: tavrin-etp-ctl"), std::string::npos);
}
} // namespace
