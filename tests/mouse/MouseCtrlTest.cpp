#include "mouse/CMouseCtrlBase.h"

#include "app/CAppServices.h"
#include "FakeClock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tavrin_test::CChdir;
using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;

namespace
{
using Events = std::vector<std::string>;

std::string Move(int x, int y)
{
    return "move " + std::to_string(x) + " " + std::to_string(y);
}

// Pointer output that records its primitives instead of touching X.
class CRecordingMouse : public CMouseCtrlBase
{
public:
    CRecordingMouse() : CMouseCtrlBase(L"TavrinWorkETPD") {}

    void LeftDown() override { Add("ldown"); }
    void RightDown() override { Add("rdown"); }
    void LeftUp() override { Add("lup"); }
    void RightUp() override { Add("rup"); }
    void MoveTo(int x, int y) override { Add(Move(x, y)); }

    // Returns and forgets what was recorded so far.
    Events Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Events out;
        out.swap(m_events);
        return out;
    }

private:
    void Add(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
    }
    std::mutex m_mutex;
    Events m_events;
};

struct DualRecord
{
    int kind, x, y;
    bool operator==(const DualRecord& o) const { return kind == o.kind && x == o.x && y == o.y; }
};

std::ostream& operator<<(std::ostream& os, const DualRecord& r)
{
    return os << "(" << r.kind << "," << r.x << "," << r.y << ")";
}

class CRecordingApp : public CAppServices
{
public:
    CRecordingApp() { SetAppServices(this); }
    ~CRecordingApp() override { SetAppServices(nullptr); }
    void SendDualPoint(int kind, int x, int y) override { records.push_back({kind, x, y}); }
    std::vector<DualRecord> Take()
    {
        std::vector<DualRecord> out;
        out.swap(records);
        return out;
    }
    std::vector<DualRecord> records;
};

class MouseTest : public ::testing::Test
{
protected:
    void SetUp() override { CMouseCtrlBase::ResetDampingFilter(); }
    void TearDown() override { CMouseCtrlBase::ResetDampingFilter(); }

    // Pressed at `p`, with the press primitives already taken.
    void Press(int x, int y, void (CMouseCtrlBase::*fn)(int, int, int) = &CMouseCtrlBase::PointerEvent)
    {
        (mouse.*fn)(x, y, 1);
        ASSERT_EQ(mouse.Take(), (Events{Move(x, y), "ldown"}));
    }

    CFakeClock clock;
    CRecordingMouse mouse;
};

const Events kRightClick = {"lup", "rdown", "rup"};

TEST_F(MouseTest, PressThenReleaseMovesPressesAndLifts)
{
    mouse.PointerEvent(120, 340, 1);
    mouse.PointerEvent(999, 999, 0);
    EXPECT_EQ(mouse.Take(), (Events{Move(120, 340), "ldown", "lup"}));

    // A release with nothing pressed sends nothing.
    mouse.PointerEvent(1, 1, 0);
    EXPECT_TRUE(mouse.Take().empty());
}

TEST_F(MouseTest, HeldStillRightClicksOncePerContact)
{
    mouse.SetLimits(5, 10);
    mouse.SetSmoothing(1.0f, 0.0f);
    Press(100, 100);

    for (int i = 0; i < 5; ++i)
    {
        mouse.PointerEvent(109, 91, 1);
        EXPECT_EQ(mouse.Take(), Events{Move(109, 91)}) << "still move " << i + 1;
    }
    mouse.PointerEvent(109, 91, 1);
    Events expected = kRightClick;
    expected.push_back(Move(109, 91));
    EXPECT_EQ(mouse.Take(), expected);
    EXPECT_EQ(clock.SleptMs(), 1);  // two waits of 0.5 ms

    // The count restarts but the contact has had its right click.
    for (int i = 0; i < 12; ++i)
        mouse.PointerEvent(100, 100, 1);
    for (const std::string& e : mouse.Take())
        EXPECT_EQ(e, Move(100, 100));

    // The button is up already; the release lifts it once more.
    mouse.PointerEvent(100, 100, 0);
    EXPECT_EQ(mouse.Take(), Events{"lup"});

    // A new contact may right-click again.
    Press(100, 100);
    for (int i = 0; i < 6; ++i)
        mouse.PointerEvent(100, 100, 1);
    int rightDowns = 0;
    for (const std::string& e : mouse.Take())
        rightDowns += e == "rdown";
    EXPECT_EQ(rightDowns, 1);
}

