#include "UdevTestbed.h"

#include <libudev.h>
#include <sys/select.h>
#include <umockdev.h>

namespace tavrin_test
{
namespace
{
std::string TakeString(gchar* text)
{
    std::string s = text ? text : "";
    g_free(text);
    return s;
}
}  // namespace

CUdevTestbed::CUdevTestbed() : m_pBed(umockdev_testbed_new()) {}

CUdevTestbed::~CUdevTestbed() { g_object_unref(m_pBed); }

std::string CUdevTestbed::AddUsbBoard(const char* name, const char* vid, const char* pid, const char* product)
{
    const gchar* attrs[8];
    int n = 0;
    if (vid)
    {
        attrs[n++] = "idVendor";
        attrs[n++] = vid;
    }
    if (pid)
    {
        attrs[n++] = "idProduct";
        attrs[n++] = pid;
    }
    attrs[n++] = "product";
    attrs[n++] = product;
    attrs[n] = nullptr;
    const gchar* props[] = {"DEVTYPE", "usb_device", nullptr};
    std::string usb = TakeString(umockdev_testbed_add_devicev(m_pBed, "usb", name, nullptr,
                                                               const_cast<gchar**>(attrs), const_cast<gchar**>(props)));
    std::string ifname = std::string(name) + ":1.0";
    return TakeString(umockdev_testbed_add_device(m_pBed, "usb", ifname.c_str(), usb.c_str(), "bInterfaceNumber", "00",
                                                  nullptr, "DEVTYPE", "usb_interface", nullptr));
}

std::string CUdevTestbed::AddCamera(const char* name, const char* vid, const char* pid, const char* product,
                                    const char* node)
{
    std::string iface = AddUsbBoard(name, vid, pid, product);
    std::string devname = std::string("/dev/") + node;
    return TakeString(umockdev_testbed_add_device(m_pBed, "video4linux", node, iface.c_str(), "name", product, nullptr,
                                                  "DEVNAME", devname.c_str(), nullptr));
}

void CUdevTestbed::Uevent(const std::string& syspath, const char* action)
{
    umockdev_testbed_uevent(m_pBed, syspath.c_str(), action);
}

void CUdevTestbed::Unplug(const std::string& syspath)
{
    Uevent(syspath, "remove");
    umockdev_testbed_remove_device(m_pBed, syspath.c_str());
}

std::string DevPath(const std::string& syspath)
{
    return syspath.compare(0, 4, "/sys") == 0 ? syspath.substr(4) : syspath;
}

CUdevEventTap::CUdevEventTap() : m_pUdev(udev_new()), m_pMonitor(nullptr)
{
    if (m_pUdev)
        m_pMonitor = udev_monitor_new_from_netlink(m_pUdev, "udev");
    if (m_pMonitor)
        udev_monitor_enable_receiving(m_pMonitor);
}

CUdevEventTap::~CUdevEventTap()
{
    if (m_pMonitor)
        udev_monitor_unref(m_pMonitor);
    if (m_pUdev)
        udev_unref(m_pUdev);
}

struct udev_device* CUdevEventTap::Next(int ms)
{
    if (!m_pMonitor)
        return nullptr;
    int fd = udev_monitor_get_fd(m_pMonitor);
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    if (select(fd + 1, &fds, nullptr, nullptr, &tv) <= 0)
        return nullptr;
    return udev_monitor_receive_device(m_pMonitor);
}
}  // namespace tavrin_test
