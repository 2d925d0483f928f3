#pragma once
#include "conversion/CConversionBase.h"
#include "work/BoardStyles.h"

#include <wx/thread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class CDeviceBase;
class CMouseCtrlBase;
class COrientProcess;
class CSidekeyProcess;
struct DeviceDescriptor;

// Packet types returned by GetPacketType and dispatched by the read loop.
enum
{
    PACKET_PRESS_T = 0,
    PACKET_PRESS_S = 1,
    PACKET_RELEASE_T = 2,
    PACKET_RELEASE_S = 3,
    PACKET_FRONT_KEY = 4,
    PACKET_BACK_KEY = 5,
    PACKET_SIDE_KEY = 6,
    PACKET_7 = 7,
    PACKET_8 = 8,
    PACKET_9 = 9,
    PACKET_OTHER = 10,
};

// Modes of m_nMode.
enum
{
    WORK_MODE_NORMAL = 0,
    WORK_MODE_CALIBRATE = 1,
    WORK_MODE_SIDEKEY = 2,
};

// One attached board: owns its device and the objects that turn packets into
// pointer actions, reads packets in its own (detached) thread and dispatches
// them to the handlers a board class overrides.
//
// Threads: the read loop and every packet handler run on the work thread.
// The application calls OnCommand, OnAppEvent and RightClickAtLastPoint on
// its main thread and IsSameDevice on the hot-plug thread. Every dispatched
// packet runs under m_HandlerMutex, and so do the main-thread entry points
// that touch the pointer output, the mapping, the calibration process or the
// last point. The lock is recursive because calls come back in on the same
// thread: an expiring side-key window right-clicks through the application
// into RightClickAtLastPoint, a finished calibration rebuilds the mapping
// through ReloadConversion. It is never held across a device read, a long
// sleep or a side-key action (which may wait for the application), so the
// main thread waits at most for one packet's handling.
class CTavrinWorkBase : public wxThread
{
public:
    CTavrinWorkBase();
    ~CTavrinWorkBase() override;

    // Slot order matters to nobody but readers: it follows the board-class
    // tables so overrides are easy to find.
    virtual bool SetDevice(CDeviceBase* pDev);
    virtual bool CheckPacket();
    virtual int GetPacketType() = 0;
    virtual bool DecodePoint() = 0;
    virtual int ReadPacket(unsigned char* buffer, int length);
    virtual int WritePacket(const unsigned char* bytes, int length);
    virtual int SendStartCommand();
    virtual bool LoadDriverSettings();
    virtual bool LoadPenSettings();
    virtual void HandleCalibrationPacket();
    virtual void HandlePacket();
    virtual void HandleDualPacket();
    virtual void HandleSplitPacket();
    virtual void OnPressT();
    virtual void OnPressS();
    virtual void OnReleaseT();
    virtual void OnReleaseS();
    virtual void OnFrontKey();
    virtual void OnBackKey();
    virtual void OnSideKey();
    virtual void OnPacket7();
    virtual void OnPacket9();
    virtual void OnPacket8();
    virtual bool HandleSoftKey(int x, int y, int pressType);
    // Main thread. Codes 0..3 are handled here; the rest belong to board classes.
    virtual bool OnCommand(int command, int value);

    // Hot-plug or main thread: the device has the descriptor's path.
    bool IsSameDevice(const DeviceDescriptor& desc);
    // Main thread, timer expiry: kind 0 ends the contact (OnReleaseT),
    // kind 1 ends the side-key action (double-press window closed).
    void OnAppEvent(int kind);
    // Builds a fresh mapping from the stored calibration and swaps it in.
    void ReloadConversion();
    // Right click at the last mapped point (deferred back-button action).
    void RightClickAtLastPoint();
    // Looks packet byte 2 up in m_HotKeyMap and runs its action.
    void HandleHotKey();

    CDeviceBase* GetDevice() const { return m_pDev; }
    // Hands the device back to the caller (who then closes and deletes it):
    // for a thread that took the device but will be deleted without running,
    // so the device is not released twice.
    CDeviceBase* TakeDevice();
    const std::wstring& GetName() const { return m_strName; }
    // Called as the very last step of the destructor, after the device and
    // every helper object are gone (on the work thread for a running thread).
    void SetExitNotify(std::function<void()> fn);

