#pragma once
// Fakes shared by the work-thread tests: a scripted board device, a pointer
// output that records its primitives, a mapping that passes raw points
// through, a clock that never sleeps, application services that record
// what reaches them, and a temporary installation directory.
#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "app/CClock.h"
#include "config/CConfigXML.h"
#include "conversion/CConversionBase.h"
#include "device/CDeviceBase.h"
#include "mouse/CMouseCtrlBase.h"
#include "sidekey/CSidekeyProcess.h"
#include "work/CTavrinWorkET.h"
#include "work/CTavrinWorkETPD.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace worktest
{
using Bytes = std::vector<unsigned char>;

// 8-byte board packet with its XOR checksum.
inline Bytes Pkt(unsigned char src, unsigned char code, unsigned char b3 = 0, unsigned char b4 = 0,
                 unsigned char b5 = 0, unsigned char b6 = 0, unsigned char b1 = 0)
{
    Bytes p = {src, b1, code, b3, b4, b5, b6, 0};
    for (int i = 0; i < 7; ++i)
        p[7] ^= p[i];
    return p;
}

// ETPD packet whose decoded raw point is (x, y) (1..16384).
inline Bytes EtpdAt(unsigned char src, unsigned char code, int x, int y)
{
    int vx = 16384 - x, vy = 16384 - y;
    return Pkt(src, code, (vx >> 7) & 0x7F, vx & 0x7F, (vy >> 7) & 0x7F, vy & 0x7F);
}

// ET packet whose decoded raw point is (x, y) (0..4095).
inline Bytes EtAt(unsigned char src, unsigned char code, int x, int y)
{
    return Pkt(src, code, (x >> 6) & 0x3F, x & 0x3F, (y >> 6) & 0x3F, y & 0x3F);
}

// One ordered log for everything the work thread makes happen outside
// itself, so tests can check the order across collaborators.
class CEventLog
{
public:
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Events.push_back(s);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        std::vector<std::string> v;
        v.swap(m_Events);
        return v;
    }
    std::vector<std::string> Peek()
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Events;
    }
    int Count(const std::string& s)
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return (int)std::count(m_Events.begin(), m_Events.end(), s);
    }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Events;
};

inline std::string Fmt(const char* name, int a, int b)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%s %d %d", name, a, b);
    return buf;
}

class CRecordingMouse : public CMouseCtrlBase
{
public:
    CRecordingMouse(const std::wstring& tag, CEventLog* log) : CMouseCtrlBase(tag), m_pLog(log) {}
    void LeftDown() override { m_pLog->Add("LeftDown"); }
    void RightDown() override { m_pLog->Add("RightDown"); }
    void LeftUp() override { m_pLog->Add("LeftUp"); }
    void RightUp() override { m_pLog->Add("RightUp"); }
    void MoveTo(int x, int y) override { m_pLog->Add(Fmt("MoveTo", x, y)); }

private:
    CEventLog* m_pLog;
};

// Maps raw (x, y) to screen (x / 2, y / 2), so a test sees that a point went
// through the mapping. Counts its Update calls.
class CHalfMapping : public CConversionBase
{
public:
    explicit CHalfMapping(const std::wstring& name) : CConversionBase(name, "coordinate")
    {
        SetScreenSize(1920, 1080);
    }
    void Update() override { ++m_nUpdates; }
    ScreenPoint RawToScreen(const double* raw) const override
    {
        return ScreenPoint{(int32_t)(raw[0] / 2), (int32_t)(raw[1] / 2)};
    }
    int m_nUpdates = 0;
};

// Read results in order; an empty script reads as a time-out (0 bytes).
struct ReadStep
{
    int result;  // bytes returned; a full packet copies `bytes`
    Bytes bytes;
};

