// Packet handlers of the ETPD and ET boards: pointer sources, pen buttons,
// hot keys, soft keys, calibration, pen settings and commands.
#include "WorkTestSupport.h"

#include "conversion/COrientProcess.h"

#include <chrono>
#include <future>
#include <thread>

using namespace worktest;

class WorkHandlerTest : public WorkTest
{
};

TEST_F(WorkHandlerTest, ContactOfSourceTMovesPressesAndReleasesThePointer)
{
    auto w = Make<TEtpd>();
    w->Dispatch(EtpdAt(0xEE, 0x81, 200, 400));
    w->Dispatch(EtpdAt(0xEE, 0x81, 220, 420));
    w->Dispatch(EtpdAt(0xEE, 0x83, 999, 999));
    // The mapping halves raw points; the release lifts at the last mapped
    // point without moving.
    EXPECT_EQ(V({"MoveTo 100 200", "LeftDown", "MoveTo 110 210", "LeftUp"}), m_Log.Take());
    EXPECT_EQ(110, w->GetLastPoint().x);
}

TEST_F(WorkHandlerTest, EtReleaseLiftsAtTheLastPointThenMovesToTheReleasePosition)
{
    auto w = Make<TEt>();
    w->Dispatch(EtAt(0xEE, 0x51, 400, 600));
    w->Dispatch(EtAt(0xEE, 0x61, 1000, 2000));
    EXPECT_EQ(V({"MoveTo 200 300", "LeftDown", "LeftUp", "MoveTo 500 1000"}), m_Log.Take());

    // While calibrating the release position is not a move.
    w->OnCommand(1, 4);
    m_Log.Take();
    w->Dispatch(EtAt(0xEE, 0x61, 1000, 2000));
    EXPECT_EQ(V({}), m_Log.Take());
}

TEST_F(WorkHandlerTest, SourceSDrivesThePointerOutsideDualModesAndTheDualChannelInThem)
{
    struct Case
    {
        const char* name;
        int command;  // -1 none, 8 StartDual, 9 StartDualSplit
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"normal", -1, {"MoveTo 100 200", "LeftDown", "LeftUp"}},
        {"dual", 8, {"dual 1 100 200", "dual 0 100 200", "dual 2 100 200"}},
        {"split", 9, {"dual 1 100 200", "dual 0 100 200", "dual 2 100 200"}},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>();
        if (c.command >= 0)
            w->OnCommand(c.command, 5000);
        m_Log.Take();
        w->Dispatch(EtpdAt(0xAA, 0x81, 200, 400));
        w->Dispatch(EtpdAt(0xAA, 0x83, 200, 400));
        EXPECT_EQ(c.expected, m_Log.Take()) << c.name;
    }
}

TEST_F(WorkHandlerTest, FrontButtonActsOncePerContactAndOnlyFromSourceT)
{
    auto w = Make<TEtpd>();
    w->Dispatch(EtpdAt(0xAA, 0x85, 200, 400));
    EXPECT_EQ(V({}), m_Log.Take()) << "front button of source S";

    w->Dispatch(EtpdAt(0xEE, 0x85, 200, 400));
    w->Dispatch(EtpdAt(0xEE, 0x85, 300, 500));
    // Default front text: "elfc" at once, a left click at the pen (the
    // pointer is moved there first).
    EXPECT_EQ(V({"MoveTo 100 200", "dgram elfc", "post 3", "LeftDown", "LeftUp"}), m_Log.Take());

    w->Dispatch(EtpdAt(0xEE, 0x83, 300, 500));
    m_Log.Take();
    w->Dispatch(EtpdAt(0xEE, 0x85, 300, 500));
    EXPECT_EQ(1, m_Log.Count("dgram elfd")) << "a new contact presses again (double press)";
}