    // The read loop in pieces, so it can be driven without a thread:
    // BeginLoop once, then RunLoopStep until the thread is asked to stop.
    void BeginLoop();
    void RunLoopStep();
    // Copies `packet` (m_nBufLen bytes) into m_pBuf, then checks, decodes
    // and dispatches it under the handler lock. False when dropped.
    bool HandleOnePacket(const unsigned char* packet);
    // Asks the loop to end (Delete does the same for a running thread).
    void RequestStop() { m_bStopRequested = true; }
    bool IsStopRequested();
    bool IsConnected() const { return m_bConnected; }
    int GetMissCount() const { return m_nMiss; }
    // Consecutive misses after which the start command is repeated; fixed by
    // the first loop that runs in the process.
    static int MissLimit();

    // Read-only views for the application and for diagnostics.
    int GetMode() const { return m_nMode; }
    bool IsDual() const { return m_bDual; }
    bool IsDualSplit() const { return m_bDualSplit; }
    ScreenPoint GetLastPoint();
    double GetRawX() const { return m_RawX; }
    double GetRawY() const { return m_RawY; }
    const unsigned char* GetBuffer() const { return m_pBuf; }
    int GetBufLen() const { return m_nBufLen; }
    CMouseCtrlBase* GetPointerOutput() const { return m_pMouse; }
    CConversionBase* GetMapping() const { return m_pConversion; }
    COrientProcess* GetOrientProcess() const { return m_pOrient; }
    CSidekeyProcess* GetSidekeyProcess() const { return m_pSidekey; }

protected:
    ExitCode Entry() override;

    // Factories of the helper objects, overridable so a board can be served
    // without an X server (and so tests can record what reaches them).
    virtual CMouseCtrlBase* CreatePointerOutput();
    virtual CConversionBase* CreateMapping();

    // m_Point = mapping of (m_RawX, m_RawY); unchanged without a mapping.
    void MapPoint();
    // Lets go of the handler lock for its lifetime when the calling thread
    // is dispatching a packet (no-op otherwise), so a handler can wait or
    // drain the device without holding up the main thread.
    class CHandlerUnlock
    {
    public:
        explicit CHandlerUnlock(CTavrinWorkBase* p);
        ~CHandlerUnlock();

    private:
        std::unique_lock<std::recursive_mutex>* m_pLock = nullptr;
    };
    // Clock().SleepMs with the handler lock released (see CHandlerUnlock).
    void SleepUnlocked(int ms);
    // Side-key processor calls, made with the handler lock released: ending
    // an earlier action may right-click through the application, which may
    // have to wait for a main-thread caller that is itself waiting for the
    // handler lock.
    void FireSideKey(int key, int pressType);
    void RunSideKeyAction(const std::wstring& action);
    // Section of the settings file named by the tag.
    std::string Section() const;
    // The buffer the next device read fills; copied into m_pBuf under the
    // handler lock so main-thread handlers never see a half-read packet.
    unsigned char* ReadBuffer() const { return m_pReadBuf; }

    CDeviceBase* m_pDev = nullptr;
    CMouseCtrlBase* m_pMouse = nullptr;
    CConversionBase* m_pConversion = nullptr;
    COrientProcess* m_pOrient = nullptr;
    CSidekeyProcess* m_pSidekey = nullptr;
    std::map<uint8_t, std::wstring> m_HotKeyMap;
    double m_RawX = 0;
    double m_RawY = 0;
    ScreenPoint m_Point{0, 0};
    unsigned char* m_pBuf = nullptr;
    int m_nBufLen = 8;
    std::atomic<int> m_bKeyFired{0};
    std::atomic<int> m_bKeyFired2{0};
    std::atomic<int> m_nMode{WORK_MODE_NORMAL};
    std::wstring m_strName;
    std::atomic<bool> m_bDual{false};
    std::atomic<bool> m_bDualSplit{false};

    std::recursive_mutex m_HandlerMutex;
    // The handler lock taken by the dispatch in progress, so a handler can
    // let go of it around a sleep or a drain of the device.
    std::unique_lock<std::recursive_mutex>* m_pHandlerLock = nullptr;
    std::thread::id m_DispatchThread;

private:
    void ReleaseHelpers();

    unsigned char* m_pReadBuf = nullptr;
    std::mutex m_DevMutex;  // m_pDev against IsSameDevice during destruction
    std::atomic<bool> m_bStopRequested{false};
    // Read loop state, work thread only.
    bool m_bConnected = true;
    int m_nMiss = 0;
    bool m_bUITag = false;
    bool m_bIRTag = false;
    std::function<void()> m_fnExitNotify;

    CTavrinWorkBase(const CTavrinWorkBase&) = delete;
    CTavrinWorkBase& operator=(const CTavrinWorkBase&) = delete;
};
