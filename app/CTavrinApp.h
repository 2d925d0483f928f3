#pragma once
#include "app/CAppServices.h"

#include <wx/app.h>
#include <wx/snglinst.h>
#include <wx/timer.h>

#include <atomic>
#include <memory>
#include <mutex>

class wxLocale;
class wxSocketEvent;
class CTavrinDriverIPC;
class CTavrinNotifyLinux;
class CTavrinWorkBase;
class CTavrinIPCSock;
class CTavrinDualSock;

enum
{
    ID_IPC_SOCKET = 2000,  // the datagram channel's socket events
    ID_RUN_WHITEBOARD = 6001,
    ID_RUN_ORIENT = 6002,
    ID_TIMER_SHORT = 6004,
    ID_TIMER_LONG = 6005,
    ID_START_TIMER_SHORT = 6007,
    ID_START_TIMER_LONG = 6008,
    ID_RUN_NOTTOUCH = 6010,
};

// The service's application object: start-up and shut-down, the one work
// thread slot with its datagram channel, requests carried from worker threads
// to the main thread, and the hub every subsystem reaches through AppServices().
//
// Threads: the main thread runs the event loop, the command server and the
// datagram socket; the hot-plug thread attaches and detaches boards; the work
// thread reads the board. Main-thread calls into the work thread happen under
// m_WorkMutex, which DestoryWorkThread also takes before it clears m_pWork, so
// the main thread never uses a work thread that is being deleted. The datagram
// channel is created and destroyed on the main thread and shared by
// reference count, so a worker that is sending keeps it alive.
class CTavrinApp : public wxApp, public CAppServices
{
public:
    CTavrinApp();
    ~CTavrinApp() override;

    bool OnInit() override;
    int OnExit() override;

    // CAppServices
    bool StartWorkThread(int style, CDeviceBase* pDev) override;
    bool DestoryWorkThread(const DeviceDescriptor& desc) override;
    void SetBoardConnected(bool bConnected) override;
    void PostAppRequest(int request) override;
    void SendDatagram(const char* bytes, int length) override;
    void AdviseCommandClient(const char* text) override;
    void ReloadCalibration() override;
    bool OpenDualChannel(int port) override;
    void CloseDualChannel() override;
    void SendDualPoint(int kind, int x, int y) override;
    void ReleaseBoard(const DeviceDescriptor& desc) override;
    void RescanCameras() override;
    bool SendWorkCommand(int code, int value) override;
    bool IsLongTimerRunning() override;
    void StopLongTimer() override;
    void StopShortTimer() override;
    bool IsBoardConnected() override;
    bool HasWorkThread() override;
    void ReleaseServedBoard() override;
    void RightClickAtWorkPoint() override;

    bool InitLocale(int language);
    bool InitLog();
    bool StartCommandServer();
    bool StartNotify();

    wxTimer m_ShortTimer;
    wxTimer m_LongTimer;
    CTavrinDriverIPC* m_pServer = nullptr;
    CTavrinNotifyLinux* m_pNotify = nullptr;
    std::atomic<CTavrinWorkBase*> m_pWork{nullptr};
    std::atomic<bool> m_bConnected{false};
    wxLocale* m_pLocale = nullptr;
    wxSingleInstanceChecker m_Checker;

private:
    void OnSocketEvent(wxSocketEvent& event);
    void OnRunWhiteboard(wxCommandEvent& event);
    void OnRunOrient(wxCommandEvent& event);
    void OnRunNotTouch(wxCommandEvent& event);
    void OnStartTimerShort(wxCommandEvent& event);
    void OnStartTimerLong(wxCommandEvent& event);
    void OnTimerShort(wxTimerEvent& event);
    void OnTimerLong(wxTimerEvent& event);

    void OpenDatagramChannel(int style);
    void CloseDatagramChannel();
    std::shared_ptr<CTavrinIPCSock> DatagramChannel();
    void RunCompanion(const wxString& name);
    void StopWorkThread(CTavrinWorkBase* pWork);
    void Shutdown();
    void ShowAlreadyRunning();

    std::recursive_mutex m_WorkMutex;
    std::mutex m_IPCMutex;
    std::shared_ptr<CTavrinIPCSock> m_pIPCSock;
    std::mutex m_DualMutex;
    CTavrinDualSock* m_pDualSock = nullptr;
    std::atomic<int> m_nServedStyle{-1};
    std::atomic<bool> m_bLongTimerArmed{false};
    std::atomic<bool> m_bShortTimerArmed{false};
    bool m_bShutDown = false;

    wxDECLARE_EVENT_TABLE();
};

wxDECLARE_APP(CTavrinApp);
