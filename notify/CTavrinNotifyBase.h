#pragma once
#include "device/DeviceDescriptor.h"

#include <wx/thread.h>

#include <atomic>
#include <memory>
#include <vector>

// Hot-plug monitor: a detached thread that finds supported boards (present at
// start or plugged in later), builds and identifies their device object and
// asks the application to serve it; on removal it asks the application to
// stop serving it. At most one board is attached at a time.
//
// The application creates the thread, calls InitSupportedDevices, then Run.
// At shut-down it calls Delete (the loop notices within about a second) or
// StopAndWait, which ends the loop at once and waits for the thread to finish.
class CTavrinNotifyBase : public wxThread
{
public:
    CTavrinNotifyBase();
    ~CTavrinNotifyBase() override;

    void AddSupportedDevice(int vid, int pid, int kind, int style, int baud);
    // The two built-in bridges, then the boards listed in the settings file
    // (Global/SupportedDevices). Replaces any previous table. Always true.
    bool InitSupportedDevices();

    // Creates, opens, initialises and identifies the board and hands it to the
    // application. Returns whether a board is attached afterwards.
    virtual bool OnDeviceArrived(const DeviceDescriptor& desc);
    // Asks the application to stop serving the device with desc.path.
    virtual bool OnDeviceRemoved(const DeviceDescriptor& desc);
    virtual void Enumerate(const char* subsystem);

    bool IsAttached() const { return m_bAttached; }
    int GetDevCount() const { return m_nDevCount; }
    // Entry `index` of the supported-device table, or null.
    const DeviceDescriptor* GetSupportedDevice(int index) const;

    // Shut-down for a thread that has been created: ends the monitor loop
    // without waiting for its time-out and waits up to `timeoutMs` until the
    // thread has disposed of itself. The object must not be used after this
    // call, whatever the result. Returns whether the thread ended in time.
    bool StopAndWait(int timeoutMs);

protected:
    ExitCode Entry() override = 0;

    // True once the thread was asked to end, by Delete or StopAndWait.
    // Only the thread itself may ask (TestDestroy's rule).
    bool ShouldStop();
    // A descriptor that becomes readable when StopAndWait is called, for
    // loops that wait on descriptors.
    int StopWakeFd() const;
    // Waits until StopAndWait is called or `ms` passed.
    void WaitForStop(int ms);

    int m_nDevCount = 0;
    std::vector<DeviceDescriptor> m_DevTable;
    // Written under m_pMutex; read without it by the event handling.
    std::atomic<bool> m_bAttached{false};
    wxMutex* m_pMutex;

private:
    struct StopGate;
    // Shared with StopAndWait so that the waiter never touches this object
    // once the thread may have deleted it.
    std::shared_ptr<StopGate> m_pStopGate;
};
