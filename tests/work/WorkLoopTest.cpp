// The read loop (miss counting, start-command repeats, loss and
// reconnection), device hand-over, destruction, and the thread itself.
#include "WorkTestSupport.h"

#include <chrono>
#include <condition_variable>
#include <thread>

using namespace worktest;

class WorkLoopTest : public WorkTest
{
protected:
    // Runs BeginLoop with its output swallowed.
    void Begin(CTavrinWorkBase& w)
    {
        testing::internal::CaptureStdout();
        w.BeginLoop();
        m_strBeginOut = testing::internal::GetCapturedStdout();
    }
    std::string m_strBeginOut;
};

TEST_F(WorkLoopTest, SilenceRepeatsTheStartCommandThenReportsTheBoardLostOnce)
{
    auto w = Make<TEtpd>();
    g_bAppStarted = true;
    Begin(*w);
    EXPECT_EQ("ggg:3\n", m_strBeginOut) << "2000 ms over a 500 ms time-out, minus one";
    EXPECT_EQ(V({"start"}), m_Log.Take()) << "one start command as the loop begins";

    // Time-outs, failed reads and short reads are all misses.
    const int results[] = {0, -1, 5, 0, 0, -2, 0, 7, 0, 0, -1, 0};
    struct Expect
    {
        int miss;
        std::vector<std::string> events;
    };
    const Expect expected[] = {
        {1, {}}, {2, {}}, {3, {}}, {4, {"start"}}, {5, {"start"}}, {6, {"start"}}, {7, {"start"}},
        {8, {"start"}}, {9, {"start", "lost"}}, {10, {"start"}}, {11, {"start"}}, {12, {"start"}},
    };
    std::string out;
    for (int i = 0; i < 12; ++i)
    {
        m_pDev->PushResult(results[i], EtpdAt(0xEE, 0x81, 200, 400));
        testing::internal::CaptureStdout();
        w->RunLoopStep();
        out += testing::internal::GetCapturedStdout();
        EXPECT_EQ(expected[i].events, m_Log.Take()) << "miss " << expected[i].miss;
        EXPECT_EQ(expected[i].miss, w->GetMissCount());
        if (expected[i].miss == 9)
        {
            EXPECT_FALSE(g_bAppStarted) << "the whiteboard must announce itself again";
            EXPECT_FALSE(w->IsConnected());
        }
    }
    EXPECT_EQ("TIME_LIMIT\n", out);
    EXPECT_EQ(12, m_Clock.m_nSleptMs) << "1 ms per miss";

    // The first complete packet reports the board back before it is handled.
    m_pDev->Push(EtpdAt(0xEE, 0x81, 200, 400));
    w->RunLoopStep();
    EXPECT_EQ(V({"connected", "MoveTo 100 200", "LeftDown"}), m_Log.Take());
    EXPECT_EQ(0, w->GetMissCount());
    EXPECT_TRUE(w->IsConnected());
}

TEST_F(WorkLoopTest, AnyCompleteReadEndsTheSilence)
{
    auto w = Make<TEtpd>();
    Begin(*w);
    m_Log.Take();
    Bytes garbage = EtpdAt(0xEE, 0x81, 200, 400);
    garbage[7] ^= 0xFF;
    for (int round = 0; round < 3; ++round)
    {
        for (int i = 0; i < 3; ++i)
        {
            m_pDev->PushMiss();
            w->RunLoopStep();
        }
        // A packet with a bad checksum is dropped, but the board is talking.
        m_pDev->Push(garbage);
        w->RunLoopStep();
        EXPECT_EQ(0, w->GetMissCount());
    }
    EXPECT_EQ(V({}), m_Log.Take());
}

TEST_F(WorkLoopTest, TagsChangeTheLoop)
{
    struct Case
    {
        const wchar_t* tag;
        bool startAtBegin;
        int misses;
        std::vector<std::string> afterSilence;  // with one packet after the misses
        int64_t sleptMs;
    };
    const Case cases[] = {
        // A UI board reads back to back and is never reported lost.
        {L"TavrinWorkUI", false, 20, {"MoveTo 100 200", "LeftDown"}, 0},
        // IR boards need their start-up again after a loss.
        {L"TavrinWorkIR", true, 9, {"cmd 13", "connected", "MoveTo 100 200", "LeftDown"}, 9},
        {L"TavrinWorkIRD", true, 9, {"cmd 13", "connected", "MoveTo 100 200", "LeftDown"}, 9},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>();
        w->SetTag(c.tag);
        int64_t slept = m_Clock.m_nSleptMs;
        Begin(*w);
        EXPECT_EQ(c.startAtBegin ? 1 : 0, m_pDev->m_nStart.load());
        for (int i = 0; i < c.misses; ++i)
        {
            m_pDev->PushMiss();
            testing::internal::CaptureStdout();
            w->RunLoopStep();
            testing::internal::GetCapturedStdout();
        }
        EXPECT_EQ(c.sleptMs, m_Clock.m_nSleptMs - slept);
        auto log = m_Log.Take();
        if (!c.startAtBegin)
        {
            EXPECT_EQ(V({}), log);
        }
        m_pDev->Push(EtpdAt(0xEE, 0x81, 200, 400));
        w->RunLoopStep();
        EXPECT_EQ(c.afterSilence, m_Log.Take());
    }
}