TEST_F(WorkHandlerTest, FrontButtonAsksTheWhiteboardWhetherToClick)
{
    struct Case
    {
        const char* name;
        bool appStarted;
        bool answerInFrame;
        bool bard;
        bool click;
    };
    const Case cases[] = {
        {"application not running", false, false, false, true},
        {"pen outside the board frame", true, false, true, true},
        {"pen over the board frame", true, true, true, false},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>();
        g_bAppStarted = c.appStarted;
        g_bInBoardFrame = true;  // a stale answer must not count
        // The answer arrives on the main thread while the handler waits.
        m_Clock.m_OnSleep = [&](int) { g_bInBoardFrame = c.answerInFrame; };
        int64_t slept = m_Clock.m_nSleptMs;
        w->Dispatch(EtpdAt(0xEE, 0x85, 200, 400));
        m_Clock.m_OnSleep = nullptr;
        auto log = m_Log.Take();
        EXPECT_EQ(c.bard ? 1 : 0, (int)std::count(log.begin(), log.end(), "dgram bard")) << c.name;
        EXPECT_EQ(c.bard ? 20 : 0, m_Clock.m_nSleptMs - slept) << c.name;
        EXPECT_EQ(c.click ? 1 : 0, (int)std::count(log.begin(), log.end(), "LeftDown")) << c.name;
        EXPECT_EQ(1, w->KeyFired()) << c.name;
    }
}

TEST_F(WorkHandlerTest, BackButtonLeavesTheRightClickToTheEndOfTheWindow)
{
    auto w = Make<TEtpd>();
    g_bAppStarted = true;
    w->Dispatch(EtpdAt(0xEE, 0x81, 200, 400));
    m_Log.Take();
    w->Dispatch(EtpdAt(0xEE, 0x87, 600, 800));
    w->Dispatch(EtpdAt(0xEE, 0x87, 600, 800));
    EXPECT_EQ(V({"dgram bard", "dgram elbc", "post 3"}), m_Log.Take());
    EXPECT_EQ(20, m_Clock.m_nSleptMs);
    EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction() == L"back");

    // Window expiry on the main thread: right click at the last mapped point
    // (the back-button packet did not move it).
    w->OnAppEvent(1);
    EXPECT_EQ(V({"right click request", "LeftUp", "RightDown", "RightUp"}), m_Log.Take());
}

TEST_F(WorkHandlerTest, HotKeysRunTheirActionOnlyOnBoardsWithHotKeys)
{
    struct Case
    {
        const char* name;
        bool hadHand;
        unsigned char code;
        const wchar_t* action;
    };
    const Case cases[] = {
        {"F8 with hot keys", true, 0xF8, L"orient"},
        {"D8 second set", true, 0xD8, L"orient"},
        {"FF pen", true, 0xFF, L"bpen"},
        {"F2 pen", true, 0xF2, L"rpen"},
        {"F8 without hot keys", false, 0xF8, L""},
        {"E0 unknown", true, 0xE0, L""},
        {"F0 unknown", true, 0xF0, L""},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>(c.hadHand);
        w->Dispatch(Pkt(0xEE, c.code));
        EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction() == c.action) << c.name;
        EXPECT_EQ(*c.action ? 1 : 0, m_Log.Count("post 3")) << c.name;
        m_Log.Take();
    }
}

TEST_F(WorkHandlerTest, SoftKeyFiresOncePerContactAndNeverMovesThePointer)
{
    auto w = Make<TEtpd>();
    for (int i = 0; i < 5; ++i)
        w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(3), KEY_Y + i));
    EXPECT_EQ(V({"post 3"}), m_Log.Take());
    EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction() == L"next");
    EXPECT_EQ(1, w->GetSidekeyProcess()->GetPressType());

    w->Dispatch(EtpdAt(0xEE, 0x83, KeyX(3), KEY_Y));
    EXPECT_EQ(V({}), m_Log.Take()) << "no button was pressed";
    // The next contact fires again: the same action within the window
    // completes the first press and arms the window again.
    w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(3), KEY_Y));
    EXPECT_EQ(V({"dgram next", "post 3"}), m_Log.Take());
}

