#include "Linux/CTavrinNotifyLinux.h"

#include "app/CClock.h"
#include "notify/SupportedDevices.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libudev.h>
#include <string>
#include <sys/select.h>
#include <vector>

namespace
{
char* CopyOrNull(const char* text) { return text ? strdup(text) : nullptr; }

bool Equals(const char* a, const char* b) { return a && b && strcmp(a, b) == 0; }
}  // namespace

UdevDeviceInfo::~UdevDeviceInfo()
{
    free(subsystem);
    free(devtype);
    free(devnode);
    free(action);
    free(devpath);
    free(idProduct);
    free(idVendor);
    free(product);
}

CTavrinNotifyLinux::CTavrinNotifyLinux() = default;

CTavrinNotifyLinux::~CTavrinNotifyLinux()
{
    std::lock_guard<std::mutex> lock(m_UdevLock);
    m_pUsbDevice = nullptr;
    if (m_pUdev)
    {
        udev_unref(m_pUdev);
        m_pUdev = nullptr;
    }
}

struct udev* CTavrinNotifyLinux::UdevLocked()
{
    if (!m_pUdev)
        m_pUdev = udev_new();
    return m_pUdev;
}

wxThread::ExitCode CTavrinNotifyLinux::Entry()
{
    struct udev_monitor* pMonitor = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_UdevLock);
        // A camera rescan on the main thread may have made the context
        // already, and may still hold a device of it: keep that one.
        struct udev* pUdev = UdevLocked();
        // Listening starts before the enumeration so that a board plugged in
        // or pulled out meanwhile is still seen: its event waits in the
        // socket until the loop runs.
        if (pUdev)
            pMonitor = udev_monitor_new_from_netlink(pUdev, "udev");
        if (pMonitor && udev_monitor_enable_receiving(pMonitor) != 0)
        {
            udev_monitor_unref(pMonitor);
            pMonitor = nullptr;
        }
    }
    Enumerate("usb");
    Enumerate("video4linux");
    MonitorLoop(pMonitor);

    std::lock_guard<std::mutex> lock(m_UdevLock);
    if (pMonitor)
        udev_monitor_unref(pMonitor);
    return 0;
}

void CTavrinNotifyLinux::MonitorLoop(struct udev_monitor* pMonitor)
{
    int fd = -1;
    if (pMonitor)
    {
        std::lock_guard<std::mutex> lock(m_UdevLock);
        fd = udev_monitor_get_fd(pMonitor);
    }
    if (fd < 0)
    {
        printf("udev monitor unavailable: hot-plug events are not followed\n");
        fflush(stdout);
        // Returning would let the thread delete itself while the application
        // still holds it; stay until asked to end.
        while (!ShouldStop())
            WaitForStop(1000);
        return;
    }

    const int wakeFd = StopWakeFd();
    while (!ShouldStop())
    {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        int maxFd = fd;
        if (wakeFd >= 0)
        {
            FD_SET(wakeFd, &fds);
            if (wakeFd > maxFd)
                maxFd = wakeFd;
        }
        struct timeval tv;
        tv.tv_sec = 1;
        tv.tv_usec = 500;
        int ready = select(maxFd + 1, &fds, nullptr, nullptr, &tv);
        if (ready < 0)
        {
            perror("select");
            continue;
        }
        if (wakeFd >= 0 && FD_ISSET(wakeFd, &fds))
            continue;

        struct udev_device* pDevice = nullptr;
        if (ready > 0 && FD_ISSET(fd, &fds))
        {
            std::lock_guard<std::mutex> lock(m_UdevLock);
            pDevice = udev_monitor_receive_device(pMonitor);
        }
        if (pDevice)
        {
            HandleDeviceEvent(pDevice, false);
            std::lock_guard<std::mutex> lock(m_UdevLock);
            udev_device_unref(pDevice);
        }
        else
        {
            Clock().SleepMs(1);
        }
    }
}

