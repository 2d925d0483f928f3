#include "app/CTavrinApp.h"

#include "app/AppGlobals.h"
#include "app/CClock.h"
#include "app/ThreadExit.h"
#include "config/CConfigXML.h"
#include "device/CDeviceBase.h"
#include "ipc/CTavrinDriverIPC.h"
#include "ipc/CTavrinDualSock.h"
#include "ipc/CTavrinIPCSock.h"
#include "Linux/CTavrinNotifyLinux.h"
#include "work/CTavrinWorkBase.h"

#include <wx/filefn.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/socket.h>
#include <wx/utils.h>

#include <clocale>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>

static_assert(ID_IPC_SOCKET == CTavrinIPCSock::SOCKET_EVENT_ID, "datagram events must reach OnSocketEvent");

wxIMPLEMENT_APP_NO_MAIN(CTavrinApp);

wxBEGIN_EVENT_TABLE(CTavrinApp, wxApp)
    EVT_SOCKET(ID_IPC_SOCKET, CTavrinApp::OnSocketEvent)
    EVT_MENU(ID_RUN_WHITEBOARD, CTavrinApp::OnRunWhiteboard)
    EVT_MENU(ID_RUN_ORIENT, CTavrinApp::OnRunOrient)
    EVT_MENU(ID_RUN_NOTTOUCH, CTavrinApp::OnRunNotTouch)
    EVT_MENU(ID_START_TIMER_SHORT, CTavrinApp::OnStartTimerShort)
    EVT_MENU(ID_START_TIMER_LONG, CTavrinApp::OnStartTimerLong)
    EVT_TIMER(ID_TIMER_SHORT, CTavrinApp::OnTimerShort)
    EVT_TIMER(ID_TIMER_LONG, CTavrinApp::OnTimerLong)
wxEND_EVENT_TABLE()

namespace
{
const char* const kTraceMasks[] = {"LogInfo", "LTWork", "IPC", "Event", "workThread",
                                   "DevNotify", "Orient", "Sidekey", "CConversion"};
const int kRequestIds[] = {ID_RUN_WHITEBOARD, ID_RUN_ORIENT, ID_START_TIMER_SHORT, ID_START_TIMER_LONG,
                           ID_RUN_NOTTOUCH};
const char* const kWhiteboardLauncher = "/usr/share/Morvek_Software/run";
// How long DestoryWorkThread waits for the detached work thread to finish its
// last read and release the board before it gives up waiting.
const int kWorkExitWaitMs = 5000;

// Signals when a detached work thread has released everything it owned.
struct CExitWaiter
{
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    long tid = 0;

    // Called on the work thread from its destructor.
    void Notify()
    {
        std::lock_guard<std::mutex> lock(mutex);
        tid = CurrentThreadTid();
        done = true;
        cond.notify_all();
    }
    bool Wait(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
    }
};
}  // namespace

CTavrinApp::CTavrinApp()
    : m_ShortTimer(this, ID_TIMER_SHORT),
      m_LongTimer(this, ID_TIMER_LONG),
      m_Checker("CTavrinAppETP", "/tmp")
{
    SetAppServices(this);
}

CTavrinApp::~CTavrinApp()
{
    delete m_pLocale;
    m_pLocale = nullptr;
    Shutdown();
    SetAppServices(nullptr);
}

namespace
{
// A service has nobody to click away an assertion dialog: report it as a line.
void PrintAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    printf("assertion \"%s\" failed in %s (%s:%d): %s\n", (const char*)cond.utf8_str(),
           (const char*)func.utf8_str(), (const char*)file.utf8_str(), line, (const char*)msg.utf8_str());
    fflush(stdout);
}
}  // namespace

bool CTavrinApp::OnInit()
{
    wxSetAssertHandler(PrintAssert);
    // Diagnostics are read through pipes: keep standard output line-buffered.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    wxSetWorkingDirectory(InstallDir());

    if (!InitLocale(wxLocale::GetSystemLanguage()))
        InitLocale(wxLANGUAGE_ENGLISH_US);

    if (m_Checker.IsAnotherRunning())
    {
        ShowAlreadyRunning();
        return false;
    }

    // A service is stopped with SIGTERM (or ^C when run by hand): leave the
    // event loop so OnExit releases the board, the pointer and the sockets.
    SetSignalHandler(SIGTERM, [](int) { wxTheApp->ExitMainLoop(); });
    SetSignalHandler(SIGINT, [](int) { wxTheApp->ExitMainLoop(); });

    bool ok = InitLog();
    if (ok)
        ok = StartCommandServer();
    if (ok)
        ok = StartNotify();
    return ok;
}

