// The application object's requests and timers, in-process on a private X
// server (the toolkit's GTK port needs a display).
#include "app/CTavrinApp.h"
#include "work/CTavrinWorkBase.h"

#include "FakeClock.h"
#include "ProcessFixture.h"

#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include <chrono>
#include <vector>

using namespace tavrin_test;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace
{
// Records when the short timer's expiry reached the work thread.
class CTimerWork : public CTavrinWorkBase
{
public:
    int GetPacketType() override { return 0; }
    bool DecodePoint() override { return true; }
    void OnReleaseT() override { releases.push_back(SteadyClock::now()); }
    std::vector<SteadyClock::time_point> releases;
};

void RunEventLoopFor(Ms ms)
{
    wxEventLoop loop;
    wxEventLoopActivator active(&loop);
    wxTimer stop;
    stop.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.Exit(); });
    stop.StartOnce((int)ms.count());
    loop.Run();
}

class AppEvents : public ::testing::Test
{
protected:
    CTavrinApp& app = wxGetApp();
    void TearDown() override
    {
        RunEventLoopFor(Ms(10));
        app.m_pWork = nullptr;
    }
};

TEST_F(AppEvents, OutOfRangeRequestsPostNothing)
{
    app.ProcessPendingEvents();
    ASSERT_FALSE(app.HasPendingEvents());
    for (int request : {5, -1, 100})
    {
        app.PostAppRequest(request);
        EXPECT_FALSE(app.HasPendingEvents()) << request;
    }
    app.PostAppRequest(0);  // the launcher does not exist here: posted, then ignored
    EXPECT_TRUE(app.HasPendingEvents());
    app.ProcessPendingEvents();
}

TEST_F(AppEvents, ShortTimerRestartsOnEveryRequest)
{
    CTimerWork* work = new CTimerWork;
    app.m_pWork = work;

    app.PostAppRequest(REQ_START_TIMER_SHORT);
    RunEventLoopFor(Ms(50));
    SteadyClock::time_point second = SteadyClock::now();
    app.PostAppRequest(REQ_START_TIMER_SHORT);
    RunEventLoopFor(Ms(400));

    ASSERT_EQ(1u, work->releases.size()) << "two requests within 100 ms give one expiry";
    auto after = std::chrono::duration_cast<Ms>(work->releases[0] - second).count();
    EXPECT_GE(after, 95);
    EXPECT_LE(after, 200);

    app.m_pWork = nullptr;
    CFakeClock clock;  // the thread's clean-up writes settings that do not exist here
    delete work;
}

TEST_F(AppEvents, TimerEventsWithoutAWorkThreadDoNothing)
{
    app.m_pWork = nullptr;
    app.PostAppRequest(REQ_START_TIMER_SHORT);
    app.PostAppRequest(REQ_START_TIMER_LONG);
    RunEventLoopFor(Ms(650));
    EXPECT_FALSE(app.m_ShortTimer.IsRunning());
    EXPECT_FALSE(app.m_LongTimer.IsRunning());
    EXPECT_FALSE(app.IsLongTimerRunning());
}

TEST_F(AppEvents, LongTimerIsReportedArmedUntilItExpiresOrStops)
{
    app.PostAppRequest(REQ_START_TIMER_LONG);
    RunEventLoopFor(Ms(50));
    EXPECT_TRUE(app.IsLongTimerRunning());
    app.StopLongTimer();
    EXPECT_FALSE(app.IsLongTimerRunning());
    EXPECT_FALSE(app.m_LongTimer.IsRunning());
}

TEST_F(AppEvents, WithoutChannelsTheForwardingOperationsAreHarmless)
{
    app.SendDatagram("bpen", 4);
    app.SendDualPoint(1, 10, 10);
    app.CloseDualChannel();
    app.AdviseCommandClient("fin");
    app.ReloadCalibration();
    app.RightClickAtWorkPoint();
    EXPECT_FALSE(app.SendWorkCommand(4, 0));
    EXPECT_FALSE(app.HasWorkThread());
}
}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    CXvfb xvfb;
    if (!xvfb.Start())
    {
        fprintf(stderr, "cannot start Xvfb: %s\n", xvfb.Error().c_str());
        return 1;
    }
    setenv("DISPLAY", xvfb.Display().c_str(), 1);
    // The toolkit creates the application object (CTavrinApp) here; its
    // OnInit is not run, so no server, monitor or lock is involved.
    if (!wxEntryStart(argc, argv))
    {
        fprintf(stderr, "cannot initialise the toolkit\n");
        return 1;
    }
    int rc = RUN_ALL_TESTS();
    wxEntryCleanup();
    return rc;
}
