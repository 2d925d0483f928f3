#include "sidekey/CSidekeyProcess.h"

#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "FakeClock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tavrin_test::CChdir;
using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;

namespace
{
using Log = std::vector<std::string>;

// The application as the processor sees it, with the 500 ms window simulated
// the way the main thread runs it: a posted start arms it (at once, or only
// when the test lets the main thread run), Stop disarms it, and Expire calls
// EndAction only if it is running.
class CRecordingApp : public CAppServices
{
public:
    CRecordingApp() { SetAppServices(this); }
    ~CRecordingApp() override { SetAppServices(nullptr); }

    void PostAppRequest(int request) override
    {
        if (request == REQ_START_TIMER_LONG)
        {
            if (deferStarts)
                ++queuedStarts;
            else
                running = true;
            return;
        }
        log.push_back("post " + std::to_string(request));
    }
    void SendDatagram(const char* bytes, int length) override { log.push_back(std::string(bytes, length)); }
    bool IsLongTimerRunning() override { return running; }
    void StopLongTimer() override { running = false; }
    void RightClickAtWorkPoint() override { log.push_back("right click"); }

    // The main thread handles the posted starts.
    void RunQueuedStarts()
    {
        if (queuedStarts > 0)
            running = true;
        queuedStarts = 0;
    }
    void Expire(CSidekeyProcess& proc)
    {
        if (!running)
            return;
        running = false;
        proc.EndAction();
    }
    Log Take()
    {
        Log out;
        out.swap(log);
        return out;
    }