TEST_F(WorkHandlerTest, SoftKeysOfDualModeBelongToOneSourceEach)
{
    struct Case
    {
        const char* name;
        int command;  // 8 StartDual, 9 StartDualSplit
        unsigned char source;
        int key;
        int pressType;  // 0: nothing fires
        bool keyFired, keyFired2;
    };
    const Case cases[] = {
        {"dual, S on the first user's key", 8, 0xAA, 3, 0, false, false},
        {"dual, S on its own key", 8, 0xAA, 17, 2, false, true},
        {"dual, T on the second user's key", 8, 0xEE, 17, 0, false, false},
        {"dual, T on its own key", 8, 0xEE, 3, 1, true, false},
        {"split, S fires as the first source", 9, 0xAA, 3, 1, true, false},
        {"split, S on any key", 9, 0xAA, 17, 1, true, false},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>();
        w->OnCommand(c.command, 5000);
        m_Log.Take();
        w->Dispatch(EtpdAt(c.source, 0x81, KeyX(c.key), KEY_Y));
        w->Dispatch(EtpdAt(c.source, 0x81, KeyX(c.key), KEY_Y + 1));
        auto log = m_Log.Take();
        // A soft-key point never reaches a pointer, fired or not.
        EXPECT_EQ(c.pressType ? V({"post 3"}) : V({}), log) << c.name;
        EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction() == (c.pressType ? L"next" : L"")) << c.name;
        if (c.pressType)
        {
            EXPECT_EQ(c.pressType, w->GetSidekeyProcess()->GetPressType()) << c.name;
        }
        EXPECT_EQ(c.keyFired, w->KeyFired() != 0) << c.name;
        EXPECT_EQ(c.keyFired2, w->KeyFired2() != 0) << c.name;
    }
}

TEST_F(WorkHandlerTest, SourceSReleaseClearsOnlyItsOwnKeyFlagInDualMode)
{
    auto w = Make<TEtpd>();
    w->OnCommand(8, 5000);
    w->Dispatch(EtpdAt(0xAA, 0x81, KeyX(17), KEY_Y));
    w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(3), KEY_Y));
    ASSERT_TRUE(w->KeyFired() && w->KeyFired2());
    w->Dispatch(EtpdAt(0xAA, 0x83, KeyX(17), KEY_Y));
    EXPECT_EQ(1, w->KeyFired());
    EXPECT_EQ(0, w->KeyFired2());
    w->Dispatch(EtpdAt(0xEE, 0x83, KeyX(3), KEY_Y));
    EXPECT_EQ(0, w->KeyFired());
}

// The application holds its work-slot lock while a timer handler calls into
// the work thread, and takes the same lock when a side-key action ending on
// the work thread asks for the right click. The handler lock must not be held
// across that call, or the two threads wait for each other for good.
TEST_F(WorkHandlerTest, SideKeyRightClickDoesNotBlockTheMainThread)
{
    auto w = Make<TEtpd>();
    std::recursive_mutex slot;
    m_Services.m_pSlotMutex = &slot;
    // Back button: its right click waits for the end of the window.
    w->Dispatch(EtpdAt(0xEE, 0x87, 200, 400));
    w->Dispatch(EtpdAt(0xEE, 0x83, 200, 400));
    m_Log.Take();

    std::atomic<bool> inRequest{false};
    m_Services.m_OnRightClick = [&] { inRequest = true; };
    std::promise<bool> mainDone;
    std::unique_lock<std::recursive_mutex> held(slot);  // main thread: timer handler
    // A soft key within the window ends the back action on the work thread.
    std::thread work([&] { w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(3), KEY_Y)); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!inRequest && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(inRequest);
    std::thread watchdog([&] {
        if (mainDone.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        {
            fprintf(stderr, "deadlock: the main thread waits for the handler lock\n");
            std::_Exit(1);
        }
    });
    w->OnAppEvent(0);  // the short timer, still under the slot lock
    mainDone.set_value(true);
    held.unlock();
    work.join();
    watchdog.join();
    m_Services.m_OnRightClick = nullptr;
    auto log = m_Log.Take();
    EXPECT_EQ(1, (int)std::count(log.begin(), log.end(), "RightDown"));
    EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction() == L"next");
}

