// The running service as its companion programs meet it: the whiteboard
// application's status datagrams (board status, side-key words, the pen's
// front button and its board-frame question), the dual-mode channel, and the
// command server driven by tavrin-etp-ctl for calibration and soft keys. A
// simulated ETP board with hand keys is attached through an emulated udev
// tree; the X server is private and watched by tavrin-stroke-recorder.
#include "CompanionSupport.h"
#include "ProcessFixture.h"
#include "TempDir.h"
#include "UdevTestbed.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tavrin_test;
using namespace e2e;
using namespace std::chrono_literals;

namespace
{
constexpr unsigned T = 0xEE;  // first pointer source
constexpr unsigned S = 0xAA;  // second pointer source
constexpr unsigned CODE_IGNORED = 0xE0;  // no hot key: read and dropped

const char CONNECTED[] = "#VQ@Connect@StyleETP";

class Companion : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CXvfb::Available()) << "Xvfb is not installed";
        ASSERT_TRUE(m_Xvfb.Start()) << m_Xvfb.Error();
        // The port is the whiteboard application's; another run of the
        // service's tests on this machine may hold it for a while.
        ASSERT_TRUE(WaitUntil([&] { return m_Peer.Open(); }, 120s)) << "UDP port 10000 stays taken";
        m_pBed = std::make_unique<CUdevTestbed>();
        m_Run = std::make_unique<CServiceRun>();
    }

    std::string StepFile(const std::string& name) const { return m_Run->PathOf("step-" + name); }
    std::string BoardLog() const { return m_Run->PathOf("board.log"); }

    void StartRecorder()
    {
        ASSERT_TRUE(m_Recorder.Start({CServiceRun::BinaryDir() + "/tavrin-stroke-recorder"},
                                     {{"DISPLAY", m_Xvfb.Display()}}, m_Run->PathOf("recorder.log")));
        ASSERT_TRUE(m_Recorder.WaitForOutput("ready", 10s)) << m_Recorder.Output();
    }

    // Plugs the board in, starts the service and waits for the board to be
    // announced: "Connect" with the style, then "IsStart".
    void StartServiceWithBoard(const CBoardScript& script, int port, int orientSamples = 20)
    {
        m_Run->WriteSettings(SettingsXml(port, orientSamples));
        script.Write(m_Run->PathOf("board.script"));
        m_BoardSyspath = m_pBed->AddUsbBoard("1-1", "1314", "1001");
        const std::map<std::string, std::string> env = {{"LD_PRELOAD", "libumockdev-preload.so.0"},
                                                        {"TAVRIN_SIM_SCRIPT", m_Run->PathOf("board.script")},
                                                        {"TAVRIN_SIM_LOG", BoardLog()}};
        // Another test run on this machine may hold the single-instance lock
        // for a while.
        auto until = std::chrono::steady_clock::now() + 90s;
        for (;;)
        {
            ASSERT_TRUE(m_Run->Start(m_Xvfb.Display(), env));
            bool refused = false;
            WaitUntil(
                [&] {
                    refused = m_Run->Output().find("already running") != std::string::npos;
                    return refused || m_Peer.Count() > 0;
                },
                20s);
            if (!refused || std::chrono::steady_clock::now() > until)
                break;
            m_Run->Process().WaitExit(20s);
            std::this_thread::sleep_for(1s);
            m_Peer.Clear();
        }
        int connect = m_Peer.WaitFor(CONNECTED, 0, 20s);
        ASSERT_GE(connect, 0) << m_Peer.Dump() << "\n" << m_Run->Output();
        ASSERT_EQ(m_Peer.WaitFor("#VQ@IsStart", connect, 5s), connect + 1) << m_Peer.Dump();
        ASSERT_TRUE(WaitUntil([&] { return IsListeningLocal(port); }, 10s));
    }

    // Lets the board go on past `await <step>` and waits until it has
    // delivered `packets` packets in all.
    void Release(const std::string& step, int packets)
    {
        e2e::Touch(StepFile(step));
        ASSERT_TRUE(WaitUntil([&] { return PacketsRead(BoardLog()) >= packets; }, 10s))
            << "board stuck at step " << step << ": " << ReadWholeFile(BoardLog());
    }

    // The whiteboard application announces itself; the service answers with
    // the board style (or "DisConnect" while it thinks the board is silent).
    // Returns the index of the answer.
    int AnnounceApplication()
    {
        size_t from = m_Peer.Count();
        m_Peer.Send("#VQ@Start");
        int answer = -1;
        WaitUntil(
            [&] {
                for (const char* a : {CONNECTED, "#VQ@DisConnect"})
                {
                    std::vector<int> at = m_Peer.IndexesOf(a, from);
                    if (!at.empty())
                        answer = at.front();
                }
                return answer >= 0;
            },
            5s);
        return answer;
    }

    std::vector<ButtonEvent> Buttons() const { return ButtonEvents(m_Recorder.Output()); }
    // Index of the first press of `button` within 3 pixels of (x, y) at or after `from`.
    int PressNear(int button, int x, int y, size_t from = 0) const
    {
        std::vector<ButtonEvent> events = Buttons();
        for (size_t i = from; i < events.size(); ++i)
        {
            const ButtonEvent& e = events[i];
            if (e.press && e.button == button && std::abs(e.x - x) <= 3 && std::abs(e.y - y) <= 3)
                return static_cast<int>(i);
        }
        return -1;
    }
    int WaitPressNear(int button, int x, int y, size_t from = 0)
    {
        int at = -1;
        WaitUntil([&] { return (at = PressNear(button, x, y, from)) >= 0; }, 10s);
        return at;
    }

    std::string Diagnostics() const
    {
        return m_Peer.Dump() + "\n--- service ---\n" + m_Run->Output() + "\n--- recorder ---\n" + m_Recorder.Output();
    }

    CXvfb m_Xvfb;
    CUdpPeer m_Peer;
    std::unique_ptr<CUdevTestbed> m_pBed;
    std::unique_ptr<CServiceRun> m_Run;
    CChildProcess m_Recorder;
    std::string m_BoardSyspath;
};