TEST_F(WorkLoopTest, SetDeviceRecordsTheBoardAndBuildsTheHelpers)
{
    for (bool hadHand : {false, true})
    {
        auto w = Make<TEtpd>(hadHand);
        EXPECT_EQ("/dev/hidraw7", ReadAttr("Global", "Device", "path"));
        EXPECT_EQ("TavrinWorkETPD", ReadAttr("Global", "CurrentRun", "TYPE"));
        EXPECT_EQ(hadHand ? "1" : "0", ReadAttr("TavrinWorkETPD", "Flag", "Is_Had_Hand"));
        ASSERT_NE(nullptr, w->GetBuffer());
        EXPECT_EQ(8, w->GetBufLen());
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(0, w->GetBuffer()[i]);
        EXPECT_NE(nullptr, w->GetPointerOutput());
        EXPECT_NE(nullptr, w->GetMapping());
        EXPECT_NE(nullptr, w->GetOrientProcess());
        ASSERT_NE(nullptr, w->GetSidekeyProcess());
        // Boards with hardware hot keys have no soft keys.
        EXPECT_EQ(!hadHand, w->GetSidekeyProcess()->IsEnabled());
        EXPECT_EQ(20, w->GetSidekeyProcess()->GetPointSize());
        EXPECT_EQ(m_pDev, w->GetDevice());
    }
}

TEST_F(WorkLoopTest, SetDeviceRefusesNoDeviceAndASecondDevice)
{
    auto w = std::make_unique<TEtpd>(&m_Log);
    EXPECT_FALSE(w->SetDevice(nullptr));
    auto* first = new CFakeDevice(m_Desc);
    ASSERT_TRUE(w->SetDevice(first));
    CFakeDevice second(m_Desc);
    EXPECT_FALSE(w->SetDevice(&second));
    EXPECT_EQ(first, w->GetDevice());
}

TEST_F(WorkLoopTest, TakenDeviceOutlivesTheThread)
{
    // A thread that cannot be run is deleted; its device goes back to the
    // caller, which releases it once.
    auto w = Make<TEtpd>();
    bool destroyed = false;
    m_pDev->m_pDestroyed = &destroyed;
    std::unique_ptr<CFakeDevice> dev(static_cast<CFakeDevice*>(w->TakeDevice()));
    ASSERT_EQ(m_pDev, dev.get());
    EXPECT_EQ(nullptr, w->GetDevice());
    w.reset();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(0, dev->m_nClose.load());
}

TEST_F(WorkLoopTest, IsSameDeviceComparesThePath)
{
    auto w = std::make_unique<TEtpd>(&m_Log);
    DeviceDescriptor d = m_Desc;
    EXPECT_FALSE(w->IsSameDevice(d)) << "no device yet";
    ASSERT_TRUE(w->SetDevice(new CFakeDevice(m_Desc)));
    char same[] = "/dev/hidraw7";
    char other[] = "/dev/hidraw8";
    d.path = same;
    d.pid = 99;
    EXPECT_TRUE(w->IsSameDevice(d));
    d.path = other;
    EXPECT_FALSE(w->IsSameDevice(d));
}

TEST_F(WorkLoopTest, NoDeviceMeansFailedTransfers)
{
    auto w = std::make_unique<TEtpd>(&m_Log);
    unsigned char buf[8] = {};
    EXPECT_EQ(-1, w->ReadPacket(buf, 8));
    EXPECT_EQ(-1, w->SendStartCommand());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, w->WritePacket(buf, 8));
    EXPECT_EQ("m_pDev = NULL\n", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(w->LoadDriverSettings());
    // Without helpers nothing a main-thread call reaches may crash.
    w->OnAppEvent(0);
    w->OnAppEvent(1);
    w->RightClickAtLastPoint();
    EXPECT_TRUE(w->OnCommand(1, 4));
    EXPECT_TRUE(w->OnCommand(3, 0));
}