class CFakeDevice : public CDeviceBase
{
public:
    explicit CFakeDevice(const DeviceDescriptor& d, CEventLog* log = nullptr) : CDeviceBase(d), m_pLog(log)
    {
        m_nTimeout = 500;
    }
    ~CFakeDevice() override
    {
        if (m_pDestroyed)
            *m_pDestroyed = true;
    }
    bool Open() override { return true; }
    bool Init() override { return true; }
    void Close() override
    {
        ++m_nClose;
        if (m_pLog)
            m_pLog->Add("dev Close");
    }
    int Read(unsigned char* buffer, int n) override
    {
        ReadStep step{0, {}};
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            ++m_nReads;
            if (!m_Script.empty())
            {
                step = m_Script.front();
                m_Script.pop_front();
            }
            else if (m_bRepeatLast && !m_Last.bytes.empty())
            {
                step = m_Last;
            }
            if (!step.bytes.empty())
                m_Last = step;
        }
        if (m_OnRead)
            m_OnRead(m_nReads);
        if (step.result > 0)
            memcpy(buffer, step.bytes.data(), std::min({(size_t)step.result, (size_t)n, step.bytes.size()}));
        return step.result;
    }
    int Write(const unsigned char*, int n) override { return n; }
    int SendStartCommand() override
    {
        ++m_nStart;
        if (m_pLog)
            m_pLog->Add("start");
        return 8;
    }

    void Push(const Bytes& p) { PushResult((int)p.size(), p); }
    void PushMiss(int result = 0) { PushResult(result, {}); }
    void PushResult(int result, const Bytes& b)
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Script.push_back(ReadStep{result, b});
    }
    size_t Pending()
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Script.size();
    }

    CEventLog* m_pLog;
    std::mutex m_Mutex;
    std::deque<ReadStep> m_Script;
    ReadStep m_Last{0, {}};
    bool m_bRepeatLast = false;
    std::atomic<int> m_nReads{0};
    std::atomic<int> m_nStart{0};
    std::atomic<int> m_nClose{0};
    bool* m_pDestroyed = nullptr;
    std::function<void(int)> m_OnRead;
};

class CFakeClock : public CClock
{
public:
    void SleepMs(int ms) override
    {
        m_nSleptMs += ms;
        m_nNow += ms;
        if (m_OnSleep)
            m_OnSleep(ms);
    }
    void SleepUs(int us) override { m_nNow += us / 1000; }
    int64_t NowMs() override { return m_nNow; }

    std::atomic<int64_t> m_nSleptMs{0};
    std::atomic<int64_t> m_nNow{1000000};
    std::function<void(int)> m_OnSleep;
};

class CRecordingServices : public CAppServices
{
public:
    explicit CRecordingServices(CEventLog* log) : m_pLog(log) {}
    void SetBoardConnected(bool b) override { m_pLog->Add(b ? "connected" : "lost"); }
    void PostAppRequest(int r) override { m_pLog->Add("post " + std::to_string(r)); }
    void SendDatagram(const char* bytes, int len) override { m_pLog->Add("dgram " + std::string(bytes, len)); }
    void AdviseCommandClient(const char* t) override { m_pLog->Add(std::string("advise ") + t); }
    void ReloadCalibration() override
    {
        m_pLog->Add("reload");
        // The application rebuilds the work thread's mapping at once.
        if (CTavrinWorkBase* w = m_pWork.load())
            w->ReloadConversion();
    }
    bool OpenDualChannel(int port) override
    {
        m_pLog->Add("open dual " + std::to_string(port));
        return true;
    }
    void CloseDualChannel() override { m_pLog->Add("close dual"); }
    void SendDualPoint(int kind, int x, int y) override
    {
        char buf[64];
        snprintf(buf, sizeof buf, "dual %d %d %d", kind, x, y);
        m_pLog->Add(buf);
    }
    void RightClickAtWorkPoint() override
    {
        m_pLog->Add("right click request");
        if (m_OnRightClick)
            m_OnRightClick();
        // Like the application: the work slot is locked around the call.
        std::unique_lock<std::recursive_mutex> lk;
        if (m_pSlotMutex)
            lk = std::unique_lock<std::recursive_mutex>(*m_pSlotMutex);
        if (CTavrinWorkBase* w = m_pWork.load())
            w->RightClickAtLastPoint();
    }

    CEventLog* m_pLog;
    std::atomic<CTavrinWorkBase*> m_pWork{nullptr};
    std::recursive_mutex* m_pSlotMutex = nullptr;
    std::function<void()> m_OnRightClick;
};

// The settings file every test starts from. Key centres: key k at
// (1000 + 100 k, 500), half-width 20, soft keys enabled. RC1 1 / RC2 0 make
// pointer moves land exactly on the mapped point.
inline std::string DefaultConfig(const std::string& etpanset = "<ETPANSET Is_Default=\"1\" FRONT=\"0\" BACK=\"0\"/>")
{
    std::ostringstream o;
    o << "<?xml version=\"1.0\"?>\n<Config>\n"
      << "  <Global>\n    <port num=\"4869\"/>\n    <Device path=\"\"/>\n    <CurrentRun TYPE=\"\"/>\n  </Global>\n"
      << "  <TavrinWorkETPD>\n"
      << "    <Flag Is_Had_Hand=\"0\" Enable_Soft_Sidekey=\"1\"/>\n"
      << "    <Constants LIMIT_COUNT=\"0\" LIMIT_MOVE=\"0\" RC1=\"1\" RC2=\"0\" SIDEKEY_POINT_SIZE=\"20\" "
         "ORIENT_RECV_DATA_SIZE=\"3\"/>\n"
      << "    " << etpanset << "\n"
      << "    <HOTKEY";
    for (int k = 0; k < 28; ++k)
        o << " key" << k << "=\"(" << 1000 + 100 * k << ".000000,500.000000)\"";
    o << "/>\n    <coordinate dotNum=\"0\"/>\n  </TavrinWorkETPD>\n</Config>\n";
    return o.str();
}

