#pragma once
#include "notify/CTavrinNotifyBase.h"

#include <mutex>

struct udev;
struct udev_device;
struct udev_monitor;

// The strings of one device event, each an owned copy or null.
struct UdevDeviceInfo
{
    UdevDeviceInfo() = default;
    ~UdevDeviceInfo();
    UdevDeviceInfo(const UdevDeviceInfo&) = delete;
    UdevDeviceInfo& operator=(const UdevDeviceInfo&) = delete;

    // Of the event's device.
    char* subsystem = nullptr;
    char* devtype = nullptr;
    char* devnode = nullptr;
    char* action = nullptr;
    char* devpath = nullptr;
    // System attributes of its usb_device parent.
    char* idProduct = nullptr;
    char* idVendor = nullptr;
    char* product = nullptr;
};

// Hot-plug monitor over libudev: enumerates "usb" and "video4linux" devices at
// start, then follows the udev netlink monitor.
class CTavrinNotifyLinux : public CTavrinNotifyBase
{
public:
    CTavrinNotifyLinux();
    ~CTavrinNotifyLinux() override;

    // Safe from the main thread (camera rescan) while the monitor runs.
    void Enumerate(const char* subsystem) override;
    // Called without the udev lock held; takes it while it reads the device.
    bool HandleDeviceEvent(struct udev_device* pDevice, bool bEnumerating);

protected:
    ExitCode Entry() override;
    bool OnAddEvent(const UdevDeviceInfo& info);
    bool OnRemoveEvent(const UdevDeviceInfo& info);

private:
    // Follows the monitor until the thread is asked to end.
    void MonitorLoop(struct udev_monitor* pMonitor);
    // Creates the context if there is none yet. Needs m_UdevLock.
    struct udev* UdevLocked();

    // Serialises every use of m_pUdev and of the devices made from it: the
    // main thread enumerates cameras with the same context. Never held while
    // a board is attached or removed (those take m_pMutex), so the lock
    // order is always m_UdevLock alone, or m_pMutex alone.
    std::mutex m_UdevLock;
    struct udev* m_pUdev = nullptr;
    // The usb_device parent of the event being read; valid only while its
    // child device is, so only under m_UdevLock inside HandleDeviceEvent.
    struct udev_device* m_pUsbDevice = nullptr;
};