TEST_F(WorkLoopTest, DestructionReleasesEverythingThenNotifies)
{
    auto w = Make<TEtpd>();
    bool destroyed = false;
    m_pDev->m_pDestroyed = &destroyed;
    std::vector<std::string> atNotify;
    bool destroyedAtNotify = false;
    w->SetExitNotify([&]() {
        atNotify = m_Log.Peek();
        destroyedAtNotify = destroyed;
    });
    w.reset();
    EXPECT_EQ(V({"close dual", "dev Close"}), atNotify);
    EXPECT_TRUE(destroyedAtNotify);
    EXPECT_EQ("", ReadAttr("Global", "CurrentRun", "TYPE"));
}

// The real thread: the loop runs until Delete, handles packets, and the
// detached thread releases itself and notifies last.
TEST_F(WorkLoopTest, RunningThreadServesTheBoardUntilDeleted)
{
    SetClock(nullptr);  // the idle device waits for real between reads
    auto* w = new TEtpd(&m_Log);
    auto* dev = new CFakeDevice(m_Desc, &m_Log);
    bool destroyed = false;
    dev->m_pDestroyed = &destroyed;
    dev->m_OnRead = [dev](int) {
        if (dev->Pending() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    dev->Push(EtpdAt(0xEE, 0x81, 200, 400));
    dev->Push(EtpdAt(0xEE, 0x83, 200, 400));

    std::mutex m;
    std::condition_variable cv;
    bool exited = false, destroyedAtExit = false;
    ASSERT_EQ(wxTHREAD_NO_ERROR, w->Create());
    ASSERT_TRUE(w->SetDevice(dev));
    w->SetExitNotify([&]() {
        std::lock_guard<std::mutex> lk(m);
        exited = true;
        destroyedAtExit = destroyed;
        cv.notify_all();
    });
    testing::internal::CaptureStdout();
    ASSERT_EQ(wxTHREAD_NO_ERROR, w->Run());

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_Log.Count("LeftUp") == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(1, m_Log.Count("LeftUp"));
    w->Delete();
    {
        std::unique_lock<std::mutex> lk(m);
        EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return exited; }));
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(destroyedAtExit);
    auto log = m_Log.Take();
    EXPECT_EQ("start", log.front()) << out;
    EXPECT_EQ(1, (int)std::count(log.begin(), log.end(), "dev Close"));
    EXPECT_EQ("", ReadAttr("Global", "CurrentRun", "TYPE"));
}

// The main thread's entry points while the loop handles a stream of
// contacts. Meant to run clean under ThreadSanitizer as well.
TEST_F(WorkLoopTest, MainThreadCallsWhileTheLoopRuns)
{
    SetClock(nullptr);
    auto* w = new TEtpd(&m_Log);
    auto* dev = new CFakeDevice(m_Desc);
    const Bytes cycle[] = {EtpdAt(0xEE, 0x81, 200, 400), EtpdAt(0xEE, 0x81, 300, 500), EtpdAt(0xAA, 0x81, 300, 500),
                           EtpdAt(0xAA, 0x83, 300, 500), EtpdAt(0xEE, 0x83, 300, 500)};
    dev->m_OnRead = [dev, &cycle](int n) {
        if (dev->Pending() < 4)
            for (const Bytes& p : cycle)
                dev->Push(p);
        if (n % 64 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    std::mutex m;
    std::condition_variable cv;
    bool exited = false;
    ASSERT_EQ(wxTHREAD_NO_ERROR, w->Create());
    ASSERT_TRUE(w->SetDevice(dev));
    m_Services.m_pWork = w;
    w->SetExitNotify([&]() {
        std::lock_guard<std::mutex> lk(m);
        exited = true;
        cv.notify_all();
    });
    testing::internal::CaptureStdout();
    ASSERT_EQ(wxTHREAD_NO_ERROR, w->Run());
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    int i = 0;
    while (std::chrono::steady_clock::now() < end)
    {
        switch (i++ % 7)
        {
        case 0: w->OnAppEvent(0); break;
        case 1: w->RightClickAtLastPoint(); break;
        case 2: w->OnCommand(8, 7000); break;
        case 3: w->OnCommand(10, 0); break;
        case 4: w->OnAppEvent(1); break;
        case 5: w->OnCommand(i % 2 ? 1 : 0, 0); break;
        case 6: (void)w->GetLastPoint(); break;
        }
    }
    m_Services.m_pWork = nullptr;
    w->Delete();
    {
        std::unique_lock<std::mutex> lk(m);
        EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return exited; }));
    }
    testing::internal::GetCapturedStdout();
}
