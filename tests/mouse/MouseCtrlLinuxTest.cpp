#include "Linux/CMouseCtrlLinux.h"

#include "ProcessFixture.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <functional>
#include <unistd.h>
#include <memory>
#include <string>

using tavrin_test::CXvfb;

namespace
{
// Sets an environment variable for the lifetime of the object.
class CEnv
{
public:
    CEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = getenv(name);
        m_bHad = old != nullptr;
        if (old)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~CEnv()
    {
        if (m_bHad)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_bHad = false;
};

struct PointerState
{
    int x = -1, y = -1;
    unsigned int mask = 0;
};

class MouseXTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!CXvfb::Available())
            return;
        s_xvfb = new CXvfb;
        if (!s_xvfb->Start(1024, 768))
        {
            s_error = s_xvfb->Error();
            delete s_xvfb;
            s_xvfb = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_xvfb;
        s_xvfb = nullptr;
    }

    void SetUp() override
    {
        if (!CXvfb::Available())
            GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_NE(s_xvfb, nullptr) << "Xvfb did not start: " << s_error;
        m_env.reset(new CEnv("DISPLAY", s_xvfb->Display().c_str()));
        m_pObserver = XOpenDisplay(s_xvfb->Display().c_str());
        ASSERT_NE(m_pObserver, nullptr);
    }
    void TearDown() override
    {
        if (m_pObserver)
            XCloseDisplay(m_pObserver);
        m_env.reset();
    }

    // The server's pointer as a separate client sees it.
    PointerState Query()
    {
        PointerState s;
        Window root, child;
        int wx, wy;
        XSync(m_pObserver, False);
        XQueryPointer(m_pObserver, DefaultRootWindow(m_pObserver), &root, &child, &s.x, &s.y, &wx, &wy, &s.mask);
        return s;
    }

    // The output flushes but does not wait for the server, which may serve
    // this client first: poll until the state shows up (or give up).
    PointerState WaitFor(const std::function<bool(const PointerState&)>& pred)
    {
        PointerState s = Query();
        for (int i = 0; i < 200 && !pred(s); ++i)
        {
            usleep(5000);
            s = Query();
        }
        return s;
    }
    PointerState WaitForPosition(int x, int y)
    {
        return WaitFor([&](const PointerState& s) { return s.x == x && s.y == y; });
    }
    PointerState WaitForButtons(unsigned int mask)
    {
        return WaitFor([&](const PointerState& s) { return (s.mask & kButtons) == mask; });
    }

    static constexpr unsigned int kButtons = Button1Mask | Button2Mask | Button3Mask;
    static CXvfb* s_xvfb;
    static std::string s_error;
    std::unique_ptr<CEnv> m_env;
    Display* m_pObserver = nullptr;
};

CXvfb* MouseXTest::s_xvfb = nullptr;
std::string MouseXTest::s_error;

TEST_F(MouseXTest, PrimitivesReachTheServer)
{
    CMouseCtrlLinux mouse(L"TavrinWorkETPD");
    ASSERT_TRUE(mouse.IsDisplayOpen());

    const int points[][2] = {{300, 200}, {0, 0}, {1023, 767}, {512, 384}};
    for (const auto& p : points)
    {
        mouse.MoveTo(p[0], p[1]);
        PointerState s = WaitForPosition(p[0], p[1]);
        EXPECT_EQ(s.x, p[0]);
        EXPECT_EQ(s.y, p[1]);
    }

    struct Step
    {
        void (CMouseCtrlLinux::*fn)();
        unsigned int downMask;
    } steps[] = {
        {&CMouseCtrlLinux::LeftDown, Button1Mask},
        {&CMouseCtrlLinux::LeftUp, 0},
        {&CMouseCtrlLinux::RightDown, Button3Mask},
        {&CMouseCtrlLinux::RightUp, 0},
    };
    for (const Step& step : steps)
    {
        (mouse.*step.fn)();
        EXPECT_EQ(WaitForButtons(step.downMask).mask & kButtons, step.downMask);
    }
}

TEST_F(MouseXTest, PressAndReleaseThroughThePointerLogic)
{
    std::unique_ptr<CMouseCtrlBase> mouse(CreateMouseCtrl(L"TavrinWorkETPD"));
    mouse->PointerEvent(640, 480, 1);
    PointerState s = WaitFor([](const PointerState& p) { return p.x == 640 && p.y == 480 && (p.mask & Button1Mask); });
    EXPECT_EQ(s.x, 640);
    EXPECT_EQ(s.y, 480);
    EXPECT_EQ(s.mask & kButtons, static_cast<unsigned int>(Button1Mask));
    mouse->PointerEvent(640, 480, 0);
    EXPECT_EQ(WaitForButtons(0).mask & kButtons, 0u);
}

TEST_F(MouseXTest, OpenAndCloseReportWhatHappened)
{
    testing::internal::CaptureStdout();
    {
        CMouseCtrlLinux mouse(L"TavrinWorkETPD");
        EXPECT_FALSE(mouse.OpenDisplay());  // already open
        EXPECT_TRUE(mouse.CloseDisplay());
        EXPECT_FALSE(mouse.CloseDisplay());
        mouse.MoveTo(10, 10);  // closed: nothing happens
        EXPECT_TRUE(mouse.OpenDisplay());
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "In CloseDisplay()\n[Server]........display closed!\n"
              "In CloseDisplay()\n"
              "In CloseDisplay()\n[Server]........display closed!\n");
}

TEST(MouseNoX, WithoutADisplayEveryPrimitiveDoesNothing)
{
    CEnv env("DISPLAY", nullptr);
    testing::internal::CaptureStdout();
    {
        CMouseCtrlLinux mouse(L"TavrinWorkETPD");
        EXPECT_FALSE(mouse.IsDisplayOpen());
        mouse.MoveTo(5, 5);
        mouse.LeftDown();
        mouse.LeftUp();
        mouse.RightDown();
        mouse.RightUp();
        mouse.PointerEvent(1, 1, 1);
        mouse.PointerEvent(1, 1, 2);
        mouse.PointerEvent(1, 1, 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ".....Morvek Server must be run under in X Window!\nIn CloseDisplay()\n");
}
}  // namespace
