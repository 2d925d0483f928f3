#include "Linux/CMouseCtrlLinux.h"

#include <cstdio>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

CMouseCtrlLinux::CMouseCtrlLinux(const std::wstring& tag)
    : CMouseCtrlBase(tag)
{
    OpenDisplay();
}

CMouseCtrlLinux::~CMouseCtrlLinux()
{
    // XTEST buttons stay down after the client is gone: a board pulled out
    // (or a service stopped) mid-stroke would leave the desktop dragging.
    PointerEvent(0, 0, 0);
    CloseDisplay();
}

bool CMouseCtrlLinux::OpenDisplay()
{
    std::lock_guard<std::mutex> lock(m_XMutex);
    if (m_pDisplay)
        return false;
    m_pDisplay = XOpenDisplay(nullptr);
    if (!m_pDisplay)
    {
        printf(".....Morvek Server must be run under in X Window!\n");
        fflush(stdout);
        return false;
    }
    return true;
}

bool CMouseCtrlLinux::CloseDisplay()
{
    std::lock_guard<std::mutex> lock(m_XMutex);
    printf("In CloseDisplay()\n");
    fflush(stdout);
    if (!m_pDisplay)
        return false;
    XCloseDisplay(m_pDisplay);
    m_pDisplay = nullptr;
    printf("[Server]........display closed!\n");
    fflush(stdout);
    return true;
}

bool CMouseCtrlLinux::IsDisplayOpen() const
{
    std::lock_guard<std::mutex> lock(m_XMutex);
    return m_pDisplay != nullptr;
}

void CMouseCtrlLinux::Button(unsigned int button, bool press)
{
    std::lock_guard<std::mutex> lock(m_XMutex);
    if (!m_pDisplay)
        return;
    XTestFakeButtonEvent(m_pDisplay, button, press ? True : False, 0);
    XFlush(m_pDisplay);
}

void CMouseCtrlLinux::LeftDown()
{
    Button(1, true);
}

void CMouseCtrlLinux::RightDown()
{
    Button(3, true);
}

void CMouseCtrlLinux::LeftUp()
{
    Button(1, false);
}

void CMouseCtrlLinux::RightUp()
{
    Button(3, false);
}

void CMouseCtrlLinux::MoveTo(int x, int y)
{
    std::lock_guard<std::mutex> lock(m_XMutex);
    if (!m_pDisplay)
        return;
    XTestFakeMotionEvent(m_pDisplay, DefaultScreen(m_pDisplay), x, y, 0);
    XFlush(m_pDisplay);
}