TEST_F(MouseTest, OnlyMovesInsideLimitMoveCountAsStill)
{
    struct Case
    {
        int dx, dy;
        bool still;
    } cases[] = {
        {9, 9, true}, {-9, -9, true}, {10, 0, false}, {0, 10, false}, {-10, 0, false}, {0, -10, false}, {10, 10, false},
    };
    for (const Case& c : cases)
    {
        CRecordingMouse m;
        m.SetLimits(5, 10);
        m.SetSmoothing(1.0f, 0.0f);
        m.PointerEvent(500, 500, 1);
        for (int i = 0; i < 8; ++i)
            m.PointerEvent(500 + c.dx, 500 + c.dy, 1);
        int rightDowns = 0;
        for (const std::string& e : m.Take())
            rightDowns += e == "rdown";
        EXPECT_EQ(rightDowns, c.still ? 1 : 0) << "offset " << c.dx << "," << c.dy;
    }
}

TEST_F(MouseTest, StillMovesCountOverTheWholeContact)
{
    // Moves away from the press point do not reset the count.
    mouse.SetLimits(3, 10);
    mouse.SetSmoothing(1.0f, 0.0f);
    Press(0, 0);
    const int xs[] = {1, 50, 2, 60, 3, 4};
    for (int x : xs)
        mouse.PointerEvent(x, 0, 1);
    EXPECT_EQ(mouse.Take(), (Events{Move(1, 0), Move(50, 0), Move(2, 0), Move(60, 0), Move(3, 0), "lup", "rdown",
                                    "rup", Move(4, 0)}));
}

TEST_F(MouseTest, ZeroLimitCountDisablesHoldExceptWhenDamped)
{
    for (bool damped : {false, true})
    {
        CRecordingMouse m;
        m.SetLimits(0, 10);
        m.SetSmoothing(1.0f, 0.0f);
        auto fn = damped ? &CMouseCtrlBase::PointerEventDamped : &CMouseCtrlBase::PointerEvent;
        (m.*fn)(100, 100, 1);
        (m.*fn)(101, 101, 1);
        int rightDowns = 0;
        for (const std::string& e : m.Take())
            rightDowns += e == "rdown";
        EXPECT_EQ(rightDowns, damped ? 1 : 0) << (damped ? "damped" : "plain");
        CMouseCtrlBase::ResetDampingFilter();
    }
}

TEST_F(MouseTest, SmoothingIsSinglePrecisionTruncatedTowardZero)
{
    struct Case
    {
        float rc1, rc2;
        int pressX, pressY;
        std::vector<std::pair<int, int>> moves;
        std::vector<std::pair<int, int>> expected;
    } cases[] = {
        {0.5f, 0.5f, 100, 100, {{200, 200}, {200, 200}}, {{150, 150}, {175, 175}}},
        // -1.5 goes to -1, not -2.
        {0.5f, 0.5f, 0, 0, {{-3, -3}, {-3, -3}}, {{-1, -1}, {-2, -2}}},
        // 11 * 0.7f + 1 * 0.3f is 8 in float; in double it falls just below 8.
        {0.7f, 0.3f, 1, 1, {{11, 11}}, {{8, 8}}},
    };
    for (const Case& c : cases)
    {
        CRecordingMouse m;
        m.SetSmoothing(c.rc1, c.rc2);
        m.PointerEvent(c.pressX, c.pressY, 1);
        m.Take();
        Events expected;
        for (size_t i = 0; i < c.moves.size(); ++i)
        {
            m.PointerEvent(c.moves[i].first, c.moves[i].second, 1);
            expected.push_back(Move(c.expected[i].first, c.expected[i].second));
        }
        EXPECT_EQ(m.Take(), expected) << "rc " << c.rc1 << "/" << c.rc2;
    }
}

