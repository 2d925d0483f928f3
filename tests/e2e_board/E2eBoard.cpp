#include "E2eBoard.h"

#include "TempDir.h"

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrin_test
{
const int kRawCols[3] = {2000, 8000, 14000};
const int kRawRows[3] = {2000, 6500, 11000};
const int kScreenCols[3] = {40, 512, 983};
const int kScreenRows[3] = {30, 384, 737};

std::string E2eSettings(int port)
{
    std::ostringstream dots;
    int k = 0;
    // Column-major, as the calibration screen collects them.
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r)
            dots << " dot" << k++ << "=\"(" << kRawCols[c] << ".000000," << kRawRows[r] << ".000000)\"";
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Config>\n"
           "    <Global>\n"
           "        <port num=\""
        << port
        << "\"/>\n"
           "        <CurrentRun TYPE=\"\"/>\n"
           "        <Device path=\"\"/>\n"
           "    </Global>\n"
           "    <TavrinWorkETPD>\n"
           // Quarters keep the smoothed positions exact in single precision.
           "        <Constants LIMIT_COUNT=\"5\" LIMIT_MOVE=\"10\" RC1=\"0.75\" RC2=\"0.25\" "
           "ORIENT_RECV_DATA_SIZE=\"20\" SIDEKEY_POINT_SIZE=\"200\"/>\n"
           "        <Flag Enable_Soft_Sidekey=\"0\" Is_Had_Hand=\"0\" bKeyPen=\"0\" Is_SpeedFirst=\"0\"/>\n"
           "        <DriverSet VALUE1_T=\"0\" VALUE2_T=\"0\" GESTURE_T=\"0\"/>\n"
           "        <ETPANSET Is_Default=\"1\" FRONT=\"0\" BACK=\"0\"/>\n"
           "        <HOTKEY/>\n"
           "        <coordinate dotNum=\"9\""
        << dots.str()
        << "/>\n"
           "    </TavrinWorkETPD>\n"
           "</Config>\n";
    return xml.str();
}

std::string HidPacketLine(int code, int rawX, int rawY, int source)
{
    // The board counts down from 16384 in 7-bit halves.
    const int vx = 16384 - rawX;
    const int vy = 16384 - rawY;
    int b[8] = {source, 0x00, code, (vx >> 7) & 0x7F, vx & 0x7F, (vy >> 7) & 0x7F, vy & 0x7F, 0};
    for (int i = 0; i < 7; ++i)
        b[7] ^= b[i];
    std::string line = "packet 02 08";
    char hex[4];
    for (int v : b)
    {
        snprintf(hex, sizeof hex, " %02X", v);
        line += hex;
    }
    return line + "\n";
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// ---------------------------------------------------------------------------

CDatagramInbox::CDatagramInbox()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10000);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Another run on this machine (outside this test's lock) may hold the
    // port for a while.
    WaitUntil(
        [&] {
            m_nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (m_nFd >= 0 && bind(m_nFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                return true;
            if (m_nFd >= 0)
                close(m_nFd);
            m_nFd = -1;
            return false;
        },
        std::chrono::seconds(20));
}

CDatagramInbox::~CDatagramInbox()
{
    if (m_nFd >= 0)
        close(m_nFd);
}

const std::vector<std::string>& CDatagramInbox::Received()
{
    char buf[256];
    for (;;)
    {
        if (m_nFd < 0)
            break;
        ssize_t n = recv(m_nFd, buf, sizeof buf, 0);
        if (n < 0)
            break;
        m_Received.emplace_back(buf, static_cast<size_t>(n));
    }
    return m_Received;
}

bool CDatagramInbox::WaitFor(const std::string& text, std::chrono::milliseconds timeout, size_t from)
{
    return WaitUntil(
        [&] {
            const std::vector<std::string>& got = Received();
            for (size_t i = from; i < got.size(); ++i)
                if (got[i] == text)
                    return true;
            return false;
        },
        timeout);
}

// ---------------------------------------------------------------------------

void E2eBoardTest::SetUp()
{
    ASSERT_TRUE(CXvfb::Available()) << "Xvfb is not installed";
    ASSERT_TRUE(xvfb.Start()) << xvfb.Error();
    ASSERT_TRUE(pointer.Open(xvfb.Display())) << "cannot watch the X server " << xvfb.Display();
}

void E2eBoardTest::StartService(const std::string& script)
{
    std::ofstream(run.PathOf("board.script"), std::ios::trunc) << script;
    ASSERT_TRUE(run.Start(xvfb.Display(), {
                                              {"TAVRIN_SIM_SCRIPT", run.PathOf("board.script")},
                                              {"TAVRIN_SIM_LOG", run.PathOf("board.log")},
                                              {"LD_PRELOAD", "libumockdev-preload.so.0"},
                                          }));
}

void E2eBoardTest::Go(const std::string& name) const { std::ofstream(Step(name)) << "go\n"; }

std::string E2eBoardTest::BoardLog() const { return ReadWholeFile(run.PathOf("board.log")); }

::testing::AssertionResult E2eBoardTest::PointerReaches(int x, int y, bool down, std::chrono::milliseconds timeout)
{
    CXPointerWatch::State s;
    if (WaitUntil(
            [&] {
                s = pointer.Query();
                return s.x == x && s.y == y && CXPointerWatch::Button1Down(s) == down;
            },
            timeout))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected the pointer at (" << x << ", " << y << ") with button 1 "
                                         << (down ? "down" : "up") << ", X has (" << s.x << ", " << s.y
                                         << ") with button 1 " << (CXPointerWatch::Button1Down(s) ? "down" : "up")
                                         << "\n--- service output ---\n"
                                         << Output();
}
}  // namespace tavrin_test