    bool running = false;
    bool deferStarts = false;
    int queuedStarts = 0;
    Log log;
};

const std::string kRun = "post " + std::to_string(REQ_RUN_WHITEBOARD);
const std::string kOrient = "post " + std::to_string(REQ_RUN_ORIENT);

class SidekeyTest : public ::testing::Test
{
protected:
    void SetUp() override { g_bInBoardFrame = false; }
    void TearDown() override { g_bInBoardFrame = false; }
    CRecordingApp app;
};

// One step of a scenario: a soft key (index, press type), a named action, or
// the window's expiry; then what reached the application.
struct Step
{
    enum Kind
    {
        KEY,
        ACTION,
        EXPIRE,
    } kind;
    int index = 0;
    int pressType = 1;
    std::wstring action;
    Log expected;
};

Step Key(int index, int pressType, Log expected)
{
    return {Step::KEY, index, pressType, L"", std::move(expected)};
}
Step Action(const std::wstring& action, Log expected)
{
    return {Step::ACTION, 0, 1, action, std::move(expected)};
}
Step Expire(Log expected)
{
    return {Step::EXPIRE, 0, 1, L"", std::move(expected)};
}

struct Scenario
{
    const char* name;
    std::wstring front = L"elfc";
    std::wstring back = L"elbc";
    bool inBoardFrame = false;
    std::vector<Step> steps;
};

TEST_F(SidekeyTest, DoublePressWindow)
{
    // Soft keys: 5 "bpen", 6 "rpen", 3 and 17 "next", 4 "mous", 0 "anew",
    // 13 "board", 12 "orient"; 19 is "bpen" of the second set.
    const Scenario scenarios[] = {
        {"single soft key waits for the window", L"elfc", L"elbc", false,
         {Key(5, 1, {}), Expire({"bpen"}), Expire({})}},
        {"second source pen tool is marked", L"elfc", L"elbc", false, {Key(19, 2, {}), Expire({"#VQ@Stubpen"})}},
        {"second source non-tool is not", L"elfc", L"elbc", false, {Key(0, 2, {}), Expire({"anew"})}},
        {"second source eraser", L"elfc", L"elbc", false, {Key(23, 2, {}), Expire({"#VQ@Stueare"})}},
        {"double pen press", L"elfc", L"elbc", false, {Key(5, 1, {}), Key(5, 1, {"bped"}), Expire({})}},
        {"double pen press, second source", L"elfc", L"elbc", false,
         {Key(20, 2, {}), Key(20, 2, {"#VQ@Sturped"}), Expire({})}},
        {"different key ends the first", L"elfc", L"elbc", false,
         {Key(5, 1, {}), Key(6, 1, {"bpen"}), Expire({"rpen"})}},
        {"keys 3 and 17 are the same action", L"elfc", L"elbc", false,
         {Key(3, 1, {}), Key(17, 1, {"next"}), Expire({"next"})}},
        {"non-pen double press is two singles", L"elfc", L"elbc", false,
         {Key(4, 1, {}), Key(4, 1, {"mous"}), Expire({"mous"})}},
        {"board starts the whiteboard", L"elfc", L"elbc", false, {Key(13, 1, {}), Expire({kRun})}},
        {"orient starts calibration", L"elfc", L"elbc", false, {Key(12, 1, {}), Expire({kOrient})}},
        {"board interrupted by a key", L"elfc", L"elbc", false,
         {Key(13, 1, {}), Key(0, 1, {kRun}), Expire({"anew"})}},
        {"unknown action sent cut to four", L"elfc", L"elbc", false,
         {Action(L"zoomin", {}), Expire({"zoom"})}},
        {"default front single", L"elfc", L"elbc", false, {Action(L"front", {"elfc"}), Expire({})}},
        {"default front double", L"elfc", L"elbc", false,
         {Action(L"front", {"elfc"}), Action(L"front", {"elfd"}), Expire({})}},
        {"custom front single", L"save", L"elbc", false, {Action(L"front", {}), Expire({"save"})}},
        {"custom front double is two singles", L"save", L"elbc", false,
         {Action(L"front", {}), Action(L"front", {"save"}), Expire({"save"})}},
        {"default back single right-clicks", L"elfc", L"elbc", false,
         {Action(L"back", {"elbc"}), Expire({"right click"})}},
        {"default back single over the board frame", L"elfc", L"elbc", true,
         {Action(L"back", {"elbc"}), Expire({})}},
        {"default back double", L"elfc", L"elbc", false,
         {Action(L"back", {"elbc"}), Action(L"back", {"elbd", kRun}), Expire({})}},
        {"custom back single", L"elfc", L"eare", false,
         {Action(L"back", {}), Expire({"right click", "eare"})}},
        {"custom back double", L"elfc", L"eare", false,
         {Action(L"back", {}), Action(L"back", {"eare", "eare", kRun}), Expire({})}},
        {"front then back", L"elfc", L"elbc", false,
         {Action(L"front", {"elfc"}), Action(L"back", {"elbc"}), Expire({"right click"})}},
        {"back then soft key", L"elfc", L"elbc", false,
         {Action(L"back", {"elbc"}), Key(5, 1, {"right click"}), Expire({"bpen"})}},
    };
    for (const Scenario& sc : scenarios)
    {
        CSidekeyProcess proc(false, L"TavrinWorkETPD");
        proc.SetFrontAction(sc.front);
        proc.SetBackAction(sc.back);
        g_bInBoardFrame = sc.inBoardFrame;
        app.running = false;
        app.Take();
        int n = 0;
        for (const Step& step : sc.steps)
        {
            ++n;
            switch (step.kind)
            {
            case Step::KEY:
                proc.FireKey(step.index, step.pressType);
                break;
            case Step::ACTION:
                proc.DoAction(step.action);
                break;
            case Step::EXPIRE:
                app.Expire(proc);
                break;
            }
            EXPECT_EQ(app.Take(), step.expected) << sc.name << ", step " << n;
        }
    }
}

TEST_F(SidekeyTest, SecondPressBeforeTheTimerStartedIsStillADoublePress)
{
    // The start is only queued for the main thread; the timer is not running
    // yet when the second press arrives.
    app.deferStarts = true;
    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    proc.FireKey(5, 1);
    EXPECT_FALSE(app.running);
    proc.FireKey(5, 1);
    EXPECT_EQ(app.Take(), Log{"bped"});

    // The stale start runs later; its expiry finds nothing to finish.
    app.RunQueuedStarts();
    app.Expire(proc);
    EXPECT_EQ(app.Take(), Log{});
}

TEST_F(SidekeyTest, ExpiryAfterTheWindowClosedSendsNothingTwice)
{
    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    proc.FireKey(0, 1);
    app.Expire(proc);
    EXPECT_EQ(app.Take(), Log{"anew"});
    // A second expiry (a timer that raced a stop) must not resend the stale action.
    proc.EndAction();
    EXPECT_EQ(app.Take(), Log{});
}

TEST_F(SidekeyTest, WorkThreadPressesRaceMainThreadExpiries)
{
    // The work thread presses keys while the main thread ends windows. Every
    // press is finished exactly once, by the next different press or by an
    // expiry: none is lost or sent twice. (Two datagrams decided on either
    // side of an expiry may leave in either order; the calls into the
    // application are made without the lock so neither thread can block the
    // other.)
    class CThreadSafeApp : public CAppServices
    {
    public:
        CThreadSafeApp() : m_prev(SetAppServices(this)) {}
        ~CThreadSafeApp() override { SetAppServices(m_prev); }
        void SendDatagram(const char* bytes, int length) override
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            sent.emplace_back(bytes, length);
        }
        std::mutex m_mutex;
        Log sent;
        CAppServices* m_prev;
    } safeApp;

    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    std::atomic<bool> done{false};
    std::thread mainThread([&] {
        while (!done)
            proc.EndAction();
    });
    // Keys 0 "anew" and 1 "save" alternate, so no press is a double press.
    const int presses = 20000;
    for (int i = 0; i < presses; ++i)
        proc.FireKey(i % 2, 1);
    done = true;
    mainThread.join();
    proc.EndAction();