void CTavrinNotifyLinux::Enumerate(const char* subsystem)
{
    // The list is copied out so that no udev object stays in use (and the
    // lock held) while a board is being attached.
    std::vector<std::string> syspaths;
    {
        std::lock_guard<std::mutex> lock(m_UdevLock);
        struct udev* pUdev = UdevLocked();
        if (!pUdev)
            return;
        struct udev_enumerate* pEnum = udev_enumerate_new(pUdev);
        if (!pEnum)
            return;
        udev_enumerate_add_match_subsystem(pEnum, subsystem);
        udev_enumerate_scan_devices(pEnum);
        struct udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(pEnum))
        {
            if (const char* name = udev_list_entry_get_name(entry))
                syspaths.emplace_back(name);
        }
        udev_enumerate_unref(pEnum);
    }

    const bool bOwnThread = wxThread::This() == this;
    for (const std::string& syspath : syspaths)
    {
        if (bOwnThread && ShouldStop())
            break;
        struct udev_device* pDevice;
        {
            std::lock_guard<std::mutex> lock(m_UdevLock);
            pDevice = udev_device_new_from_syspath(UdevLocked(), syspath.c_str());
        }
        if (!pDevice)
            continue;  // gone since the scan
        bool bDone = HandleDeviceEvent(pDevice, true);
        {
            std::lock_guard<std::mutex> lock(m_UdevLock);
            udev_device_unref(pDevice);
        }
        if (bDone)
            break;
    }
}

bool CTavrinNotifyLinux::HandleDeviceEvent(struct udev_device* pDevice, bool bEnumerating)
{
    if (!pDevice)
        return false;
    UdevDeviceInfo info;
    {
        std::lock_guard<std::mutex> lock(m_UdevLock);
        const char* subsystem = udev_device_get_subsystem(pDevice);
        if (!subsystem)
            return false;
        const char* devtype = udev_device_get_devtype(pDevice);
        bool bUsbInterface = Equals(subsystem, "usb") && Equals(devtype, "usb_interface");
        if (!bUsbInterface && !Equals(subsystem, "video4linux"))
            return false;
        m_pUsbDevice = udev_device_get_parent_with_subsystem_devtype(pDevice, "usb", "usb_device");
        if (!m_pUsbDevice)
            return false;

        info.subsystem = CopyOrNull(subsystem);
        info.devtype = CopyOrNull(devtype);
        info.devnode = CopyOrNull(udev_device_get_devnode(pDevice));
        info.action = CopyOrNull(udev_device_get_action(pDevice));
        info.devpath = CopyOrNull(udev_device_get_devpath(pDevice));
        info.idProduct = CopyOrNull(udev_device_get_sysattr_value(m_pUsbDevice, "idProduct"));
        info.idVendor = CopyOrNull(udev_device_get_sysattr_value(m_pUsbDevice, "idVendor"));
        info.product = CopyOrNull(udev_device_get_sysattr_value(m_pUsbDevice, "product"));
        // Owned by pDevice, which the caller releases.
        m_pUsbDevice = nullptr;
    }

    if (m_bAttached)
    {
        if (Equals(info.action, "remove"))
            return OnRemoveEvent(info);
        return true;
    }
    if (Equals(info.action, "add") || bEnumerating)
        return OnAddEvent(info);
    return true;
}

bool CTavrinNotifyLinux::OnAddEvent(const UdevDeviceInfo& info)
{
    int vid, pid;
    if (!ParseUsbId(info.idVendor, &vid) || !ParseUsbId(info.idProduct, &pid))
        return false;

    const DeviceDescriptor* pEntry = nullptr;
    for (int i = 0; i < m_nDevCount && !pEntry; ++i)
    {
        if (m_DevTable[i].pid == pid && m_DevTable[i].vid == vid)
            pEntry = &m_DevTable[i];
    }
    if (!pEntry)
        return false;

    DeviceDescriptor desc = *pEntry;
    const char* path;
    if (desc.kind != DEVICE_CAM)
        path = info.devpath;
    else if (Equals(info.subsystem, "video4linux") && Equals(info.product, "USB 2.0 Camera"))
        path = info.devnode;
    else
        path = nullptr;
    if (!path)
        return false;

    desc.path = strdup(path);
    bool bAttached = OnDeviceArrived(desc);
    free(desc.path);
    return bAttached;
}

bool CTavrinNotifyLinux::OnRemoveEvent(const UdevDeviceInfo& info)
{
    DeviceDescriptor desc;
    if (Equals(info.subsystem, "video4linux") && info.devnode)
        desc.path = info.devnode;
    else
        desc.path = info.devpath;
    if (!desc.path)
        return false;
    return OnDeviceRemoved(desc);
}