// ---------------------------------------------------------------------------

TEST_F(Companion, BoardStatusSideKeyWordsAndFrontButton)
{
    CBoardScript board;
    board.IdentifyWithHand()
        .Await(StepFile("hotkey"))
        .Packet(T, 0xFB, RawX(500), RawY(400))  // hot key "save"
        // A board silent for about 4.5 s is reported lost, which also makes
        // the service forget the application's start: the board says
        // something before the application announces itself.
        .Await(StepFile("wake1"))
        .Packet(T, CODE_IGNORED, RawX(500), RawY(400))
        .Await(StepFile("front1"))
        .Packet(T, 0x85, RawX(300), RawY(300))
        .Wait(30)
        .Packet(T, 0x83, RawX(300), RawY(300))
        .Wait(700)  // past the double-press window of the first press
        .Await(StepFile("wake2"))
        .Packet(T, CODE_IGNORED, RawX(600), RawY(450))
        .Await(StepFile("front2"))
        .Packet(T, 0x85, RawX(600), RawY(450))
        .Wait(30)
        .Packet(T, 0x83, RawX(600), RawY(450))
        .Touch(T, 700, 500, 2);
    ASSERT_NO_FATAL_FAILURE(StartRecorder());
    ASSERT_NO_FATAL_FAILURE(StartServiceWithBoard(board, 4991));
    int packets = 1;

    // The whiteboard application starts and asks for the board.
    size_t from = m_Peer.Count();
    m_Peer.Send("#VQ@Start");
    ASSERT_GE(m_Peer.WaitFor(CONNECTED, from, 5s), 0) << Diagnostics();

    {
        SCOPED_TRACE("hardware hot key of a board with hand keys");
        from = m_Peer.Count();
        auto pressed = std::chrono::steady_clock::now();
        ASSERT_NO_FATAL_FAILURE(Release("hotkey", packets += 1));
        int save = m_Peer.WaitFor("save", from, 5s);
        ASSERT_GE(save, 0) << Diagnostics();
        auto after = std::chrono::duration_cast<Ms>(m_Peer.Messages()[save].at - pressed);
        EXPECT_GE(after.count(), 450) << "the word is sent when the double-press window closes, not at the press";
        EXPECT_EQ(m_Peer.IndexesOf("save", from).size(), 1u) << m_Peer.Dump(from);
    }

    {
        SCOPED_TRACE("front button, no answer to the board-frame question: left click");
        ASSERT_NO_FATAL_FAILURE(Release("wake1", packets += 1));
        ASSERT_GE(AnnounceApplication(), 0) << Diagnostics();
        // The click lands at the pen.
        int x = 300, y = 300;
        size_t buttonsBefore = Buttons().size();
        from = m_Peer.Count();
        ASSERT_NO_FATAL_FAILURE(Release("front1", packets += 2));
        int elfc = m_Peer.WaitFor("elfc", from, 5s);
        ASSERT_GE(elfc, 0) << Diagnostics();
        EXPECT_GT(m_Peer.WaitFor("bard", from, 5s), elfc) << "the question follows the button's word";
        int click = WaitPressNear(1, x, y, buttonsBefore);
        ASSERT_GE(click, 0) << Diagnostics();
        ASSERT_TRUE(WaitUntil([&] { return Buttons().size() > static_cast<size_t>(click) + 1; }, 5s));
        EXPECT_FALSE(Buttons()[click + 1].press) << "a click: the button goes up again";
    }

    {
        SCOPED_TRACE("front button over the application's board frame: no click");
        size_t buttonsBefore = Buttons().size();
        ASSERT_NO_FATAL_FAILURE(Release("wake2", packets += 1));
        m_Peer.AnswerWith("bard", "#VQ@InBoardFrm");
        ASSERT_GE(AnnounceApplication(), 0) << Diagnostics();
        from = m_Peer.Count();
        ASSERT_NO_FATAL_FAILURE(Release("front2", packets += 2 + 3));
        EXPECT_GE(m_Peer.WaitFor("elfc", from, 5s), 0) << Diagnostics();
        EXPECT_GE(m_Peer.WaitFor("bard", from, 5s), 0) << Diagnostics();
        // The touch after the button shows the pointer events have gone
        // through; nothing was pressed before it.
        int touch = WaitPressNear(1, 700, 500, buttonsBefore);
        ASSERT_GE(touch, 0) << Diagnostics();
        EXPECT_EQ(static_cast<size_t>(touch), buttonsBefore) << Diagnostics();
        m_Peer.StopAnswering();
    }

    {
        SCOPED_TRACE("board removed");
        from = m_Peer.Count();
        m_pBed->Unplug(m_BoardSyspath);
        EXPECT_GE(m_Peer.WaitFor("#VQ@DisConnect@StyleETP", from, 10s), 0) << Diagnostics();
        EXPECT_TRUE(m_Run->WaitForOutput("CTavrinApp::DestoryWorkThread", 5s));
    }
    EXPECT_TRUE(m_Run->Process().Running());
}