// Raw point at the centre of soft key k (see DefaultConfig).
inline int KeyX(int k) { return 1000 + 100 * k; }
constexpr int KEY_Y = 500;

// A work class whose helpers are recorders, with its insides reachable.
template <class Board>
class TWork : public Board
{
public:
    explicit TWork(CEventLog* log) : m_pLog(log) {}
    CMouseCtrlBase* CreatePointerOutput() override { return new CRecordingMouse(this->m_strName, m_pLog); }
    CConversionBase* CreateMapping() override { return new CHalfMapping(this->m_strName); }
    bool OnCommand(int command, int value) override
    {
        m_pLog->Add("cmd " + std::to_string(command));
        return Board::OnCommand(command, value);
    }

    void SetTag(const wchar_t* tag) { this->m_strName = tag; }
    void SetKeyFired(int v) { this->m_bKeyFired = v; }
    int KeyFired() const { return this->m_bKeyFired; }
    int KeyFired2() const { return this->m_bKeyFired2; }
    // Puts bytes into the packet buffer without dispatching them.
    void Load(const Bytes& p) { memcpy(this->m_pBuf, p.data(), std::min<size_t>(p.size(), this->m_nBufLen)); }
    bool Dispatch(const Bytes& p) { return this->HandleOnePacket(p.data()); }
    CHalfMapping* Mapping() const { return static_cast<CHalfMapping*>(this->m_pConversion); }

    CEventLog* m_pLog;
};

using TEtpd = TWork<CTavrinWorkETPD>;
using TEt = TWork<CTavrinWorkET>;

// Temporary installation directory with Config/config.xml as the working
// directory, a fake clock and recording services for every test.
class WorkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tavrin-work-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_strDir = tmpl;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_strOldCwd = cwd;
        ASSERT_EQ(0, chdir(m_strDir.c_str()));
        ASSERT_EQ(0, system("mkdir -p Config"));
        WriteConfig(DefaultConfig());
        SetClock(&m_Clock);
        SetAppServices(&m_Services);
        CConversionBase::OverrideScreenSize(1920, 1080);
        g_bAppStarted = false;
        g_bInBoardFrame = false;
        m_Desc.kind = DEVICE_HID;
        m_Desc.style = 20;
        m_Desc.path = m_Path;
    }
    void TearDown() override
    {
        m_Services.m_pWork = nullptr;
        SetAppServices(nullptr);
        SetClock(nullptr);
        CConversionBase::OverrideScreenSize(0, 0);
        g_bAppStarted = false;
        g_bInBoardFrame = false;
        if (chdir(m_strOldCwd.c_str()) != 0)
            ADD_FAILURE() << "cannot restore the working directory";
        std::string cmd = "rm -rf '" + m_strDir + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << m_strDir;
    }

    void WriteConfig(const std::string& text)
    {
        std::ofstream f("Config/config.xml");
        f << text;
    }
    std::string ReadAttr(const char* section, const char* key, const char* attr)
    {
        CConfigXML cfg;
        std::string v = "<missing>";
        if (cfg.Load(CONFIG_FILE))
            cfg.GetAttribute(section, key, attr, &v);
        cfg.Close();
        return v;
    }

    // A board class with a scripted device handed over, like StartWorkThread
    // does (minus Run).
    template <class W>
    std::unique_ptr<W> Make(bool hadHand = false)
    {
        auto w = std::make_unique<W>(&m_Log);
        m_pDev = new CFakeDevice(m_Desc, &m_Log);
        m_pDev->m_bIsHadHand = hadHand;
        EXPECT_TRUE(w->SetDevice(m_pDev));
        m_Services.m_pWork = w.get();
        m_Log.Take();
        return w;
    }

    char m_Path[32] = "/dev/hidraw7";
    DeviceDescriptor m_Desc;
    CEventLog m_Log;
    CFakeClock m_Clock;
    CRecordingServices m_Services{&m_Log};
    CFakeDevice* m_pDev = nullptr;  // owned by the work object
    std::string m_strDir;
    std::string m_strOldCwd;
};

inline std::vector<std::string> V(std::initializer_list<std::string> l) { return std::vector<std::string>(l); }
}  // namespace worktest
