#include "work/CTavrinWorkBase.h"

#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "app/CClock.h"
#include "config/CConfigXML.h"
#include "conversion/COrientProcess.h"
#include "device/CDeviceBase.h"
#include "mouse/CMouseCtrlBase.h"
#include "sidekey/CSidekeyProcess.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace
{
// 0 until the first read loop of the process has computed it.
std::atomic<int> s_nMissLimit{0};
std::once_flag s_MissLimitOnce;

// Device read time-out assumed when a device reports none.
constexpr int DEFAULT_TIMEOUT_MS = 500;
// The board counts as lost after about this much silence.
constexpr int SILENCE_MS = 2000;
}  // namespace

CTavrinWorkBase::CTavrinWorkBase() : wxThread(wxTHREAD_DETACHED) {}

CTavrinWorkBase::~CTavrinWorkBase()
{
    ReleaseHelpers();
    m_HotKeyMap.clear();

    std::function<void()> fn;
    {
        std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
        fn.swap(m_fnExitNotify);
    }
    if (fn)
        fn();
}

void CTavrinWorkBase::ReleaseHelpers()
{
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.SetAttribute("Global", "CurrentRun", "TYPE", "");
            cfg.Save();
        }
        cfg.Close();
    }

    // A main-thread call (timer expiry, command) in progress finishes before
    // the objects it uses go away; later ones find null pointers.
    std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
    {
        std::lock_guard<std::mutex> dlk(m_DevMutex);
        if (m_pDev)
        {
            m_pDev->Close();
            delete m_pDev;
            m_pDev = nullptr;
        }
    }
    delete m_pMouse;
    m_pMouse = nullptr;
    delete m_pConversion;
    m_pConversion = nullptr;
    delete m_pOrient;
    m_pOrient = nullptr;
    delete m_pSidekey;
    m_pSidekey = nullptr;
    delete[] m_pBuf;
    m_pBuf = nullptr;
    delete[] m_pReadBuf;
    m_pReadBuf = nullptr;
}

void CTavrinWorkBase::SetExitNotify(std::function<void()> fn)
{
    std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
    m_fnExitNotify = std::move(fn);
}

std::string CTavrinWorkBase::Section() const
{
    return SectionName(m_strName);
}

CMouseCtrlBase* CTavrinWorkBase::CreatePointerOutput()
{
    return CreateMouseCtrl(m_strName);
}

CConversionBase* CTavrinWorkBase::CreateMapping()
{
    return CreateConversion(m_strName, "coordinate");
}

bool CTavrinWorkBase::SetDevice(CDeviceBase* pDev)
{
    // A second hand-over would orphan the first device and every helper.
    if (!pDev || m_pDev || m_nBufLen <= 0)
        return false;
    {
        std::lock_guard<std::mutex> dlk(m_DevMutex);
        m_pDev = pDev;
    }

    const char* path = pDev->m_Desc.path;
    if (path && *path)
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.SetAttribute("Global", "Device", "path", path);
            cfg.Save();
        }
        cfg.Close();
    }

    m_pConversion = CreateMapping();
    if (m_pConversion)
        m_pConversion->Initialize();

    m_pMouse = CreatePointerOutput();
    if (m_pMouse)
        m_pMouse->LoadLimits();

    m_pOrient = new COrientProcess(m_strName);

    m_pSidekey = new CSidekeyProcess(pDev->m_bIsHadHand, m_strName);
    m_pSidekey->LoadKeys();

    {
        std::string section = Section();
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.SetAttribute("Global", "CurrentRun", "TYPE", section.c_str());
            cfg.SetInt(section.c_str(), "Flag", "Is_Had_Hand", pDev->m_bIsHadHand ? 1 : 0);
            cfg.Save();
        }
        cfg.Close();
    }

    m_pBuf = new unsigned char[m_nBufLen]();
    m_pReadBuf = new unsigned char[m_nBufLen]();
    return true;
}

bool CTavrinWorkBase::CheckPacket()
{
    if (!m_pBuf || m_nBufLen < 8)
        return false;
    if (m_pBuf[0] != 0xEE && m_pBuf[0] != 0xAA)
        return false;
    unsigned char x = 0;
    for (int i = 0; i < 7; ++i)
        x ^= m_pBuf[i];
    return x == m_pBuf[7];
}

int CTavrinWorkBase::ReadPacket(unsigned char* buffer, int length)
{
    if (!m_pDev)
        return -1;
    return m_pDev->Read(buffer, length);
}

int CTavrinWorkBase::WritePacket(const unsigned char* bytes, int length)
{
    if (!m_pDev)
    {
        printf("m_pDev = NULL\n");
        fflush(stdout);
        return -1;
    }
    return m_pDev->Write(bytes, length);
}

int CTavrinWorkBase::SendStartCommand()
{
    if (!m_pDev)
        return -1;
    return m_pDev->SendStartCommand();
}

