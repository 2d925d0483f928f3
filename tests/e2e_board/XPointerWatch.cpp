#include "XPointerWatch.h"

#include <X11/Xlib.h>

#include <chrono>
#include <thread>

namespace tavrin_test
{
CXPointerWatch::~CXPointerWatch()
{
    if (m_pDisplay)
        XCloseDisplay(m_pDisplay);
}

bool CXPointerWatch::Open(const std::string& display)
{
    m_pDisplay = XOpenDisplay(display.c_str());
    if (!m_pDisplay)
        return false;
    int screen = DefaultScreen(m_pDisplay);
    XSetWindowAttributes attrs;
    attrs.override_redirect = True;
    attrs.event_mask = ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    m_Window = XCreateWindow(m_pDisplay, RootWindow(m_pDisplay, screen), 0, 0, DisplayWidth(m_pDisplay, screen),
                             DisplayHeight(m_pDisplay, screen), 0, 0, InputOnly, CopyFromParent,
                             CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(m_pDisplay, m_Window);
    XFlush(m_pDisplay);
    // Button events reach the window only once it is viewable.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end)
    {
        XEvent ev;
        if (XCheckTypedWindowEvent(m_pDisplay, m_Window, MapNotify, &ev))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

CXPointerWatch::State CXPointerWatch::Query()
{
    State s;
    if (!m_pDisplay)
        return s;
    Window root, child;
    int wx, wy;
    XQueryPointer(m_pDisplay, DefaultRootWindow(m_pDisplay), &root, &child, &s.x, &s.y, &wx, &wy, &s.mask);
    return s;
}

bool CXPointerWatch::Button1Down(const State& s) { return (s.mask & Button1Mask) != 0; }

const std::vector<CXPointerWatch::ButtonEvent>& CXPointerWatch::Buttons()
{
    if (!m_pDisplay)
        return m_Buttons;
    XSync(m_pDisplay, False);
    while (XPending(m_pDisplay))
    {
        XEvent ev;
        XNextEvent(m_pDisplay, &ev);
        if (ev.type == ButtonPress || ev.type == ButtonRelease)
            m_Buttons.push_back({ev.type == ButtonPress, ev.xbutton.button, ev.xbutton.x_root, ev.xbutton.y_root});
    }
    return m_Buttons;
}

int CXPointerWatch::PressCount(unsigned button)
{
    int n = 0;
    for (const ButtonEvent& e : Buttons())
        n += e.press && e.button == button;
    return n;
}
}  // namespace tavrin_test
