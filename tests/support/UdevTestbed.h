#pragma once
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;
struct udev;
struct udev_device;
struct udev_monitor;

namespace tavrin_test
{
// An emulated sysfs for the process's libudev (needs the umockdev preload
// library). Devices are named as in sysfs ("1-1", "video0").
class CUdevTestbed
{
public:
    CUdevTestbed();
    ~CUdevTestbed();

    // A USB device with one interface (name + ":1.0"); returns the
    // interface's syspath. Null ids leave the attribute out.
    std::string AddUsbBoard(const char* name, const char* vid, const char* pid, const char* product = "Board");
    // A USB camera: device, interface and a video4linux node /dev/<node>;
    // returns the node's syspath.
    std::string AddCamera(const char* name, const char* vid, const char* pid, const char* product, const char* node);
    void Uevent(const std::string& syspath, const char* action);
    // A "remove" event, then the device leaves sysfs (its parent stays).
    void Unplug(const std::string& syspath);

private:
    UMockdevTestbed* m_pBed;
};

// The devpath libudev reports for a testbed syspath ("/sys/devices/x" ->
// "/devices/x").
std::string DevPath(const std::string& syspath);

// A udev monitor of the test's own, to obtain event devices (with action)
// that the code under test is then given. Create it after the testbed.
class CUdevEventTap
{
public:
    CUdevEventTap();
    ~CUdevEventTap();
    // The next event within `ms` milliseconds, or null; the caller unrefs it.
    struct udev_device* Next(int ms = 2000);

private:
    struct udev* m_pUdev;
    struct udev_monitor* m_pMonitor;
};
}  // namespace tavrin_test
