#include "Linux/CTavrinNotifyLinux.h"
#include "app/CAppServices.h"
#include "app/ThreadExit.h"
#include "device/CDeviceBase.h"
#include "notify/SupportedDevices.h"

#include "FakeClock.h"
#include "TempDir.h"
#include "UdevTestbed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <libudev.h>
#include <memory>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using tavrin_test::CChdir;
using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;
using tavrin_test::CUdevEventTap;
using tavrin_test::CUdevTestbed;
using tavrin_test::DevPath;

namespace
{
// What the monitor handed over: the identified style and the device's descriptor.
struct Handed
{
    int style;
    int kind;
    int baud;
    int vid;
    int pid;
    std::string path;
};

Handed Describe(int style, const DeviceDescriptor& d)
{
    return {style, d.kind, d.baud, d.vid, d.pid, d.path ? d.path : ""};
}

// Plays the application's part: takes the device on a successful start (and
// closes and deletes it when its board is removed, as the work thread would);
// removal succeeds only for the served board's path.
class CRecordingApp : public CAppServices
{
public:
    CRecordingApp() : m_pPrev(SetAppServices(this)) {}
    ~CRecordingApp() override
    {
        SetAppServices(m_pPrev);
        if (m_pServed)
        {
            m_pServed->Close();
            delete m_pServed;
        }
    }

    bool StartWorkThread(int style, CDeviceBase* pDev) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Starts.push_back(Describe(style, pDev->Descriptor()));
        if (m_bStartResult)
            m_pServed = pDev;
        m_Cond.notify_all();
        return m_bStartResult;
    }

    bool DestoryWorkThread(const DeviceDescriptor& desc) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Destroys.push_back(desc.path ? desc.path : "");
        bool bSame = m_pServed && m_pServed->IsSameDevice(desc);
        if (bSame)
        {
            m_pServed->Close();
            delete m_pServed;
            m_pServed = nullptr;
        }
        m_Cond.notify_all();
        return bSame;
    }

    // For the monitor thread: waits (real time) for the given numbers of calls.
    bool WaitFor(size_t starts, size_t destroys, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Cond.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return m_Starts.size() >= starts && m_Destroys.size() >= destroys; });
    }

    std::vector<Handed> Starts()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Starts;
    }
    std::vector<std::string> Destroys()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Destroys;
    }

    bool m_bStartResult = true;

private:
    CAppServices* m_pPrev;
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::vector<Handed> m_Starts;
    std::vector<std::string> m_Destroys;
    CDeviceBase* m_pServed = nullptr;
};

// Stops at the descriptor the event handling built, to see which table entry
// and path an event selects without a board behind it.
class CArrivalNotify : public CTavrinNotifyLinux
{
public:
    bool OnDeviceArrived(const DeviceDescriptor& desc) override
    {
        m_Arrivals.push_back(Describe(desc.style, desc));
        return m_bResult;
    }
    void SetAttached(bool b) { m_bAttached = b; }

    bool m_bResult = false;
    std::vector<Handed> m_Arrivals;
};

const char* kHidBoard = "expect CE 00 00 00 00 00 00 00\npacket 02 08 E5 55 00 00 00 00 00 00\n";
const char* kSerialBoard = "expect CE 00 00 00 00 00 00 00\npacket E5 55 00 00 00 00 00 00\n";

template <typename Fn>
Fn SimHook(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

class NotifyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        unsetenv("TAVRIN_SIM_SCRIPT");
        if (auto reset = SimHook<void (*)()>("tavrin_sim_reset"))
            reset();
        WriteSettings("");
    }

    void WriteSettings(const std::string& supportedDevices)
    {
        dir.WriteFile("Config/config.xml", "<?xml version=\"1.0\"?>\n<Config>\n<Global>\n<port num=\"4869\"/>\n" +
                                               supportedDevices + "</Global>\n</Config>\n");
    }

    // The simulated bridge answers as the board of `script`.
    void UseBoard(const char* script)
    {
        auto reset = SimHook<void (*)()>("tavrin_sim_reset");
        ASSERT_NE(reset, nullptr) << "not running against the simulated bridge library";
        dir.WriteFile("board.txt", script);
        setenv("TAVRIN_SIM_SCRIPT", (dir.Path() + "/board.txt").c_str(), 1);
        reset();
    }

    CTempDir dir;
    CChdir cd{dir.Path()};
    CFakeClock clock;
    CRecordingApp app;
    CUdevTestbed bed;
};