    ASSERT_EQ(safeApp.sent.size(), static_cast<size_t>(presses));
    int anew = 0, save = 0;
    for (const std::string& d : safeApp.sent)
    {
        anew += d == "anew";
        save += d == "save";
    }
    EXPECT_EQ(anew, presses / 2);
    EXPECT_EQ(save, presses / 2);
}

TEST_F(SidekeyTest, SendActionBuildsAtMostFourCharactersOfTheAction)
{
    struct Case
    {
        std::wstring action;
        bool raw;
        int pressType;
        std::string expected;
    } cases[] = {
        {L"bpen", false, 1, "bpen"},
        {L"bpen", false, 2, "#VQ@Stubpen"},
        {L"bpen", true, 2, "bpen"},
        {L"gped", false, 2, "#VQ@Stugped"},
        {L"mous", false, 2, "#VQ@Stumous"},
        {L"cust", false, 2, "cust"},
        {L"orient", false, 1, "orie"},
        {L"ab", false, 1, "ab"},
        {L"", true, 1, ""},
    };
    for (const Case& c : cases)
    {
        CSidekeyProcess proc(false, L"TavrinWorkETPD");
        // The press type comes from the last key fired; key 14 is "anew".
        proc.FireKey(14, c.pressType);
        app.Take();
        proc.SendAction(c.action, c.raw);
        EXPECT_EQ(app.Take(), Log{c.expected}) << c.expected;
    }
}

const char* kSettings = R"XML(<?xml version="1.0"?>
<Config>
    <TavrinWorkETPD>
        <Constants SIDEKEY_POINT_SIZE="10"/>
        <Flag Enable_Soft_Sidekey="1"/>
        <HOTKEY key0="(100,200)" key1="(130.5,200)" key3="(115,215)" key27="(-50,-60)"/>
    </TavrinWorkETPD>
    <TavrinWorkIRX>
        <Constants SIDEKEY_POINT_SIZE="500"/>
        <Flag Enable_Soft_Sidekey="1"/>
        <HOTKEY key0="(0,10)" key1="(0,30.5)" key5="(0,100)" key6="(0,120)" key11="(0,0)" key12="(0,25)"
                key15="(0,7)" key16="(0,9)" key26="(0,-3)" key27="(0,5)"/>
    </TavrinWorkIRX>
    <TavrinWorkPS>
        <Constants SIDEKEY_POINT_SIZE="10"/>
        <Flag Enable_Soft_Sidekey="0"/>
        <HOTKEY key0="(100,200)"/>
    </TavrinWorkPS>
</Config>
)XML";

class SidekeySettingsTest : public SidekeyTest
{
protected:
    void SetUp() override
    {
        SidekeyTest::SetUp();
        dir.WriteFile("Config/config.xml", kSettings);
        cd.reset(new CChdir(dir.Path()));
    }
    void TearDown() override
    {
        cd.reset();
        SidekeyTest::TearDown();
    }
    CTempDir dir;
    std::unique_ptr<CChdir> cd;
    CFakeClock clock;  // a missing file retries with sleeps
};

