#include "notify/CTavrinNotifyBase.h"

#include "app/CAppServices.h"
#include "app/CClock.h"
#include "app/ThreadExit.h"
#include "config/CConfigXML.h"
#include "device/CDeviceBase.h"
#include "notify/SupportedDevices.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

struct CTavrinNotifyBase::StopGate
{
    StopGate() : nWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~StopGate()
    {
        if (nWakeFd >= 0)
            close(nWakeFd);
    }

    void RequestStop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            bStop = true;
        }
        cond.notify_all();
        if (nWakeFd >= 0)
        {
            uint64_t one = 1;
            ssize_t n = write(nWakeFd, &one, sizeof one);
            (void)n;
        }
    }

    void MarkDone()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            nDoneTid = CurrentThreadTid();
            bDone = true;
        }
        cond.notify_all();
    }

    std::mutex mutex;
    std::condition_variable cond;
    bool bStop = false;
    bool bDone = false;
    // The thread that ran the destructor: StopAndWait waits until it is gone.
    long nDoneTid = 0;
    int nWakeFd;
};

CTavrinNotifyBase::CTavrinNotifyBase()
    : wxThread(wxTHREAD_DETACHED), m_pMutex(new wxMutex()), m_pStopGate(std::make_shared<StopGate>())
{
}

CTavrinNotifyBase::~CTavrinNotifyBase()
{
    m_DevTable.clear();
    m_nDevCount = 0;
    delete m_pMutex;
    m_pMutex = nullptr;
    // Last: a StopAndWait caller may return (and the process end) from here on.
    m_pStopGate->MarkDone();
}

void CTavrinNotifyBase::AddSupportedDevice(int vid, int pid, int kind, int style, int baud)
{
    DeviceDescriptor desc;
    desc.vid = vid;
    desc.pid = pid;
    desc.kind = kind;
    desc.style = style;
    desc.baud = baud;
    desc.path = nullptr;
    m_DevTable.push_back(desc);
    m_nDevCount = static_cast<int>(m_DevTable.size());
}

bool CTavrinNotifyBase::InitSupportedDevices()
{
    m_DevTable.clear();
    m_nDevCount = 0;
    AddSupportedDevice(0x10C4, 0x1320, DEVICE_COM, 24, 57600);
    AddSupportedDevice(0x1314, 0x1001, DEVICE_HID, 24, 0);

    std::vector<DeviceDescriptor> extra;
    ReadSupportedDevices(CONFIG_FILE, &extra);
    for (const DeviceDescriptor& d : extra)
        AddSupportedDevice(d.vid, d.pid, d.kind, d.style, d.baud);
    return true;
}

const DeviceDescriptor* CTavrinNotifyBase::GetSupportedDevice(int index) const
{
    if (index < 0 || index >= m_nDevCount)
        return nullptr;
    return &m_DevTable[index];
}

bool CTavrinNotifyBase::OnDeviceArrived(const DeviceDescriptor& desc)
{
    wxMutexLocker lock(*m_pMutex);
    // The main thread's camera rescan and the monitor thread may both have
    // seen "not attached" before either got here: only the first one serves.
    if (m_bAttached)
        return true;

    CDeviceBase* pDev = CreateDevice(desc);
    std::cout << "###########pDev = " << static_cast<void*>(pDev) << std::endl;
    if (!pDev)
        return false;

    // Let the bridge settle after enumeration before talking to it.
    Clock().SleepMs(500);

    if (!pDev->Open())
    {
        delete pDev;
        return false;
    }
    if (pDev->Init() && pDev->Identify() && AppServices().StartWorkThread(pDev->Style(), pDev))
    {
        // The application's work thread owns the device from here on.
        m_bAttached = true;
        return true;
    }
    // Not handed over: nobody else will ever release it.
    pDev->Close();
    delete pDev;
    return false;
}

bool CTavrinNotifyBase::OnDeviceRemoved(const DeviceDescriptor& desc)
{
    wxMutexLocker lock(*m_pMutex);
    bool bRemoved = AppServices().DestoryWorkThread(desc);
    // Cleared under the lock so that an arrival handled right after the
    // removal sees the slot free, and one handled right before keeps it.
    if (bRemoved)
        m_bAttached = false;
    return bRemoved;
}

void CTavrinNotifyBase::Enumerate(const char*) {}

bool CTavrinNotifyBase::ShouldStop()
{
    if (TestDestroy())
        return true;
    std::lock_guard<std::mutex> lock(m_pStopGate->mutex);
    return m_pStopGate->bStop;
}

int CTavrinNotifyBase::StopWakeFd() const { return m_pStopGate->nWakeFd; }

void CTavrinNotifyBase::WaitForStop(int ms)
{
    std::unique_lock<std::mutex> lock(m_pStopGate->mutex);
    m_pStopGate->cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_pStopGate->bStop; });
}

bool CTavrinNotifyBase::StopAndWait(int timeoutMs)
{
    std::shared_ptr<StopGate> gate = m_pStopGate;
    // A created thread that never ran is only released by Delete (it wakes
    // the thread, which then disposes of itself without running Entry). A
    // running thread is not touched again once asked to stop: it may delete
    // itself at any moment after that.
    if (!IsRunning())
        Delete();
    else
        gate->RequestStop();

    const int64_t start = Clock().NowMs();
    long tid = 0;
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        if (!gate->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return gate->bDone; }))
            return false;
        tid = gate->nDoneTid;
    }
    // The toolkit still runs on the thread after its destructor; the caller
    // may end the process next.
    const int64_t left = timeoutMs - (Clock().NowMs() - start);
    return WaitThreadGone(tid, left > 0 ? static_cast<int>(left) : 0);
}