TEST(SupportedDevicesTest, ParseUsbIdTakesHexadecimalIdsOnly)
{
    struct Case
    {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"10c4", true, 0x10C4}, {"1320", true, 0x1320}, {"0x1314", true, 0x1314}, {"FFFF", true, 0xFFFF},
        {"", false, 0},         {"0x", false, 0},       {"0", false, 0},          {"10000", false, 0},
        {"12g4", false, 0},     {" 1314", false, 0},    {"1314 ", false, 0},      {nullptr, false, 0},
    };
    for (const Case& c : cases)
    {
        int value = -1;
        EXPECT_EQ(ParseUsbId(c.text, &value), c.ok) << (c.text ? c.text : "(null)");
        if (c.ok)
        {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(NotifyTest, TableHoldsBuiltInBridgesThenUsableListedBoards)
{
    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    EXPECT_TRUE(notify->InitSupportedDevices());
    ASSERT_EQ(notify->GetDevCount(), 2);

    WriteSettings(R"XML(<SupportedDevices>
  <Device vid="04d8" pid="0c01" kind="1" style="24"/>
  <Device pid="0c02" kind="1" style="24"/>
  <Device vid="xyz" pid="0c02" kind="1" style="24"/>
  <Device vid="04d8" pid="0c03" kind="4" style="24"/>
  <Device vid="04d8" pid="0c04" kind="1" style="21"/>
  <Device vid="04d8" pid="0c05" kind="2" style="24"/>
  <Device vid="04d8" pid="0c06" kind="2" style="24" baud="-5"/>
  <Board vid="04d8" pid="0c07" kind="1" style="24"/>
  <Device vid="1b3f" pid="2002" kind="3" style="14"/>
  <Device vid="0403" pid="6001" kind="2" style="22" baud="115200"/>
</SupportedDevices>
)XML");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(notify->InitSupportedDevices());
    std::string out = testing::internal::GetCapturedStdout();

    struct Entry
    {
        int vid, pid, kind, style, baud;
    } expected[] = {
        {0x10C4, 0x1320, DEVICE_COM, 24, 57600}, {0x1314, 0x1001, DEVICE_HID, 24, 0},
        {0x04D8, 0x0C01, DEVICE_HID, 24, 0},     {0x1B3F, 0x2002, DEVICE_CAM, 14, 0},
        {0x0403, 0x6001, DEVICE_COM, 22, 115200},
    };
    ASSERT_EQ(notify->GetDevCount(), 5) << "a second fill replaces the table";
    for (int i = 0; i < 5; ++i)
    {
        const DeviceDescriptor* d = notify->GetSupportedDevice(i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->vid, expected[i].vid) << i;
        EXPECT_EQ(d->pid, expected[i].pid) << i;
        EXPECT_EQ(d->kind, expected[i].kind) << i;
        EXPECT_EQ(d->style, expected[i].style) << i;
        EXPECT_EQ(d->baud, expected[i].baud) << i;
        EXPECT_EQ(d->path, nullptr) << i;
    }
    EXPECT_EQ(notify->GetSupportedDevice(5), nullptr);

    for (const char* line : {"entry 1 skipped: bad vid", "entry 2 skipped: bad vid", "entry 3 skipped: bad kind",
                             "entry 4 skipped: bad style", "entry 5 skipped: serial device without baud",
                             "entry 6 skipped: bad baud", "entry 7 skipped: not a Device element"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
    EXPECT_EQ(out.find("entry 0 "), std::string::npos);
}

TEST_F(NotifyTest, UnreadableSettingsLeaveTheBuiltInTable)
{
    dir.WriteFile("Config/config.xml", "<Config><Global><SupportedDevices><Device vid=");
    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    EXPECT_TRUE(notify->InitSupportedDevices());
    EXPECT_EQ(notify->GetDevCount(), 2);
}

TEST_F(NotifyTest, InterfaceIdsSelectTheFirstMatchingTableEntry)
{
    std::string serial = bed.AddUsbBoard("1-1", "10c4", "1320");
    std::string hid = bed.AddUsbBoard("1-2", "1314", "1001");
    bed.AddUsbBoard("1-3", "1314", "1320");  // ids of two different entries
    bed.AddUsbBoard("1-4", nullptr, "1001");
    bed.AddUsbBoard("1-5", "10c4", nullptr);

    std::unique_ptr<CArrivalNotify> notify(new CArrivalNotify());
    notify->InitSupportedDevices();
    notify->AddSupportedDevice(0x1314, 0x1001, DEVICE_HID, 23, 0);  // shadowed by the built-in entry
    notify->Enumerate("usb");

    ASSERT_EQ(notify->m_Arrivals.size(), 2u);
    struct Expect
    {
        std::string path;
        int vid, pid, kind, style, baud;
    } expected[] = {
        {DevPath(serial), 0x10C4, 0x1320, DEVICE_COM, 24, 57600},
        {DevPath(hid), 0x1314, 0x1001, DEVICE_HID, 24, 0},
    };
    for (size_t i = 0; i < 2; ++i)
    {
        const Handed& a = notify->m_Arrivals[i];
        EXPECT_EQ(a.path, expected[i].path);
        EXPECT_EQ(a.vid, expected[i].vid);
        EXPECT_EQ(a.pid, expected[i].pid);
        EXPECT_EQ(a.kind, expected[i].kind);
        EXPECT_EQ(a.style, expected[i].style);
        EXPECT_EQ(a.baud, expected[i].baud);
    }
}

TEST_F(NotifyTest, EnumerationStopsAtTheFirstBoardThatAttaches)
{
    bed.AddUsbBoard("1-1", "046d", "c52b");
    std::string first = bed.AddUsbBoard("1-2", "1314", "1001");
    bed.AddUsbBoard("1-3", "1314", "1001");

    std::unique_ptr<CArrivalNotify> notify(new CArrivalNotify());
    notify->InitSupportedDevices();
    notify->m_bResult = true;
    notify->Enumerate("usb");

    ASSERT_EQ(notify->m_Arrivals.size(), 1u);
    EXPECT_EQ(notify->m_Arrivals[0].path, DevPath(first));
}

TEST_F(NotifyTest, CameraEntryTakesOnlyTheVideoNodeOfAUsb20Camera)
{
    WriteSettings("<SupportedDevices><Device vid=\"1b3f\" pid=\"2002\" kind=\"3\" style=\"14\"/></SupportedDevices>\n");
    bed.AddCamera("2-1", "1b3f", "2002", "USB 2.0 Camera", "video0");
    bed.AddCamera("2-2", "1b3f", "2002", "HD Webcam", "video1");

    std::unique_ptr<CArrivalNotify> notify(new CArrivalNotify());
    notify->InitSupportedDevices();
    notify->Enumerate("usb");
    EXPECT_TRUE(notify->m_Arrivals.empty()) << "a USB interface has no path for a camera entry";

    notify->Enumerate("video4linux");
    ASSERT_EQ(notify->m_Arrivals.size(), 1u);
    EXPECT_EQ(notify->m_Arrivals[0].path, "/dev/video0");
    EXPECT_EQ(notify->m_Arrivals[0].kind, DEVICE_CAM);
    EXPECT_EQ(notify->m_Arrivals[0].style, 14);
}

TEST_F(NotifyTest, EventActionDecidesBetweenArrivalAndIgnoring)
{
    struct Case
    {
        const char* action;
        bool enumerating;
        bool attached;
        bool arrives;
    } cases[] = {
        {"add", false, false, true},
        {"change", false, false, false},
        {"change", true, false, true},
        {"add", false, true, false},
        {"change", true, true, false},
    };
    std::string iface = bed.AddUsbBoard("1-1", "1314", "1001");
    CUdevEventTap tap;
    for (const Case& c : cases)
    {
        std::unique_ptr<CArrivalNotify> notify(new CArrivalNotify());
        notify->InitSupportedDevices();
        notify->SetAttached(c.attached);
        bed.Uevent(iface, c.action);
        struct udev_device* dev = tap.Next();
        ASSERT_NE(dev, nullptr) << c.action;

        bool handled = notify->HandleDeviceEvent(dev, c.enumerating);
        udev_device_unref(dev);
        EXPECT_EQ(notify->m_Arrivals.size(), c.arrives ? 1u : 0u)
            << c.action << " enumerating=" << c.enumerating << " attached=" << c.attached;
        if (!c.arrives)
        {
            EXPECT_TRUE(handled) << "an ignored event ends an enumeration";
        }
    }
}

TEST_F(NotifyTest, OnlyUsbInterfacesAndVideoNodesAreConsidered)
{
    std::string iface = bed.AddUsbBoard("1-1", "1314", "1001");
    std::string usbDevice = iface.substr(0, iface.rfind('/'));
    CUdevEventTap tap;
    std::unique_ptr<CArrivalNotify> notify(new CArrivalNotify());
    notify->InitSupportedDevices();

    bed.Uevent(usbDevice, "add");
    struct udev_device* dev = tap.Next();
    ASSERT_NE(dev, nullptr);
    EXPECT_FALSE(notify->HandleDeviceEvent(dev, false));
    udev_device_unref(dev);
    EXPECT_TRUE(notify->m_Arrivals.empty());
}

struct BridgeCase
{
    const char* vid;
    const char* pid;
    const char* script;
    int kind;
    int baud;
};

void PrintTo(const BridgeCase& c, std::ostream* os) { *os << c.vid << ":" << c.pid; }

class IdentifiedBoardTest : public NotifyTest, public ::testing::WithParamInterface<BridgeCase>
{
};

TEST_P(IdentifiedBoardTest, IsHandedToTheApplication)
{
    const BridgeCase& c = GetParam();
    std::string iface = bed.AddUsbBoard("3-1", c.vid, c.pid);
    UseBoard(c.script);

    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    notify->InitSupportedDevices();
    testing::internal::CaptureStdout();
    notify->Enumerate("usb");
    std::string out = testing::internal::GetCapturedStdout();

    std::vector<Handed> starts = app.Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].style, 19);
    EXPECT_EQ(starts[0].kind, c.kind);
    EXPECT_EQ(starts[0].baud, c.baud);
    EXPECT_EQ(starts[0].path, DevPath(iface));
    EXPECT_TRUE(notify->IsAttached());
    EXPECT_GE(clock.SleptMs(), 500) << "the bridge settles before it is opened";
    EXPECT_NE(out.find("###########pDev = 0x"), std::string::npos) << out;
    if (c.kind == DEVICE_COM)
    {
        auto lastTermios = SimHook<int (*)(uint32_t*, int*)>("tavrin_sim_last_termios");
        ASSERT_NE(lastTermios, nullptr);
        uint32_t cflag = 0;
        int baud = 0;
        ASSERT_EQ(lastTermios(&cflag, &baud), 0);
        EXPECT_EQ(baud, 57600);
    }
}

INSTANTIATE_TEST_SUITE_P(Bridges, IdentifiedBoardTest,
                         ::testing::Values(BridgeCase{"1314", "1001", kHidBoard, DEVICE_HID, 0},
                                           BridgeCase{"10c4", "1320", kSerialBoard, DEVICE_COM, 57600}),
                         [](const ::testing::TestParamInfo<BridgeCase>& info) {
                             return info.param.kind == DEVICE_HID ? std::string("Hid") : std::string("Serial");
                         });

TEST_F(NotifyTest, BoardNotTakenOverIsReleasedAndTriedAgain)
{
    std::string iface = bed.AddUsbBoard("1-1", "1314", "1001");
    std::string twice = std::string(kHidBoard) + kHidBoard;
    UseBoard(twice.c_str());
    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    notify->InitSupportedDevices();

    app.m_bStartResult = false;
    testing::internal::CaptureStdout();
    notify->Enumerate("usb");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(app.Starts().size(), 1u);
    EXPECT_FALSE(notify->IsAttached());
    EXPECT_NE(out.find("[Server]close hid successfully!"), std::string::npos) << out;

    app.m_bStartResult = true;
    notify->Enumerate("usb");
    EXPECT_EQ(app.Starts().size(), 2u);
    EXPECT_TRUE(notify->IsAttached());
}

TEST_F(NotifyTest, BoardThatCannotBeOpenedStaysUnattached)
{
    bed.AddUsbBoard("1-1", "1314", "1001");  // no board script: every open fails
    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    notify->InitSupportedDevices();
    notify->Enumerate("usb");
    EXPECT_TRUE(app.Starts().empty());
    EXPECT_FALSE(notify->IsAttached());
}

TEST_F(NotifyTest, ReleaseKeepsTheServedBoardUnlessThePathMatches)
{
    std::string served = bed.AddUsbBoard("1-1", "1314", "1001");
    UseBoard(kHidBoard);
    std::unique_ptr<CTavrinNotifyLinux> notify(new CTavrinNotifyLinux());
    notify->InitSupportedDevices();
    notify->Enumerate("usb");
    ASSERT_TRUE(notify->IsAttached());

    std::string other = "/devices/1-2/1-2:1.0";
    std::string path = DevPath(served);
    DeviceDescriptor desc;
    desc.path = &other[0];
    EXPECT_FALSE(notify->OnDeviceRemoved(desc));
    EXPECT_TRUE(notify->IsAttached());

    desc.path = &path[0];
    EXPECT_TRUE(notify->OnDeviceRemoved(desc));
    EXPECT_FALSE(notify->IsAttached());
    EXPECT_EQ(app.Destroys(), (std::vector<std::string>{other, path}));
}

TEST_F(NotifyTest, MonitorThreadFollowsPlugAndUnplug)
{
    std::string first = bed.AddUsbBoard("1-1", "1314", "1001");
    std::string camera = bed.AddCamera("2-1", "1b3f", "2002", "USB 2.0 Camera", "video0");
    std::string script = std::string(kHidBoard) + kHidBoard + kHidBoard;
    UseBoard(script.c_str());

    CTavrinNotifyLinux* notify = new CTavrinNotifyLinux();
    ASSERT_EQ(notify->Create(), wxTHREAD_NO_ERROR);
    notify->InitSupportedDevices();
    ASSERT_EQ(notify->Run(), wxTHREAD_NO_ERROR);

    // Present at start: attached by the enumeration.
    ASSERT_TRUE(app.WaitFor(1, 0));
    EXPECT_EQ(app.Starts()[0].path, DevPath(first));

    // A second board is ignored; its removal reaches the application, which
    // keeps the first one.
    std::string second = bed.AddUsbBoard("1-2", "1314", "1001");
    bed.Uevent(second, "add");
    bed.Unplug(second);
    ASSERT_TRUE(app.WaitFor(1, 1));
    EXPECT_EQ(app.Starts().size(), 1u);
    EXPECT_EQ(app.Destroys()[0], DevPath(second));

    // Removing the served board frees the slot for the next one plugged in.
    bed.Unplug(first);
    ASSERT_TRUE(app.WaitFor(1, 2));
    EXPECT_EQ(app.Destroys()[1], DevPath(first));
    std::string third = bed.AddUsbBoard("1-3", "1314", "1001");
    bed.Uevent(third, "add");
    ASSERT_TRUE(app.WaitFor(2, 2));
    EXPECT_EQ(app.Starts()[1].path, DevPath(third));

    // The command server releases the board and rescans cameras from the
    // main thread while the monitor keeps reading events.
    std::string thirdPath = DevPath(third);
    DeviceDescriptor desc;
    desc.path = &thirdPath[0];
    EXPECT_TRUE(notify->OnDeviceRemoved(desc));
    for (int i = 0; i < 20; ++i)
    {
        bed.Uevent(camera, "change");
        notify->Enumerate("video4linux");
    }
    bed.Uevent(third, "add");
    ASSERT_TRUE(app.WaitFor(3, 3));
    EXPECT_EQ(app.Starts()[2].path, thirdPath);

    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(notify->StopAndWait(5000));
    auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(waited, std::chrono::milliseconds(500)) << "stopping does not wait for the select time-out";
}
// Tells the test when the detached thread has disposed of itself.
class CDisposalNotify : public CTavrinNotifyLinux
{
public:
    explicit CDisposalNotify(std::shared_ptr<std::promise<void>> pDone) : m_pDone(std::move(pDone)) {}
    ~CDisposalNotify() override { m_pDone->set_value(); }

private:
    // Shared: the thread may outlive a failed test.
    std::shared_ptr<std::promise<void>> m_pDone;
};

TEST_F(NotifyTest, DeleteEndsTheMonitorLoopWithinOneWait)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> disposed = done->get_future();
    CDisposalNotify* notify = new CDisposalNotify(done);
    ASSERT_EQ(notify->Create(), wxTHREAD_NO_ERROR);
    notify->InitSupportedDevices();
    ASSERT_EQ(notify->Run(), wxTHREAD_NO_ERROR);
    // Let it reach the monitor loop before asking it to end.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(notify->Delete(), wxTHREAD_NO_ERROR);
    EXPECT_EQ(disposed.wait_for(std::chrono::seconds(3)), std::future_status::ready);
}

// Tells the test which kernel thread runs the monitor.
class CTidNotify : public CTavrinNotifyLinux
{
public:
    std::atomic<long> nTid{0};

protected:
    ExitCode Entry() override
    {
        nTid = CurrentThreadTid();
        return CTavrinNotifyLinux::Entry();
    }
};

// The service ends its process right after StopAndWait: returning while the
// toolkit still tears the thread down crashed it at exit.
TEST_F(NotifyTest, StopAndWaitReturnsOnlyOnceTheThreadIsGone)
{
    for (int round = 0; round < 5; ++round)
    {
        CTidNotify* notify = new CTidNotify();
        ASSERT_EQ(notify->Create(), wxTHREAD_NO_ERROR);
        notify->InitSupportedDevices();
        ASSERT_EQ(notify->Run(), wxTHREAD_NO_ERROR);
        for (int i = 0; i < 500 && notify->nTid == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const long tid = notify->nTid;
        ASSERT_NE(0, tid);

        ASSERT_TRUE(notify->StopAndWait(5000));
        errno = 0;
        EXPECT_EQ(-1, syscall(SYS_tgkill, static_cast<long>(getpid()), tid, 0)) << "round " << round;
        EXPECT_EQ(ESRCH, errno) << "round " << round;
    }
}
}  // namespace
