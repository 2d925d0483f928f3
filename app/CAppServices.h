#pragma once
// The operations that worker objects (work threads, side keys, calibration,
// hot-plug monitor, pointer output) ask of the application. The running
// service installs CTavrinApp; tests install a recorder. Without anything
// installed every call is a harmless no-op, so logic objects can be used on
// their own.

struct DeviceDescriptor;
class CDeviceBase;

// Requests carried to the main thread by PostAppRequest.
enum
{
    REQ_RUN_WHITEBOARD = 0,
    REQ_RUN_ORIENT = 1,
    REQ_START_TIMER_SHORT = 2,
    REQ_START_TIMER_LONG = 3,
    REQ_RUN_NOTTOUCH = 4,
};

class CAppServices
{
public:
    virtual ~CAppServices() = default;

    virtual bool StartWorkThread(int style, CDeviceBase* pDev);
    virtual bool DestoryWorkThread(const DeviceDescriptor& desc);
    virtual void SetBoardConnected(bool bConnected);
    virtual void PostAppRequest(int request);
    virtual void SendDatagram(const char* bytes, int length);
    virtual void AdviseCommandClient(const char* text);
    virtual void ReloadCalibration();
    virtual bool OpenDualChannel(int port);
    virtual void CloseDualChannel();
    virtual void SendDualPoint(int kind, int x, int y);
    virtual void ReleaseBoard(const DeviceDescriptor& desc);
    virtual void RescanCameras();
    virtual bool SendWorkCommand(int code, int value);

    // The 500 ms double-press window (m_LongTimer) and the 100 ms timer
    // (m_ShortTimer). Worker threads may ask and stop; starting goes through
    // PostAppRequest so it happens on the main thread.
    virtual bool IsLongTimerRunning();
    virtual void StopLongTimer();
    virtual void StopShortTimer();

    // m_bConnected: a board was attached and not yet removed.
    virtual bool IsBoardConnected();
    // A work thread exists (m_pWork is set).
    virtual bool HasWorkThread();
    // ReleaseBoard with the served work thread's device descriptor, if any.
    virtual void ReleaseServedBoard();

    // Right click at the current work thread's last mapped point through its
    // pointer output (deferred back-button action); called on the main thread.
    virtual void RightClickAtWorkPoint();
};

// The installed services; never null (a no-op instance when nothing is set).
CAppServices& AppServices();
// Installs `p` (borrowed; null restores the no-op instance). Returns the previous one.
CAppServices* SetAppServices(CAppServices* p);
