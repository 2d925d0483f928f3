// Serial half of libCp210xHid.so over the kernel's USB-serial driver.
//
// The bridge is found through udev: the tty whose USB device ancestor carries
// the requested vendor and product ids. The line is switched to raw mode on
// open: the board protocol is binary, and the tty defaults (echo, CR/LF
// translation, canonical input) would corrupt it or echo commands back to
// the board. Only the control-flag word and the speed are left to the caller.
#include "bridge/Cp210xHid.h"

#include <algorithm>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

struct cp210x_device_
{
    int fd = -1;
};

namespace
{
const int kIoTimeoutMs = 500;

int HexAttr(udev_device* dev, const char* name)
{
    const char* v = udev_device_get_sysattr_value(dev, name);
    if (!v)
        return -1;
    char* end = nullptr;
    long n = strtol(v, &end, 16);
    return end != v ? static_cast<int>(n) : -1;
}

// Device nodes of the ttys below USB devices with these ids, in node order.
std::vector<std::string> FindTtys(unsigned short vid, unsigned short pid)
{
    std::vector<std::string> nodes;
    udev* ctx = udev_new();
    if (!ctx)
        return nodes;
    udev_enumerate* en = udev_enumerate_new(ctx);
    if (en)
    {
        udev_enumerate_add_match_subsystem(en, "tty");
        udev_enumerate_scan_devices(en);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en))
        {
            udev_device* tty = udev_device_new_from_syspath(ctx, udev_list_entry_get_name(entry));
            if (!tty)
                continue;
            // The parent belongs to tty and is released with it.
            udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
            const char* node = udev_device_get_devnode(tty);
            if (usb && node && HexAttr(usb, "idVendor") == vid && HexAttr(usb, "idProduct") == pid)
                nodes.push_back(node);
            udev_device_unref(tty);
        }
        udev_enumerate_unref(en);
    }
    udev_unref(ctx);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool ToSpeed(int baud, speed_t* out)
{
    static const struct
    {
        int baud;
        speed_t speed;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& e : table)
    {
        if (e.baud == baud)
        {
            *out = e.speed;
            return true;
        }
    }
    return false;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

extern "C" {

cp210x_device* cp210x_open(unsigned short vendor_id, unsigned short product_id, int index)
{
    std::string node;
    const char* forced = getenv("TAVRIN_CP210X_TTY");
    if (forced && *forced)
    {
        node = forced;
    }
    else
    {
        std::vector<std::string> nodes = FindTtys(vendor_id, product_id);
        if (index < 0 || static_cast<size_t>(index) >= nodes.size())
            return nullptr;
        node = nodes[index];
    }

    // Non-blocking: the open must not wait for carrier, and reads and writes
    // wait through poll with their own time-out.
    int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    termios tio;
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0)
    {
        close(fd);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty read gives EAGAIN, 0 only on hang-up
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
    {
        close(fd);
        return nullptr;
    }
    tcflush(fd, TCIFLUSH);
    cp210x_device* dev = new cp210x_device_;
    dev->fd = fd;
    return dev;
}

int cp210x_set_IFC(cp210x_device* dev, int enable)
{
    (void)enable;
    return dev && dev->fd >= 0 ? 0 : -1;
}

int cp210x_get_termios(cp210x_device* dev, uint32_t* cflag)
{
    termios tio;
    if (!dev || !cflag || tcgetattr(dev->fd, &tio) != 0)
        return -1;
    *cflag = static_cast<uint32_t>(tio.c_cflag);
    return 0;
}

int cp210x_set_termios(cp210x_device* dev, uint32_t cflag, int baud)
{
    termios tio;
    if (!dev || tcgetattr(dev->fd, &tio) != 0)
        return -1;
    speed_t speed = 0;
    if (baud > 0 && !ToSpeed(baud, &speed))
        return -1;
    tio.c_cflag = static_cast<tcflag_t>(cflag);
    if (baud > 0 && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0))
        return -1;
    return tcsetattr(dev->fd, TCSANOW, &tio) == 0 ? 0 : -1;
}

int cp210x_read(cp210x_device* dev, unsigned char* data, size_t length)
{
    if (!dev || (!data && length))
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    size_t got = 0;
    while (got < length)
    {
        pollfd p = {dev->fd, POLLIN, 0};
        int r = poll(&p, 1, RemainingMs(deadline));
        if (r < 0)
        {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;  // time is up
        if (!(p.revents & POLLIN))
            return -1;  // hang-up or error without data: the bridge is gone
        ssize_t n = read(dev->fd, data + got, length - got);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n == 0)
            return -1;  // hang-up
        else if (errno != EAGAIN && errno != EINTR)
            return -1;
    }
    return static_cast<int>(got);
}

int cp210x_write(cp210x_device* dev, const unsigned char* data, size_t length)
{
    if (!dev || (!data && length))
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    size_t done = 0;
    while (done < length)
    {
        ssize_t n = write(dev->fd, data + done, length - done);
        if (n > 0)
        {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return -1;
        pollfd p = {dev->fd, POLLOUT, 0};
        int r = poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno != EINTR)
            return -1;
        if (r == 0)
            break;  // no room in time: report what went out
        if (r > 0 && !(p.revents & POLLOUT))
            return -1;
    }
    return static_cast<int>(done);
}

void cp210x_close(cp210x_device* dev)
{
    if (!dev)
        return;
    if (dev->fd >= 0)
        close(dev->fd);
    delete dev;
}

}  // extern "C"