bool CTavrinWorkBase::LoadDriverSettings() { return false; }
bool CTavrinWorkBase::LoadPenSettings() { return false; }
void CTavrinWorkBase::HandleCalibrationPacket() {}
void CTavrinWorkBase::HandlePacket() {}
void CTavrinWorkBase::HandleDualPacket() {}
void CTavrinWorkBase::HandleSplitPacket() {}
void CTavrinWorkBase::OnPressT() {}
void CTavrinWorkBase::OnPressS() {}
void CTavrinWorkBase::OnReleaseT() {}
void CTavrinWorkBase::OnReleaseS() {}
void CTavrinWorkBase::OnFrontKey() {}
void CTavrinWorkBase::OnBackKey() {}
void CTavrinWorkBase::OnSideKey() {}
void CTavrinWorkBase::OnPacket7() {}
void CTavrinWorkBase::OnPacket9() {}
void CTavrinWorkBase::OnPacket8() {}

bool CTavrinWorkBase::HandleSoftKey(int x, int y, int pressType)
{
    if (!m_pSidekey)
        return false;
    int k = m_pSidekey->HitTest(x, y);
    if (k < 0)
        return false;
    printf("in base softkey:%d \n", k);
    fflush(stdout);
    if (pressType == 1)
    {
        if (!m_bKeyFired)
        {
            FireSideKey(k, 1);
            m_bKeyFired = 1;
        }
    }
    else if (pressType == 2)
    {
        if (!m_bKeyFired2)
        {
            FireSideKey(k, 2);
            m_bKeyFired2 = 1;
        }
    }
    return true;
}

bool CTavrinWorkBase::OnCommand(int command, int value)
{
    switch (command)
    {
    case 0:
        if (value == 0)
            m_nMode = WORK_MODE_NORMAL;
        return true;
    case 1:
    case 2:
    {
        // The collection is initialised before the loop can see the new
        // mode, and never while a sample is being added.
        std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
        if (m_pOrient)
            m_pOrient->Start(value, command);
        m_nMode = command;
        return true;
    }
    case 3:
    {
        std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
        if (m_pSidekey)
            m_pSidekey->RefreshEnable();
        return true;
    }
    default:
        return false;
    }
}

CDeviceBase* CTavrinWorkBase::TakeDevice()
{
    std::lock_guard<std::mutex> dlk(m_DevMutex);
    CDeviceBase* p = m_pDev;
    m_pDev = nullptr;
    return p;
}

bool CTavrinWorkBase::IsSameDevice(const DeviceDescriptor& desc)
{
    std::lock_guard<std::mutex> dlk(m_DevMutex);
    return m_pDev && m_pDev->IsSameDevice(desc);
}

void CTavrinWorkBase::OnAppEvent(int kind)
{
    std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
    if (kind == 0)
        OnReleaseT();
    else if (kind == 1 && m_pSidekey)
        m_pSidekey->EndAction();
}

void CTavrinWorkBase::ReloadConversion()
{
    // Built outside the lock: reading the settings file and the screen size
    // must not hold up a main-thread call.
    CConversionBase* pNew = CreateMapping();
    if (!pNew)
        return;
    pNew->Initialize();
    CConversionBase* pOld;
    {
        std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
        pOld = m_pConversion;
        m_pConversion = pNew;
    }
    delete pOld;
}

void CTavrinWorkBase::RightClickAtLastPoint()
{
    std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
    if (m_pMouse)
        m_pMouse->PointerEvent(m_Point.x, m_Point.y, 2);
}

ScreenPoint CTavrinWorkBase::GetLastPoint()
{
    std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
    return m_Point;
}

void CTavrinWorkBase::HandleHotKey()
{
    if (!m_pBuf || m_nBufLen < 3 || !m_pSidekey)
        return;
    auto it = m_HotKeyMap.find(m_pBuf[2]);
    if (it != m_HotKeyMap.end())
        RunSideKeyAction(it->second);
}

void CTavrinWorkBase::MapPoint()
{
    if (!m_pConversion)
        return;
    const double raw[2] = {m_RawX, m_RawY};
    m_Point = m_pConversion->RawToScreen(raw);
}

void CTavrinWorkBase::SleepUnlocked(int ms)
{
    CHandlerUnlock unlock(this);
    Clock().SleepMs(ms);
}

void CTavrinWorkBase::FireSideKey(int key, int pressType)
{
    // Only this thread's destructor deletes the processor.
    CSidekeyProcess* p = m_pSidekey;
    if (!p)
        return;
    CHandlerUnlock unlock(this);
    p->FireKey(key, pressType);
}

void CTavrinWorkBase::RunSideKeyAction(const std::wstring& action)
{
    CSidekeyProcess* p = m_pSidekey;
    if (!p)
        return;
    CHandlerUnlock unlock(this);
    p->DoAction(action);
}

