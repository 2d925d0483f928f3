#pragma once
#include <mutex>
#include <string>

#include "mouse/CMouseCtrlBase.h"

typedef struct _XDisplay Display;

// Pointer output through the XTEST extension on the default X display.
// Without a display every primitive does nothing.
class CMouseCtrlLinux : public CMouseCtrlBase
{
public:
    explicit CMouseCtrlLinux(const std::wstring& tag);
    ~CMouseCtrlLinux() override;

    void LeftDown() override;
    void RightDown() override;
    void LeftUp() override;
    void RightUp() override;
    void MoveTo(int x, int y) override;

    bool OpenDisplay();
    bool CloseDisplay();
    bool IsDisplayOpen() const;

private:
    void Button(unsigned int button, bool press);

    // One connection, used by the work thread and (for the deferred
    // back-button right click) the main thread: every X call holds this.
    mutable std::mutex m_XMutex;
    Display* m_pDisplay = nullptr;
};