// A second instance tells the user and leaves. The box closes itself after a
// while so an unattended second start (a login script, a test) cannot hang.
void CTavrinApp::ShowAlreadyRunning()
{
    wxString text = wxGetTranslation(wxString::FromUTF8("TavrinEP服务已经在运行! "));
    printf("%s\n", (const char*)text.utf8_str());
    fflush(stdout);

    int timeoutMs = 10000;
    if (const char* env = getenv("VELUNOR_ETP_MESSAGE_TIMEOUT_MS"))
        timeoutMs = atoi(env);
    if (timeoutMs <= 0)
        return;
    // The generic dialog runs the toolkit's own modal loop, which a timer can end.
    wxGenericMessageDialog dlg(nullptr, text, "Message", wxOK | wxCENTRE);
    wxTimer closer;
    closer.Bind(wxEVT_TIMER, [&dlg](wxTimerEvent&) { dlg.EndModal(wxID_OK); });
    closer.StartOnce(timeoutMs);
    dlg.ShowModal();
}

int CTavrinApp::OnExit()
{
    Shutdown();
    return 0;
}

void CTavrinApp::Shutdown()
{
    if (m_bShutDown)
        return;
    m_bShutDown = true;

    CTavrinWorkBase* pWork = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
        pWork = m_pWork.exchange(nullptr);
    }
    if (pWork)
        StopWorkThread(pWork);

    delete m_pServer;
    m_pServer = nullptr;

    CloseDatagramChannel();

    {
        std::lock_guard<std::mutex> lock(m_DualMutex);
        delete m_pDualSock;
        m_pDualSock = nullptr;
    }

    if (m_pNotify)
    {
        if (!m_pNotify->StopAndWait(5000))
            printf("CTavrinApp: hot-plug monitor did not end in time\n");
        m_pNotify = nullptr;
    }
}

bool CTavrinApp::InitLocale(int language)
{
    delete m_pLocale;
    m_pLocale = new wxLocale;
    // An environment without a usable locale reports an unknown language;
    // the caller then falls back to English.
    if (language == wxLANGUAGE_UNKNOWN)
        return false;
    m_pLocale->Init(language, wxLOCALE_LOAD_DEFAULT);
    wxLocale::AddCatalogLookupPathPrefix("LANG");
    if (m_pLocale->AddCatalog("Velunor") && m_pLocale->IsLoaded("Velunor"))
        return true;
    printf("false \n");
    fflush(stdout);
    m_pLocale->AddCatalog("en_US/Velunor");
    return m_pLocale->IsLoaded("en_US/Velunor");
}

bool CTavrinApp::InitLog()
{
    delete wxLog::SetActiveTarget(new wxLogStream(&std::cout));
    wxLog::SetTimestamp("%Y-%m-%d %H:%M:%S");
    wxLog::SetLogLevel(wxLOG_Trace);
    for (const char* mask : kTraceMasks)
        wxLog::AddTraceMask(mask);
    return true;
}

bool CTavrinApp::StartCommandServer()
{
    int port = 4869;
    {
        CConfigXML cfg;
        cfg.Load(CONFIG_FILE);
        cfg.GetInt("Global", "port", "num", &port, 4869);
        cfg.Close();
    }
    wxString service = wxString::Format("%d", port);
    m_pServer = new CTavrinDriverIPC;
    printf("port %d\n", port);
    fflush(stdout);
    if (!m_pServer->Create(service))
    {
        delete m_pServer;
        m_pServer = nullptr;
        return false;
    }
    return true;
}