// ---------------------------------------------------------------------------

TEST_F(Companion, DualModeForwardsTheSecondSourceUntilShutDown)
{
    CBoardScript board;
    board.IdentifyWithHand()
        .Await(StepFile("dual"))
        .Packet(S, 0x81, RawX(300), RawY(200))
        .Packet(S, 0x81, RawX(330), RawY(220))
        .Packet(S, 0x81, RawX(360), RawY(240))
        .Packet(S, 0x83, RawX(360), RawY(240))
        .Await(StepFile("single"))
        .Touch(S, 500, 400, 2);
    ASSERT_NO_FATAL_FAILURE(StartRecorder());
    ASSERT_NO_FATAL_FAILURE(StartServiceWithBoard(board, 4992));

    CDualListener listener;
    ASSERT_TRUE(listener.Open());
    m_Peer.Send("#VQ@StartDual " + std::to_string(listener.Port()));
    ASSERT_TRUE(listener.Accept(5s)) << Diagnostics();
    EXPECT_TRUE(m_Run->WaitForOutput("type == START_DUAL\n", 5s));

    ASSERT_NO_FATAL_FAILURE(Release("dual", 5));
    std::vector<CDualListener::Record> records = listener.ReadRecords(5, 5s);
    ASSERT_EQ(records.size(), 5u) << Diagnostics();
    // move + press at the first point, two smoothed moves, the release
    const int kinds[] = {1, 0, 1, 1, 2};
    for (size_t i = 0; i < records.size(); ++i)
    {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(records[i].marker1, -1);
        EXPECT_EQ(records[i].marker2, -1);
        EXPECT_EQ(records[i].kind, kinds[i]);
        EXPECT_NEAR(records[i].x, 330, 35);
        EXPECT_NEAR(records[i].y, 220, 25);
    }
    EXPECT_NEAR(records[0].x, 300, 1);
    EXPECT_NEAR(records[0].y, 200, 1);
    EXPECT_EQ(records[4].x, records[3].x) << "the release is reported at the last point";
    EXPECT_EQ(records[4].y, records[3].y);

    m_Peer.Send("#VQ@ShutDownDual");
    EXPECT_TRUE(listener.WaitClosed(5s)) << "the channel is closed" << Diagnostics();

    // Back to one user: the second source drives the X pointer again.
    ASSERT_NO_FATAL_FAILURE(Release("single", 8));
    int press = WaitPressNear(1, 500, 400);
    ASSERT_GE(press, 0) << Diagnostics();
    EXPECT_EQ(press, 0) << "nothing of the dual-mode contact reached X" << Diagnostics();
}