// ORIENT_RECV_DATA_SIZE 3 with the skip of 8: a point needs 12 samples.
TEST_F(WorkHandlerTest, CalibrationCompletionSwallowsTheContactThenReturnsToNormal)
{
    auto w = Make<TEtpd>();
    CConversionBase* before = w->GetMapping();
    EXPECT_TRUE(w->OnCommand(1, 4));
    EXPECT_EQ(1, w->GetMode());
    testing::internal::CaptureStdout();
    // Three targets, one contact each.
    for (int point = 0; point < 3; ++point)
    {
        for (int i = 0; i < 12; ++i)
            w->Dispatch(EtpdAt(0xEE, 0x81, 600 + point, 800));
        w->Dispatch(EtpdAt(0xEE, 0x83, 600 + point, 800));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(3, m_Log.Count("advise fin"));
    EXPECT_EQ(V({"cmd 1", "advise fin", "advise fin", "advise fin"}), m_Log.Take()) << "no pointer action";
    EXPECT_EQ(1, w->GetMode());
    // Packets the drain will find: the pen is still down, then lifts; the
    // packet after the lift stays for the read loop.
    m_pDev->Push(EtpdAt(0xEE, 0x81, 700, 700));
    m_pDev->Push(Pkt(0xEE, 0x51));
    m_pDev->Push(EtpdAt(0xEE, 0x81, 700, 700));
    m_pDev->Push(EtpdAt(0xEE, 0x83, 700, 700));
    m_pDev->Push(EtpdAt(0xEE, 0x81, 900, 900));

    testing::internal::CaptureStdout();
    for (int i = 0; i < 11; ++i)
        w->Dispatch(EtpdAt(0xEE, 0x81, 600, 800));
    EXPECT_EQ(0, m_pDev->m_nReads);
    EXPECT_EQ(1, w->GetMode());
    w->Dispatch(EtpdAt(0xEE, 0x81, 600, 800));
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(std::string::npos, out.find("....return true\n"));
    EXPECT_EQ(0, w->GetMode());
    EXPECT_EQ(1000, m_Clock.m_nSleptMs);
    EXPECT_EQ(4, m_pDev->m_nReads) << "read up to and including the lift";
    EXPECT_EQ(1u, m_pDev->Pending());
    // No click at any time: one plain move to the completing point.
    EXPECT_EQ(V({"advise fin", "reload", "MoveTo 300 400"}), m_Log.Take());
    // The mapping was rebuilt from the new calibration and brought up to date.
    ASSERT_NE(before, w->GetMapping());
    EXPECT_EQ(2, w->Mapping()->m_nUpdates) << "Initialize and the update after the lift";
    EXPECT_EQ("4", ReadAttr("TavrinWorkETPD", "coordinate", "dotNum"));

    // Normal again: the next contact presses.
    w->Dispatch(EtpdAt(0xEE, 0x81, 600, 800));
    EXPECT_EQ(V({"MoveTo 300 400", "LeftDown"}), m_Log.Take());
}

TEST_F(WorkHandlerTest, CalibrationDrainEndsOnSilenceAndOnStop)
{
    struct Case
    {
        const char* name;
        int result;  // what the read after two press packets returns
        bool stop;
        int reads;
    };
    const Case cases[] = {
        {"time-out", 0, false, 3},
        {"pulled board", -1, false, 3},
        {"short read", 5, false, 3},
        {"stop while the pen stays down", 8, true, 2},
    };
    for (const Case& c : cases)
    {
        auto w = Make<TEtpd>();
        w->OnCommand(2, 1);
        m_pDev->Push(EtpdAt(0xEE, 0x81, 700, 700));
        m_pDev->Push(EtpdAt(0xEE, 0x81, 700, 700));
        if (c.stop)
        {
            m_pDev->m_bRepeatLast = true;
            m_pDev->m_OnRead = [&](int n) {
                if (n == 2)
                    w->RequestStop();
            };
        }
        else
        {
            m_pDev->PushResult(c.result, EtpdAt(0xEE, 0x81, 700, 700));
        }
        testing::internal::CaptureStdout();
        for (int i = 0; i < 12; ++i)
            w->Dispatch(EtpdAt(0xEE, 0x81, 600, 800));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.reads, m_pDev->m_nReads) << c.name;
        EXPECT_EQ(0, w->GetMode()) << c.name;
        m_pDev->m_OnRead = nullptr;
        m_Log.Take();
    }
}