TEST_F(MouseTest, KindsOtherThanPressAndRelease)
{
    using Fn = void (CMouseCtrlBase::*)(int, int, int);
    const Fn plain = &CMouseCtrlBase::PointerEvent;
    const Fn averaged = &CMouseCtrlBase::PointerEventAveraged;
    const Fn damped = &CMouseCtrlBase::PointerEventDamped;
    struct Case
    {
        const char* name;
        Fn fn;
        bool pressed;
        int kind;
        Events expected;
    } cases[] = {
        {"right click", plain, false, 2, kRightClick},
        {"left click", plain, false, 3, {"ldown", "lup"}},
        {"move", plain, true, 4, {Move(7, 8)}},
        {"re-press", plain, true, 5, {"lup", "ldown"}},
        {"re-press unpressed", plain, false, 5, {}},
        {"kind 6", plain, true, 6, {}},
        {"negative kind", plain, true, -1, {}},
        {"averaged right click", averaged, true, 2, kRightClick},
        {"averaged re-press", averaged, true, 5, {"lup", "ldown"}},
        {"averaged kind 6", averaged, true, 6, {}},
        {"damped left click", damped, false, 3, {"ldown", "lup"}},
        {"damped move", damped, true, 4, {Move(7, 8)}},
        {"damped kind 5", damped, true, 5, {}},
    };
    for (const Case& c : cases)
    {
        CRecordingMouse m;
        m.SetSmoothing(1.0f, 0.0f);
        if (c.pressed)
            (m.*c.fn)(1, 2, 1);
        m.Take();
        (m.*c.fn)(7, 8, c.kind);
        EXPECT_EQ(m.Take(), c.expected) << c.name;
        // None of them ends or starts a contact: a release still lifts exactly
        // when the contact was pressed.
        (m.*c.fn)(7, 8, 0);
        EXPECT_EQ(m.Take(), c.pressed ? Events{"lup"} : Events{}) << c.name;
        CMouseCtrlBase::ResetDampingFilter();
    }
}

TEST_F(MouseTest, AveragingFilterFollowsMovingAndStillModes)
{
    // LIMIT_MOVE 0: no move is still, so nothing right-clicks here.
    Press(90, 90, &CMouseCtrlBase::PointerEventAveraged);
    struct Step
    {
        int x, y;
        bool moves;
        int ox, oy;
    } steps[] = {
        {100, 100, true, 100, 100},  // first input after warm-up passes through
        {110, 100, true, 110, 100},  // reference point; smoother stage 0
        {120, 100, true, 115, 100},  // (120 + 110) / 2
        {130, 100, true, 122, 100},  // 65 + 30 + 27.5
        {131, 101, true, 126, 100},
        {112, 105, true, 118, 102},
        {115, 98, true, 118, 99},
        {118, 102, true, 118, 101},
        {120, 100, true, 119, 100},
        {121, 101, true, 119, 100},
        // Tenth input within 19 of the reference: still mode, groups of four
        // whose first and fourth points give the larger coordinates (126, 112).
        {125, 110, false, 0, 0},
        {122, 108, false, 0, 0},
        {130, 104, false, 0, 0},
        {126, 112, true, 122, 106},
        {124, 109, false, 0, 0},
    };
    for (const Step& s : steps)
    {
        mouse.PointerEventAveraged(s.x, s.y, 1);
        EXPECT_EQ(mouse.Take(), s.moves ? Events{Move(s.ox, s.oy)} : Events{}) << "input " << s.x << "," << s.y;
    }

    // The release resets warm-up, groups and smoother but keeps still mode.
    mouse.PointerEventAveraged(0, 0, 0);
    EXPECT_EQ(mouse.Take(), Events{"lup"});
    Press(290, 290, &CMouseCtrlBase::PointerEventAveraged);
    const Step second[] = {
        {300, 300, true, 300, 300},
        {305, 305, false, 0, 0},
        {310, 290, false, 0, 0},
        {302, 308, false, 0, 0},
        {309, 301, true, 309, 305},
    };
    for (const Step& s : second)
    {
        mouse.PointerEventAveraged(s.x, s.y, 1);
        EXPECT_EQ(mouse.Take(), s.moves ? Events{Move(s.ox, s.oy)} : Events{}) << "input " << s.x << "," << s.y;
    }
}

TEST_F(MouseTest, DampingFilterTwoStagesAndResetOnRelease)
{
    Press(0, 0, &CMouseCtrlBase::PointerEventDamped);
    const int in[][2] = {{10, -10}, {20, -20}, {15, -15}, {3, -3}, {0, 0}};
    // Stage 1 primes with the first input; stage 2 with stage 1's second
    // output; negative values truncate toward zero (12.6 -> 12, -9.5 -> -9).
    const int out[][2] = {{10, -10}, {12, -12}, {12, -12}, {11, -11}, {9, -9}};
    for (size_t i = 0; i < 5; ++i)
    {
        mouse.PointerEventDamped(in[i][0], in[i][1], 1);
        EXPECT_EQ(mouse.Take(), Events{Move(out[i][0], out[i][1])}) << "input " << i;
    }

    mouse.PointerEventDamped(0, 0, 0);
    EXPECT_EQ(mouse.Take(), Events{"lup"});
    Press(50, 50, &CMouseCtrlBase::PointerEventDamped);
    mouse.PointerEventDamped(60, 60, 1);
    EXPECT_EQ(mouse.Take(), Events{Move(60, 60)});
}