// ---------------------------------------------------------------------------

// The calibration the tests touch: targets of a 1024x768 screen, board units
// on another scale than the installed 4-point calibration.
int NewRawX(double x) { return static_cast<int>(std::lround(4000 + (x - 40) * 8000.0 / 943.0)); }
int NewRawY(double y) { return static_cast<int>(std::lround(3000 + (y - 30) * 7000.0 / 707.0)); }

// Samples of one contact around (cx, cy): eight that are dropped while the
// pen settles, five that are averaged without their extremes, then enough
// to complete the point.
const int kSettle = 8;
const int kOffX[] = {0, 1, 1, 50, -50};
const int kOffY[] = {1, 0, 0, -40, 40};

void Contact(CBoardScript& board, int cx, int cy)
{
    for (int i = 0; i < kSettle; ++i)
        board.Packet(T, 0x81, cx + 400, cy - 300);
    for (int i = 0; i < 5; ++i)
        board.Packet(T, 0x81, cx + kOffX[i], cy + kOffY[i]);
    for (int i = 0; i < 3; ++i)
        board.Packet(T, 0x81, cx, cy);
    board.Packet(T, 0x83, cx, cy);
}
const int kContactPackets = kSettle + 5 + 3 + 1;

double TrimmedMean(int centre, const int* offsets)
{
    int sum = 0, lo = offsets[0], hi = offsets[0];
    for (int i = 0; i < 5; ++i)
    {
        sum += centre + offsets[i];
        lo = std::min(lo, offsets[i]);
        hi = std::max(hi, offsets[i]);
    }
    return (sum - (centre + lo) - (centre + hi)) / 3.0;
}

std::string PairText(int cx, int cy)
{
    char text[64];
    snprintf(text, sizeof text, "(%lf,%lf)", TrimmedMean(cx, kOffX), TrimmedMean(cy, kOffY));
    return text;
}

std::string Attribute(const std::string& xml, const std::string& name)
{
    std::string key = " " + name + "=\"";
    size_t at = xml.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return xml.substr(at, xml.find('"', at) - at);
}

std::string Element(const std::string& xml, const std::string& name)
{
    size_t at = xml.find("<" + name);
    if (at == std::string::npos)
        return "";
    return xml.substr(at, xml.find("/>", at) + 2 - at);
}