TEST_F(WorkHandlerTest, CalibrationModePassesSamplesOnlyToTheCalibration)
{
    auto w = Make<TEtpd>();
    w->OnCommand(1, 4);
    m_Log.Take();
    for (int i = 0; i < 5; ++i)
        w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(3), KEY_Y));
    w->Dispatch(EtpdAt(0xEE, 0x83, KeyX(3), KEY_Y));
    // Not a soft key, not a press: the release only lifts (nothing held).
    EXPECT_EQ(V({}), m_Log.Take());
    EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction().empty());

    EXPECT_TRUE(w->OnCommand(0, 1));
    EXPECT_EQ(1, w->GetMode()) << "only value 0 ends the mode";
    EXPECT_TRUE(w->OnCommand(0, 0));
    EXPECT_EQ(0, w->GetMode());
}

class WorkPenSettingsTest : public WorkTest
{
};

TEST_F(WorkPenSettingsTest, PenButtonsTakeTheirActionsFromTheSettings)
{
    struct Case
    {
        const char* etpanset;
        const wchar_t* front;
        const wchar_t* back;
        const char* printed;
    };
    // Starting from a fresh thread, "unchanged" means empty.
    const Case cases[] = {
        {"<ETPANSET Is_Default=\"1\" FRONT=\"4\" BACK=\"6\"/>", L"elfc", L"elbc", "front:elfc back:elbc\n"},
        {"<ETPANSET Is_Default=\"0\" FRONT=\"4\" BACK=\"6\"/>", L"moue", L"earh", "front:moue back:earh\n"},
        {"<ETPANSET Is_Default=\"0\" FRONT=\"0\" BACK=\"10\"/>", L"anew", L"pend", "front:anew back:pend\n"},
        {"<ETPANSET Is_Default=\"0\" FRONT=\"11\" BACK=\"6\"/>", L"", L"", "front: back:\n"},
        {"<ETPANSET Is_Default=\"0\" FRONT=\"4\" BACK=\"-1\"/>", L"", L"", "front: back:\n"},
        {"<ETPANSET Is_Default=\"2\" FRONT=\"4\" BACK=\"6\"/>", L"", L"", "front: back:\n"},
        {"<ETPANSET/>", L"anew", L"anew", "front:anew back:anew\n"},
    };
    for (const Case& c : cases)
    {
        WriteConfig(DefaultConfig(c.etpanset));
        testing::internal::CaptureStdout();
        auto w = Make<TEtpd>();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(w->GetFrontText() == c.front) << c.etpanset;
        EXPECT_TRUE(w->GetBackText() == c.back) << c.etpanset;
        EXPECT_NE(std::string::npos, out.find(c.printed)) << c.etpanset << "\n" << out;
        EXPECT_TRUE(w->GetSidekeyProcess()->GetFrontAction() == c.front) << c.etpanset;
        EXPECT_TRUE(w->GetSidekeyProcess()->GetBackAction() == c.back) << c.etpanset;
    }
}