TEST_F(SidekeySettingsTest, HitTestIsStrictAndTakesTheFirstKey)
{
    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    EXPECT_EQ(proc.HitTest(100, 200), -1);  // nothing loaded yet
    proc.LoadKeys();
    ASSERT_TRUE(proc.IsEnabled());
    ASSERT_EQ(proc.GetPointSize(), 10);
    struct Case
    {
        int x, y, key;
    } cases[] = {
        {100, 200, 0},   {109, 209, 0}, {91, 191, 0},  {110, 200, -1}, {90, 200, -1},
        {100, 210, -1},  {100, 190, -1},
        {112, 212, 3},   // outside key 0, inside key 3
        {109, 209, 0},   // inside both: the lower index wins
        {121, 200, 1},   // 9.5 from 130.5
        {140, 200, 1},   {141, 200, -1}, {-50, -60, 27}, {-59, -69, 27}, {-60, -60, -1},
        // Unconfigured keys sit at (0, 0).
        {0, 0, 2},       {9, -9, 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(proc.HitTest(c.x, c.y), c.key) << c.x << "," << c.y;
}

TEST_F(SidekeySettingsTest, EnabledOnlyWithoutHardwareKeysAndWithTheFlag)
{
    struct Case
    {
        bool hadHand;
        const wchar_t* tag;
        bool enabled;
    } cases[] = {
        {false, L"TavrinWorkETPD", true},
        {true, L"TavrinWorkETPD", false},
        {false, L"TavrinWorkPS", false},
        {false, L"TavrinWorkUI", false},  // no section: defaults
    };
    for (const Case& c : cases)
    {
        CSidekeyProcess proc(c.hadHand, c.tag);
        proc.LoadKeys();
        EXPECT_EQ(proc.IsEnabled(), c.enabled);
        if (!c.enabled)
        {
            EXPECT_EQ(proc.HitTest(100, 200), -1);
        }
    }

    // RefreshEnable follows the file.
    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    proc.LoadKeys();
    std::string text = kSettings;
    text.replace(text.find("Enable_Soft_Sidekey=\"1\""), 23, "Enable_Soft_Sidekey=\"0\"");
    dir.WriteFile("Config/config.xml", text);
    proc.RefreshEnable();
    EXPECT_FALSE(proc.IsEnabled());
    EXPECT_EQ(proc.HitTest(100, 200), -1);
}

TEST_F(SidekeySettingsTest, KeysMissingFromTheFileKeepTheirCentres)
{
    CSidekeyProcess proc(false, L"TavrinWorkETPD");
    proc.LoadKeys();
    dir.WriteFile("Config/config.xml", R"XML(<?xml version="1.0"?>
<Config>
    <TavrinWorkETPD>
        <Constants SIDEKEY_POINT_SIZE="4"/>
        <Flag Enable_Soft_Sidekey="1"/>
        <HOTKEY key0="(7,8)" key1="(9,bad)"/>
    </TavrinWorkETPD>
</Config>
)XML");
    proc.LoadKeys();
    struct Case
    {
        int key;
        double x, y;
    } cases[] = {{0, 7, 8}, {1, 9, 200}, {3, 115, 215}, {27, -50, -60}, {2, 0, 0}};
    for (const Case& c : cases)
    {
        double x, y;
        proc.GetKeyPoint(c.key, &x, &y);
        EXPECT_EQ(x, c.x) << "key " << c.key;
        EXPECT_EQ(y, c.y) << "key " << c.key;
    }
    EXPECT_EQ(proc.GetPointSize(), 4);
}

TEST_F(SidekeySettingsTest, PointSizeComputedFromKeyRowsOnIrxAndPsd)
{
    // (30.5 - 10) + (25 - 0) + (120 - 100) + (9 - 7) + (5 - -3) = 75.5; / 9 = 8.39
    for (const wchar_t* tag : {L"TavrinWorkIRX", L"TavrinWorkPSD"})
    {
        CSidekeyProcess proc(false, tag);
        testing::internal::CaptureStdout();
        proc.LoadKeys();
        const std::string out = testing::internal::GetCapturedStdout();
        if (std::wstring(tag) == L"TavrinWorkIRX")
        {
            EXPECT_EQ(out, "......SIDEKEY_POINT_SIZE=8\n");
            EXPECT_EQ(proc.GetPointSize(), 8);
        }
        else
        {
            // No PSD section: all keys at 0, size 0.
            EXPECT_EQ(out, "......SIDEKEY_POINT_SIZE=0\n");
            EXPECT_EQ(proc.GetPointSize(), 0);
        }
    }
    // Other boards keep the configured size.
    CSidekeyProcess etpd(false, L"TavrinWorkETPD");
    testing::internal::CaptureStdout();
    etpd.LoadKeys();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(etpd.GetPointSize(), 10);
}

TEST_F(SidekeySettingsTest, NegativeSumTruncatesTowardZero)
{
    dir.WriteFile("Config/config.xml", R"XML(<?xml version="1.0"?>
<Config>
    <TavrinWorkIRX>
        <HOTKEY key0="(0,0)" key1="(0,-17.5)"/>
    </TavrinWorkIRX>
</Config>
)XML");
    CSidekeyProcess proc(false, L"TavrinWorkIRX");
    testing::internal::CaptureStdout();
    proc.LoadKeys();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(proc.GetPointSize(), -1);  // -17.5 / 9 = -1.94
    EXPECT_EQ(proc.HitTest(0, 0), -1);
}
}  // namespace