CTavrinWorkBase::CHandlerUnlock::CHandlerUnlock(CTavrinWorkBase* p)
{
    // Only the dispatching thread may let go of its own lock.
    if (p->m_pHandlerLock && p->m_DispatchThread == std::this_thread::get_id() &&
        p->m_pHandlerLock->owns_lock())
    {
        m_pLock = p->m_pHandlerLock;
        m_pLock->unlock();
    }
}

CTavrinWorkBase::CHandlerUnlock::~CHandlerUnlock()
{
    if (m_pLock)
        m_pLock->lock();
}

bool CTavrinWorkBase::HandleOnePacket(const unsigned char* packet)
{
    std::unique_lock<std::recursive_mutex> lk(m_HandlerMutex);
    if (!m_pBuf)
        return false;
    if (packet != m_pBuf)
        memcpy(m_pBuf, packet, m_nBufLen);

    std::unique_lock<std::recursive_mutex>* pOuter = m_pHandlerLock;
    std::thread::id outerThread = m_DispatchThread;
    m_pHandlerLock = &lk;
    m_DispatchThread = std::this_thread::get_id();

    bool handled = false;
    if (CheckPacket() && DecodePoint())
    {
        handled = true;
        switch (GetPacketType())
        {
        case PACKET_PRESS_T: OnPressT(); break;
        case PACKET_PRESS_S: OnPressS(); break;
        case PACKET_RELEASE_T: OnReleaseT(); break;
        case PACKET_RELEASE_S: OnReleaseS(); break;
        case PACKET_FRONT_KEY: OnFrontKey(); break;
        case PACKET_BACK_KEY: OnBackKey(); break;
        case PACKET_SIDE_KEY: OnSideKey(); break;
        case PACKET_7: OnPacket7(); break;
        case PACKET_8: OnPacket8(); break;
        case PACKET_9: OnPacket9(); break;
        default:
            if (m_pDev && m_pDev->m_bIsHadHand)
                HandleHotKey();
            break;
        }
    }

    m_pHandlerLock = pOuter;
    m_DispatchThread = outerThread;
    return handled;
}

int CTavrinWorkBase::MissLimit()
{
    return s_nMissLimit.load();
}

void CTavrinWorkBase::BeginLoop()
{
    int timeout = m_pDev ? m_pDev->m_nTimeout : DEFAULT_TIMEOUT_MS;
    std::call_once(s_MissLimitOnce, [timeout]() {
        int t = timeout > 0 ? timeout : DEFAULT_TIMEOUT_MS;
        // A device waiting a second or more per read would otherwise get a
        // limit of 0 or less and never be reported lost.
        int limit = SILENCE_MS / t - 1;
        if (limit < 1)
            limit = 1;
        s_nMissLimit = limit;
    });
    printf("ggg:%d\n", s_nMissLimit.load());
    fflush(stdout);

    m_bUITag = m_strName == L"TavrinWorkUI";
    m_bIRTag = m_strName == L"TavrinWorkIR" || m_strName == L"TavrinWorkIRD";
    if (!m_bUITag)
        SendStartCommand();
    m_bConnected = true;
    m_nMiss = 0;
}

void CTavrinWorkBase::RunLoopStep()
{
    if (!m_pReadBuf)
    {
        Clock().SleepMs(1);
        return;
    }
    memset(m_pReadBuf, 0, m_nBufLen);
    int n = ReadPacket(m_pReadBuf, m_nBufLen);
    if (n == m_nBufLen)
    {
        if (!m_bConnected)
        {
            if (m_bIRTag)
                OnCommand(13, 0);
            AppServices().SetBoardConnected(true);
            m_bConnected = true;
        }
        HandleOnePacket(m_pReadBuf);
        m_nMiss = 0;
        return;
    }
    if (m_bUITag)
        return;

    Clock().SleepMs(1);
    // Saturates: a pulled board keeps failing for as long as nobody deletes
    // the thread, and a wrapped count would report the loss again.
    if (m_nMiss < INT_MAX)
        ++m_nMiss;
    int limit = s_nMissLimit.load();
    if (m_nMiss > limit)
    {
        SendStartCommand();
        if (m_nMiss == 3 * limit)
        {
            AppServices().SetBoardConnected(false);
            m_bConnected = false;
            printf("TIME_LIMIT\n");
            fflush(stdout);
            g_bAppStarted = false;
        }
    }
}

bool CTavrinWorkBase::IsStopRequested()
{
    if (m_bStopRequested)
        return true;
    // TestDestroy may only be asked by the thread itself.
    return wxThread::This() == this && TestDestroy();
}

wxThread::ExitCode CTavrinWorkBase::Entry()
{
    if (!m_pBuf)
        return 0;
    BeginLoop();
    while (!IsStopRequested())
        RunLoopStep();
    return 0;
}