TEST_F(MouseTest, DampingFilterIsSharedByAllOutputs)
{
    CRecordingMouse other;
    Press(0, 0, &CMouseCtrlBase::PointerEventDamped);
    mouse.PointerEventDamped(100, 100, 1);
    mouse.Take();
    other.PointerEventDamped(0, 0, 1);
    other.Take();
    other.PointerEventDamped(200, 200, 1);
    // 0.2 * 200 + 0.8 * 100 from the first output's stage 1.
    EXPECT_EQ(other.Take(), Events{Move(120, 120)});
}

TEST_F(MouseTest, LoadLimitsReadsTheTagSection)
{
    CTempDir dir;
    dir.WriteFile("Config/config.xml", R"XML(<?xml version="1.0"?>
<Config>
    <TavrinWorkIR>
        <Constants LIMIT_COUNT="9" LIMIT_MOVE="9" RC1="0.1" RC2="0.9"/>
    </TavrinWorkIR>
    <TavrinWorkETPD>
        <Constants LIMIT_COUNT="7" LIMIT_MOVE="12" RC1="0.7" RC2=" 0.3"/>
    </TavrinWorkETPD>
    <TavrinWorkPS>
        <Constants LIMIT_MOVE="4" RC1="junk"/>
    </TavrinWorkPS>
</Config>
)XML");
    CChdir cd(dir.Path());

    mouse.LoadLimits();
    EXPECT_EQ(mouse.GetLimitCount(), 7);
    EXPECT_EQ(mouse.GetLimitMove(), 12);
    EXPECT_FLOAT_EQ(mouse.GetRC1(), 0.7f);
    EXPECT_FLOAT_EQ(mouse.GetRC2(), 0.3f);
    // The weights are used as read: the float case of the smoothing table.
    mouse.PointerEvent(1, 1, 1);
    mouse.PointerEvent(11, 11, 1);
    EXPECT_EQ(mouse.Take(), (Events{Move(1, 1), "ldown", Move(8, 8)}));

    struct Case
    {
        const wchar_t* tag;
        int count, move;
        float rc1, rc2;
    } cases[] = {
        {L"TavrinWorkPS", 0, 4, 0.0f, 0.0f},   // absent or unreadable values are 0
        {L"TavrinWorkLT", 0, 0, 0.0f, 0.0f},   // no section at all
    };
    for (const Case& c : cases)
    {
        struct CWithTag : public CMouseCtrlBase
        {
            explicit CWithTag(const wchar_t* t) : CMouseCtrlBase(t) {}
            void LeftDown() override {}
            void RightDown() override {}
            void LeftUp() override {}
            void RightUp() override {}
            void MoveTo(int, int) override {}
        } m(c.tag);
        m.SetLimits(99, 99);
        m.SetSmoothing(9.0f, 9.0f);
        m.LoadLimits();
        EXPECT_EQ(m.GetLimitCount(), c.count);
        EXPECT_EQ(m.GetLimitMove(), c.move);
        EXPECT_EQ(m.GetRC1(), c.rc1);
        EXPECT_EQ(m.GetRC2(), c.rc2);
    }
}

TEST_F(MouseTest, RightClickFromAnotherThreadNeverSplitsASequence)
{
    // Sleeps that yield make the work thread's sequences easy to interrupt.
    class CYieldingClock : public CFakeClock
    {
    public:
        void SleepUs(int us) override
        {
            CFakeClock::SleepUs(us);
            std::this_thread::yield();
        }
    } yielding;

    mouse.SetLimits(1, 1000);
    mouse.SetSmoothing(1.0f, 0.0f);
    std::thread mainThread([&] {
        for (int i = 0; i < 3000; ++i)
            mouse.PointerEvent(0, 0, 2);
    });
    for (int i = 0; i < 3000; ++i)
        mouse.PointerEvent(5, 5, i % 4 == 3 ? 0 : 1);
    mainThread.join();

    // Every right click (from either thread) is three adjacent primitives.
    Events events = mouse.Take();
    for (size_t i = 0; i < events.size(); ++i)
    {
        if (events[i] != "rdown")
            continue;
        ASSERT_GE(i, 1u);
        ASSERT_LT(i + 1, events.size());
        EXPECT_EQ(events[i - 1], "lup") << "at " << i;
        EXPECT_EQ(events[i + 1], "rup") << "at " << i;
    }
}