bool CTavrinApp::StartNotify()
{
    m_pNotify = new CTavrinNotifyLinux;
    bool ok = m_pNotify->Create() == wxTHREAD_NO_ERROR;
    if (ok)
        ok = m_pNotify->InitSupportedDevices();
    if (ok)
        ok = m_pNotify->Run() == wxTHREAD_NO_ERROR;
    if (!ok)
    {
        delete m_pNotify;
        m_pNotify = nullptr;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Work thread slot

bool CTavrinApp::StartWorkThread(int style, CDeviceBase* pDev)
{
    g_bAppStarted = false;
    setlocale(LC_NUMERIC, "C");
    printf("type %d\n", style);
    fflush(stdout);

    bool result = false;
    CTavrinWorkBase* pWork = CreateWorkThread(style);
    if (pWork)
    {
        // On failure the hot-plug monitor keeps (closes and deletes) the
        // device, so the thread must give it back before it is deleted.
        if (pWork->Create() != wxTHREAD_NO_ERROR || !pWork->SetDevice(pDev) ||
            pWork->Run() != wxTHREAD_NO_ERROR)
        {
            pWork->TakeDevice();
            delete pWork;
            pWork = nullptr;
        }
        result = pWork != nullptr;
    }

    {
        std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
        m_pWork = pWork;
    }
    m_nServedStyle = pWork ? style : -1;
    m_bConnected = true;
    if (pWork)
    {
        // The datagram socket lives on the main thread; it announces the
        // board there as soon as it is open.
        CallAfter([this, style] { OpenDatagramChannel(style); });
    }
    else
    {
        SetBoardConnected(true);
    }
    return result;
}

void CTavrinApp::OpenDatagramChannel(int style)
{
    // The board may already be gone again by the time the main thread runs this.
    if (!m_pWork || m_nServedStyle != style)
        return;
    auto sock = std::make_shared<CTavrinIPCSock>();
    if (!sock->Open(this))
        return;
    {
        std::lock_guard<std::mutex> lock(m_IPCMutex);
        m_pIPCSock = sock;
    }
    SetBoardConnected(true);
}

void CTavrinApp::CloseDatagramChannel()
{
    std::shared_ptr<CTavrinIPCSock> old;
    {
        std::lock_guard<std::mutex> lock(m_IPCMutex);
        old.swap(m_pIPCSock);
    }
    // Released here, or by the last worker still sending through it.
}

std::shared_ptr<CTavrinIPCSock> CTavrinApp::DatagramChannel()
{
    std::lock_guard<std::mutex> lock(m_IPCMutex);
    return m_pIPCSock;
}

void CTavrinApp::StopWorkThread(CTavrinWorkBase* pWork)
{
    auto waiter = std::make_shared<CExitWaiter>();
    pWork->SetExitNotify([waiter] { waiter->Notify(); });
    pWork->Delete();
    // The toolkit still runs on the thread after it notified: at shut-down
    // the process must not end under it.
    if (!waiter->Wait(kWorkExitWaitMs) || !WaitThreadGone(waiter->tid, kWorkExitWaitMs))
        printf("CTavrinApp: work thread did not end within %d ms\n", kWorkExitWaitMs);
}

bool CTavrinApp::DestoryWorkThread(const DeviceDescriptor& desc)
{
    CTavrinWorkBase* pStopped = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
        CTavrinWorkBase* pWork = m_pWork;
        if (pWork && pWork->IsSameDevice(desc))
        {
            m_bConnected = false;
            SetBoardConnected(false);
            printf("CTavrinApp::DestoryWorkThread\n");
            fflush(stdout);
            m_pWork = nullptr;
            m_nServedStyle = -1;
            pStopped = pWork;
        }
    }
    if (pStopped)
        StopWorkThread(pStopped);

    Clock().SleepMs(1000);

    if (pStopped)
    {
        if (wxThread::IsMain())
            CloseDatagramChannel();
        else
            CallAfter([this] {
                // A board attached again in the meantime keeps its new channel.
                if (!m_pWork)
                    CloseDatagramChannel();
            });
    }
    return pStopped != nullptr;
}

void CTavrinApp::SetBoardConnected(bool bConnected)
{
    std::shared_ptr<CTavrinIPCSock> sock = DatagramChannel();
    if (!sock)
        return;
    if (!bConnected)
    {
        sock->SendMessage(0);
        sock->SetStyle(-1);
    }
    else if (m_bConnected)
    {
        int style = m_nServedStyle;
        if (style < 0)
            return;
        sock->SetStyle(style);
        sock->SendMessage(1);
        sock->SendMessage(4);
    }
}

bool CTavrinApp::SendWorkCommand(int code, int value)
{
    std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
    CTavrinWorkBase* pWork = m_pWork;
    return pWork ? pWork->OnCommand(code, value) : false;
}

void CTavrinApp::ReloadCalibration()
{
    // Called by the calibration process on the work thread itself, which is
    // alive while it runs this; no lock, so a main-thread caller waiting for
    // the work thread's handler cannot deadlock with it.
    CTavrinWorkBase* pWork = m_pWork;
    if (pWork)
        pWork->ReloadConversion();
}

void CTavrinApp::RightClickAtWorkPoint()
{
    std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
    CTavrinWorkBase* pWork = m_pWork;
    if (pWork)
        pWork->RightClickAtLastPoint();
}

bool CTavrinApp::IsBoardConnected() { return m_bConnected; }

bool CTavrinApp::HasWorkThread() { return m_pWork != nullptr; }

void CTavrinApp::ReleaseServedBoard()
{
    DeviceDescriptor desc;
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
        CTavrinWorkBase* pWork = m_pWork;
        if (!pWork || !pWork->GetDevice())
            return;
        desc = pWork->GetDevice()->m_Desc;
        path = desc.path ? desc.path : "";
    }
    desc.path = path.empty() ? nullptr : &path[0];
    ReleaseBoard(desc);
}

void CTavrinApp::ReleaseBoard(const DeviceDescriptor& desc)
{
    if (m_pNotify)
        m_pNotify->OnDeviceRemoved(desc);
}