TEST_F(WorkPenSettingsTest, PensetCommandRereadsAndKeepsTextsOnBadValues)
{
    WriteConfig(DefaultConfig("<ETPANSET Is_Default=\"0\" FRONT=\"4\" BACK=\"6\"/>"));
    auto w = Make<TEtpd>();
    WriteConfig(DefaultConfig("<ETPANSET Is_Default=\"0\" FRONT=\"1\" BACK=\"11\"/>"));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(w->OnCommand(4, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(w->GetFrontText() == L"moue");
    EXPECT_TRUE(w->GetBackText() == L"earh");

    WriteConfig(DefaultConfig("<ETPANSET Is_Default=\"0\" FRONT=\"1\" BACK=\"2\"/>"));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(w->OnCommand(4, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(w->GetFrontText() == L"save");
    EXPECT_TRUE(w->GetSidekeyProcess()->GetBackAction() == L"prev");
}

class WorkCommandTest : public WorkTest
{
};

TEST_F(WorkCommandTest, DualCommandsSetFlagsAndOpenOrCloseTheChannel)
{
    auto w = Make<TEtpd>();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(w->OnCommand(8, 6100));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("type == START_DUAL\n"));
    EXPECT_TRUE(w->IsDual());
    EXPECT_FALSE(w->IsDualSplit());

    EXPECT_TRUE(w->OnCommand(9, 6200));
    EXPECT_TRUE(w->IsDual() && w->IsDualSplit()) << "both flags may be set";

    EXPECT_TRUE(w->OnCommand(10, 0));
    EXPECT_FALSE(w->IsDual() || w->IsDualSplit());
    EXPECT_EQ(V({"cmd 8", "open dual 6100", "cmd 9", "open dual 6200", "cmd 10", "close dual"}), m_Log.Take());
}

TEST_F(WorkCommandTest, CommandsOutsideTheBoardsRepertoireAnswerFalse)
{
    auto w = Make<TEtpd>();
    for (int code : {5, 6, 7, 11, 12, 13, 14, -1})
        EXPECT_FALSE(w->OnCommand(code, 1)) << code;
    for (int code : {0, 3})
        EXPECT_TRUE(w->OnCommand(code, 1)) << code;
    EXPECT_TRUE(w->OnCommand(2, 28));
    EXPECT_EQ(2, w->GetMode());
    EXPECT_EQ(28, w->GetOrientProcess()->GetPointCount());
    EXPECT_EQ(2, w->GetOrientProcess()->GetMode());
}

TEST_F(WorkCommandTest, TimerEventsEndTheContactOrTheSideKeyWindow)
{
    auto w = Make<TEtpd>();
    w->Dispatch(EtpdAt(0xEE, 0x81, 200, 400));
    m_Log.Take();
    w->OnAppEvent(0);
    EXPECT_EQ(V({"LeftUp"}), m_Log.Take());
    w->OnAppEvent(7);
    EXPECT_EQ(V({}), m_Log.Take());

    w->Dispatch(EtpdAt(0xEE, 0x81, KeyX(5), KEY_Y));
    m_Log.Take();
    w->OnAppEvent(1);
    EXPECT_EQ(V({"dgram bpen"}), m_Log.Take());
}

TEST_F(WorkCommandTest, RightClickAtLastPointUsesTheLastMappedPoint)
{
    auto w = Make<TEtpd>();
    w->Dispatch(EtpdAt(0xEE, 0x81, 200, 400));
    w->Dispatch(EtpdAt(0xEE, 0x83, 200, 400));
    m_Log.Take();
    w->RightClickAtLastPoint();
    EXPECT_EQ(V({"LeftUp", "RightDown", "RightUp"}), m_Log.Take());
    EXPECT_EQ(100, w->GetLastPoint().x);
    EXPECT_EQ(200, w->GetLastPoint().y);
}