TEST_F(Companion, CalibrationAndSoftKeysThroughTheCommandTool)
{
    const int port = 4993;
    const int targetX[] = {40, 512, 983}, targetY[] = {30, 384, 737};
    const int keys = 28;
    auto keyX = [](int i) { return 1500 + 450 * i; };
    auto keyY = [](int i) { return 900 + 700 * (i % 4); };

    CBoardScript board;
    board.IdentifyWithHand().Await(StepFile("orient")).Wait(100);
    for (int k = 0; k < 9; ++k)  // down each column, then the next column
        Contact(board, NewRawX(targetX[k / 3]), NewRawY(targetY[k % 3]));
    board.Await(StepFile("after"));
    for (int i = 0; i < 3; ++i)
        board.Packet(T, 0x81, NewRawX(276), NewRawY(207));
    board.Packet(T, 0x83, NewRawX(276), NewRawY(207));
    board.Await(StepFile("sidekey")).Wait(100);
    for (int i = 0; i < keys; ++i)
        Contact(board, keyX(i), keyY(i));
    ASSERT_NO_FATAL_FAILURE(StartServiceWithBoard(board, port, 5));

    // The companion program finds the port in its settings.
    CTempDir companion;
    companion.WriteFile("Config/config.xml", SettingsXml(port));
    auto runCtl = [&](CChildProcess& ctl, const std::vector<std::string>& args, const std::string& step) {
        // The collection has started when the service has read its settings
        // for it; only then does the board begin to touch.
        CCloseWatch watch(m_Run->PathOf("Config"), "config.xml");
        ASSERT_TRUE(watch.Ok());
        std::vector<std::string> argv{CServiceRun::BinaryDir() + "/tavrin-etp-ctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(ctl.Start(argv, {{"VELUNOR_ETP_DIR", companion.Path()}}, m_Run->PathOf(step + ".ctl")));
        ASSERT_TRUE(watch.WaitReadClose(10s)) << ctl.Output() << Diagnostics();
        e2e::Touch(StepFile(step));
        ASSERT_TRUE(ctl.WaitExit(60s)) << ctl.Output() << Diagnostics();
    };
    auto fins = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += "fin\n";
        return s;
    };

    {
        SCOPED_TRACE("calibration with nine points");
        CChildProcess ctl;
        ASSERT_NO_FATAL_FAILURE(runCtl(ctl, {"orient", "9"}, "orient"));
        EXPECT_EQ(ctl.ExitCode(), 0);
        EXPECT_EQ(ctl.Output(), fins(9));
        ASSERT_TRUE(WaitUntil([&] { return Attribute(m_Run->ReadSettings(), "dotNum") == "9"; }, 10s))
            << m_Run->ReadSettings();
        std::string settings = m_Run->ReadSettings();
        for (int k = 0; k < 9; ++k)
        {
            EXPECT_EQ(Attribute(settings, "dot" + std::to_string(k)),
                      PairText(NewRawX(targetX[k / 3]), NewRawY(targetY[k % 3])))
                << "dot" << k;
        }

        // The next touch is mapped through the new calibration.
        e2e::Touch(StepFile("after"));
        int x = -1, y = -1;
        EXPECT_TRUE(WaitUntil(
            [&] { return QueryPointer(m_Xvfb.Display(), &x, &y) && std::abs(x - 276) <= 2 && std::abs(y - 207) <= 2; },
            10s))
            << "pointer at " << x << "," << y << "\n"
            << Diagnostics();
    }

    {
        SCOPED_TRACE("soft-key positions");
        const std::string calibration = Element(m_Run->ReadSettings(), "coordinate");
        CChildProcess ctl;
        ASSERT_NO_FATAL_FAILURE(runCtl(ctl, {"sidekey", std::to_string(keys)}, "sidekey"));
        EXPECT_EQ(ctl.ExitCode(), 0);
        EXPECT_EQ(ctl.Output(), fins(keys));
        ASSERT_TRUE(WaitUntil([&] { return !Attribute(m_Run->ReadSettings(), "key27").empty(); }, 10s))
            << m_Run->ReadSettings();
        std::string settings = m_Run->ReadSettings();
        for (int i = 0; i < keys; ++i)
            EXPECT_EQ(Attribute(settings, "key" + std::to_string(i)), PairText(keyX(i), keyY(i))) << "key" << i;
        EXPECT_EQ(Element(settings, "coordinate"), calibration);
    }
    const int total = 1 + (9 + keys) * kContactPackets + 4;
    EXPECT_TRUE(WaitUntil([&] { return PacketsRead(BoardLog()) == total; }, 5s))
        << PacketsRead(BoardLog()) << " of " << total << " packets read";
}

// ---------------------------------------------------------------------------

// Connections the listening command port holds but the service has not
// accepted yet (the receive-queue column of a listening socket).
int AcceptQueue(int port)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    char wanted[16];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(in, line))
    {
        std::istringstream ss(line);
        std::string slot, local, remote, state, queues;
        ss >> slot >> local >> remote >> state >> queues;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
            return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return -1;
}