void CTavrinApp::RescanCameras()
{
    if (m_pNotify)
        m_pNotify->Enumerate("video4linux");
}

// ---------------------------------------------------------------------------
// Requests from worker threads

void CTavrinApp::PostAppRequest(int request)
{
    if (request < 0 || request >= (int)(sizeof kRequestIds / sizeof kRequestIds[0]))
        return;
    wxCommandEvent event(wxEVT_COMMAND_MENU_SELECTED, kRequestIds[request]);
    AddPendingEvent(event);
}

void CTavrinApp::SendDatagram(const char* bytes, int length)
{
    std::shared_ptr<CTavrinIPCSock> sock = DatagramChannel();
    if (sock)
        sock->SendRaw(bytes, length);
}

void CTavrinApp::AdviseCommandClient(const char* text)
{
    // The command server's connection belongs to the main thread.
    wxString copy = wxString::FromUTF8(text ? text : "");
    auto advise = [this, copy] {
        if (m_pServer)
            m_pServer->AdviseClient(copy);
    };
    if (wxThread::IsMain())
        advise();
    else
        CallAfter(advise);
}

bool CTavrinApp::OpenDualChannel(int port)
{
    auto* sock = new CTavrinDualSock;
    bool ok = sock->ConnectTo(port);
    CTavrinDualSock* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_DualMutex);
        old = m_pDualSock;
        m_pDualSock = sock;
    }
    delete old;
    return ok;
}

void CTavrinApp::CloseDualChannel()
{
    CTavrinDualSock* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_DualMutex);
        old = m_pDualSock;
        m_pDualSock = nullptr;
    }
    delete old;
}

void CTavrinApp::SendDualPoint(int kind, int x, int y)
{
    std::lock_guard<std::mutex> lock(m_DualMutex);
    if (m_pDualSock)
        m_pDualSock->SendPoint(kind, x, y);
}

bool CTavrinApp::IsLongTimerRunning() { return m_bLongTimerArmed; }

void CTavrinApp::StopLongTimer()
{
    m_bLongTimerArmed = false;
    if (wxThread::IsMain())
        m_LongTimer.Stop();
    else
        CallAfter([this] {
            if (!m_bLongTimerArmed)
                m_LongTimer.Stop();
        });
}

void CTavrinApp::StopShortTimer()
{
    m_bShortTimerArmed = false;
    if (wxThread::IsMain())
        m_ShortTimer.Stop();
    else
        CallAfter([this] {
            if (!m_bShortTimerArmed)
                m_ShortTimer.Stop();
        });
}

// ---------------------------------------------------------------------------
// Main-thread handlers

void CTavrinApp::OnSocketEvent(wxSocketEvent& event)
{
    if (event.GetSocketEvent() != wxSOCKET_INPUT)
        return;
    char buf[51] = {0};
    std::shared_ptr<CTavrinIPCSock> sock = DatagramChannel();
    if (!sock)
        return;  // a late event of a channel already closed (and its socket with it)
    int n = sock->ReadDatagram(buf, 50);
    if (n <= 0)
        return;
    buf[50] = 0;
    sock->OnReceive(buf);
}

void CTavrinApp::RunCompanion(const wxString& name)
{
    if (!wxFileExists(name))
        return;
    wxString path = wxString(InstallDir()) + "/" + name;
    wxExecute(path, wxEXEC_ASYNC);
}

void CTavrinApp::OnRunWhiteboard(wxCommandEvent&)
{
    if (wxFileExists(kWhiteboardLauncher))
        wxExecute(kWhiteboardLauncher, wxEXEC_ASYNC);
}

void CTavrinApp::OnRunOrient(wxCommandEvent&) { RunCompanion("Orient_Run"); }

void CTavrinApp::OnRunNotTouch(wxCommandEvent&) { RunCompanion("NotTouch_Run"); }

void CTavrinApp::OnStartTimerShort(wxCommandEvent&)
{
    m_bShortTimerArmed = true;
    m_ShortTimer.Start(100, wxTIMER_ONE_SHOT);
}

void CTavrinApp::OnStartTimerLong(wxCommandEvent&)
{
    m_bLongTimerArmed = true;
    m_LongTimer.Start(500, wxTIMER_ONE_SHOT);
}

void CTavrinApp::OnTimerShort(wxTimerEvent&)
{
    m_bShortTimerArmed = false;
    std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
    if (CTavrinWorkBase* pWork = m_pWork)
        pWork->OnAppEvent(0);
}

void CTavrinApp::OnTimerLong(wxTimerEvent&)
{
    m_bLongTimerArmed = false;
    std::lock_guard<std::recursive_mutex> lock(m_WorkMutex);
    if (CTavrinWorkBase* pWork = m_pWork)
        pWork->OnAppEvent(1);
}