class DualTest : public MouseTest
{
protected:
    void SetUp() override
    {
        MouseTest::SetUp();
        mouse.SetLimits(100, 10);
        mouse.SetSmoothing(1.0f, 0.0f);
    }
    // A tap whose second report stays near the press point: a click.
    void Tap(int x, int y)
    {
        mouse.DualPointerEvent(x, y, 1);
        mouse.DualPointerEvent(x + 1, y + 1, 1);
        mouse.DualPointerEvent(x + 2, y + 2, 0);
    }
    CRecordingApp app;
};

TEST_F(DualTest, RecordsGoToTheChannelAndNeverToX)
{
    mouse.SetSmoothing(0.5f, 0.5f);
    mouse.DualPointerEvent(100, 100, 1);
    mouse.DualPointerEvent(200, 200, 1);
    mouse.DualPointerEvent(200, 200, 1);
    mouse.DualPointerEvent(300, 300, 0);
    mouse.DualPointerEvent(300, 300, 0);  // not pressed: nothing
    mouse.DualPointerEvent(40, 50, 3);
    mouse.DualPointerEvent(60, 70, 4);
    mouse.DualPointerEvent(60, 70, 5);
    mouse.DualPointerEvent(60, 70, 2);
    const std::vector<DualRecord> expected = {
        {1, 100, 100}, {0, 100, 100}, {1, 150, 150}, {1, 175, 175}, {2, 175, 175},
        {0, 40, 50},   {2, 40, 50},   {1, 60, 70},
    };
    EXPECT_EQ(app.Take(), expected);
    EXPECT_TRUE(mouse.Take().empty());
}

TEST_F(DualTest, TwoNearbyTapsWithinTheWindowMakeADoubleClick)
{
    struct Case
    {
        const char* name;
        int secondDelayMs;
        int secondOffset;      // of the second tap's press point
        bool doubleClick;
        int singleClickLines;  // "single click" printed over both taps
    } cases[] = {
        {"300 ms apart", 300, 0, true, 1},
        {"499 ms apart", 499, 0, true, 1},
        {"500 ms apart", 500, 0, false, 2},
        {"600 ms apart", 600, 0, false, 2},
        {"press points 39 apart", 300, 39, true, 1},
        {"press points 40 apart", 300, 40, false, 1},
    };
    for (const Case& c : cases)
    {
        CFakeClock fake;
        CRecordingMouse m;
        m.SetLimits(100, 10);
        m.SetSmoothing(1.0f, 0.0f);
        app.Take();
        testing::internal::CaptureStdout();
        m.DualPointerEvent(100, 100, 1);
        m.DualPointerEvent(101, 101, 1);
        m.DualPointerEvent(102, 102, 0);
        fake.Advance(c.secondDelayMs);
        const int x = 100 + c.secondOffset;
        m.DualPointerEvent(x, 100, 1);
        m.DualPointerEvent(x + 1, 101, 1);
        m.DualPointerEvent(x + 7, 107, 0);
        const std::string out = testing::internal::GetCapturedStdout();

        std::vector<DualRecord> records = app.Take();
        ASSERT_FALSE(records.empty());
        if (c.doubleClick)
        {
            // After the second release record, at the point of the release call.
            ASSERT_GE(records.size(), 2u) << c.name;
            EXPECT_EQ(records[records.size() - 2], (DualRecord{2, x + 1, 101})) << c.name;
            EXPECT_EQ(records.back(), (DualRecord{3, x + 7, 107})) << c.name;
        }
        else
        {
            EXPECT_EQ(records.back(), (DualRecord{2, x + 1, 101})) << c.name;
        }
        std::string expectedOut;
        for (int i = 0; i < c.singleClickLines; ++i)
            expectedOut += "single click\n";
        EXPECT_EQ(out, expectedOut) << c.name;
    }
}

TEST_F(DualTest, APressAloneIsNotAClick)
{
    CFakeClock fake;
    testing::internal::CaptureStdout();
    Tap(100, 100);
    fake.Advance(100);
    // Press and release only: not still, so it neither prints nor counts.
    mouse.DualPointerEvent(100, 100, 1);
    mouse.DualPointerEvent(100, 100, 0);
    fake.Advance(100);
    Tap(100, 100);  // 200 ms after the first click: double click
    // A tap whose last move left the press point is not still either.
    fake.Advance(100);
    mouse.DualPointerEvent(100, 100, 1);
    mouse.DualPointerEvent(101, 101, 1);
    mouse.DualPointerEvent(150, 150, 1);
    mouse.DualPointerEvent(150, 150, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "single click\n");
    int doubles = 0;
    for (const DualRecord& r : app.Take())
        doubles += r.kind == 3;
    EXPECT_EQ(doubles, 1);
}
}  // namespace