TEST_F(Companion, ChannelsServeTheLocalHostOnlyAndASilentClientBlocksNothing)
{
    const int port = 4994;
    CBoardScript board;
    board.IdentifyWithHand()
        .Await(StepFile("press"))
        .Touch(T, 400, 300, 2)
        .Await(StepFile("hotkey"))
        .Packet(T, 0xFF, RawX(400), RawY(300));  // hot key "bpen"
    ASSERT_NO_FATAL_FAILURE(StartRecorder());
    ASSERT_NO_FATAL_FAILURE(StartServiceWithBoard(board, port));

    {
        SCOPED_TRACE("bound addresses");
        std::vector<std::string> tcp = ListeningAddresses(port);
        std::vector<std::string> udp = UdpBoundAddresses(9999);
        ASSERT_FALSE(tcp.empty());
        ASSERT_FALSE(udp.empty());
        for (const std::string& a : tcp)
            EXPECT_EQ(a, "127.0.0.1") << "command port";
        for (const std::string& a : udp)
            EXPECT_EQ(a, "127.0.0.1") << "datagram port";
    }

    std::string other = NonLoopbackAddress();
    if (other.empty() || !LoopbackAcceptsDatagramsFrom(other))
    {
        std::printf("no non-loopback address reaches the loopback here: foreign datagrams not tried\n");
    }
    else
    {
        SCOPED_TRACE("datagrams from " + other);
        CDualListener listener;
        ASSERT_TRUE(listener.Open());
        size_t from = m_Peer.Count();
        ASSERT_TRUE(SendDatagramFrom(other, 9999, "#VQ@Start"));
        ASSERT_TRUE(SendDatagramFrom(other, 9999, "#VQ@StartDual " + std::to_string(listener.Port())));
        // A datagram from the local host, queued behind them, is answered:
        // the foreign ones were read first and dropped.
        int answer = AnnounceApplication();
        ASSERT_GE(answer, 0) << Diagnostics();
        EXPECT_EQ(m_Peer.IndexesOf(CONNECTED, from).size() + m_Peer.IndexesOf("#VQ@DisConnect", from).size(), 1u)
            << m_Peer.Dump(from);
        EXPECT_FALSE(listener.HasPendingConnection(300ms)) << "dual mode started by a foreign datagram";
        EXPECT_EQ(m_Run->Output().find("hehe1"), std::string::npos);
    }

    {
        SCOPED_TRACE("a command client that never names its topic");
        int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        // The service has taken the connection off the queue.
        ASSERT_TRUE(WaitUntil([&] { return AcceptQueue(port) == 0; }, 5s)) << AcceptQueue(port);

        EXPECT_GE(AnnounceApplication(), 0) << "datagrams are still answered" << Diagnostics();
        ASSERT_NO_FATAL_FAILURE(Release("press", 4));
        EXPECT_GE(WaitPressNear(1, 400, 300), 0) << "touches still reach X" << Diagnostics();
        size_t from = m_Peer.Count();
        ASSERT_NO_FATAL_FAILURE(Release("hotkey", 5));
        EXPECT_GE(m_Peer.WaitFor("bpen", from, 5s), 0) << "side-key windows still close" << Diagnostics();

        // Another companion program is served meanwhile.
        CChildProcess ctl;
        size_t out = m_Run->Output().size();
        ASSERT_TRUE(ctl.Start({CServiceRun::BinaryDir() + "/tavrin-etp-ctl", "--port", std::to_string(port), "penset"},
                              {}, m_Run->PathOf("penset.ctl")));
        ASSERT_TRUE(ctl.WaitExit(10s)) << Diagnostics();
        EXPECT_EQ(ctl.ExitCode(), 0) << ctl.Output();
        EXPECT_TRUE(m_Run->WaitForOutput("front:elfc back:elbc", 5s, out));

        // The client gives up: the service goes on.
        close(silent);
        EXPECT_GE(AnnounceApplication(), 0) << Diagnostics();
    }
    EXPECT_TRUE(m_Run->Process().Running());
}
}  // namespace
