#include "conversion/COrientProcess.h"

#include "app/CAppServices.h"
#include "config/CConfigXML.h"

#include "FakeClock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tavrin_test::CChdir;
using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;

namespace
{
// Records the calls out of the calibration process. On every call it also
// checks from another thread that the process is not locked meanwhile (a
// locked process would deadlock against the main thread's Start).
class CRecordingServices : public CAppServices
{
public:
    ~CRecordingServices() override
    {
        for (auto& t : m_pending)
            t.join();
    }

    void AdviseCommandClient(const char* text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_advised.push_back(text);
        CheckUnlocked();
    }
    void ReloadCalibration() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_reloads;
        // The rebuilt mapping must find the new calibration in the file.
        CConfigXML cfg;
        int dotNum = -1;
        if (cfg.Load(CONFIG_FILE))
            cfg.GetInt(m_section.c_str(), "coordinate", "dotNum", &dotNum, -1);
        m_dotNumAtReload = dotNum;
        CheckUnlocked();
    }

    int Fins()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& s : m_advised)
            n += s == "fin" ? 1 : 0;
        EXPECT_EQ(n, static_cast<int>(m_advised.size())) << "only \"fin\" is ever advised";
        return n;
    }
    int Reloads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reloads;
    }

    COrientProcess* m_proc = nullptr;
    std::string m_section;
    int m_dotNumAtReload = -1;
    std::atomic<int> m_lockedDuringCall{0};

private:
    void CheckUnlocked()
    {
        if (!m_proc)
            return;
        // Shared with the thread, which may outlive this call when the
        // process is (wrongly) locked.
        auto done = std::make_shared<std::atomic<bool>>(false);
        COrientProcess* proc = m_proc;
        std::thread t([proc, done] {
            proc->GetPointIndex();
            *done = true;
        });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!*done && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!*done)
            ++m_lockedDuringCall;
        // The caller releases its lock after we return, so the thread ends then.
        m_pending.push_back(std::move(t));
    }

    std::mutex m_mutex;
    std::vector<std::string> m_advised;
    int m_reloads = 0;
    std::vector<std::thread> m_pending;
};

const char* kBoard =
    "  <%s>\n"
    "    <Constants LIMIT_COUNT=\"100\" ORIENT_RECV_DATA_SIZE=\"%s\"/>\n"
    "    <HOTKEY/>\n"
    "    <coordinate dotNum=\"0\"/>\n"
    "  </%s>\n";

std::string Board(const std::string& name, const std::string& size)
{
    char buf[512];
    snprintf(buf, sizeof buf, kBoard, name.c_str(), size.c_str(), name.c_str());
    return buf;
}

class OrientProcess : public testing::Test
{
protected:
    void SetUp() override
    {
        WriteConfig(Board("TavrinWorkETPD", "20") + Board("TavrinWorkIR", "20"));
        SetAppServices(&m_services);
    }
    void TearDown() override { SetAppServices(nullptr); }

    void WriteConfig(const std::string& boards)
    {
        m_dir.WriteFile("Config/config.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n" + boards +
                                                 "</Config>\n");
    }
    std::string Config() const { return m_dir.ReadFile("Config/config.xml"); }

    void Watch(COrientProcess& p, const std::string& section)
    {
        m_services.m_proc = &p;
        m_services.m_section = section;
    }

    // One contact of `samples` samples at (x, y); returns how many of them
    // answered true. The contact then ends.
    int Contact(COrientProcess& p, int samples, int x, int y)
    {
        int done = 0;
        for (int i = 0; i < samples; ++i)
            done += p.AddSample(x, y) ? 1 : 0;
        p.ResetPoint();
        return done;
    }

    CFakeClock m_clock;
    CTempDir m_dir;
    CChdir m_cd{m_dir.Path()};
    CRecordingServices m_services;
};
}  // namespace

// A point needs skip + size samples and is taken by the one after them.
TEST_F(OrientProcess, PointIsTakenByTheSampleAfterSkipAndSize)
{
    const struct
    {
        const wchar_t* name;
        int skip;
        int completing;
    } cases[] = {
        {L"TavrinWorkETPD", 8, 29},
        {L"TavrinWorkIR", 12, 33},
    };
    for (const auto& tc : cases)
    {
        COrientProcess p(tc.name);
        p.Start(2, 1);
        EXPECT_EQ(p.GetSkip(), tc.skip);
        EXPECT_EQ(p.GetSampleSize(), 20);
        const int finsBefore = m_services.Fins();

        // Too short a contact gives nothing, and its samples do not count later.
        EXPECT_EQ(Contact(p, tc.completing - 1, 100, 100), 0);
        EXPECT_EQ(p.GetPointIndex(), 0);
        EXPECT_EQ(m_services.Fins(), finsBefore);

        for (int i = 1; i < tc.completing; ++i)
            ASSERT_FALSE(p.AddSample(100, 100)) << i;
        EXPECT_FALSE(p.AddSample(100, 100));
        EXPECT_EQ(p.GetPointIndex(), 1);
        EXPECT_EQ(m_services.Fins(), finsBefore + 1);

        // The rest of that contact is ignored.
        for (int i = 0; i < 50; ++i)
            EXPECT_FALSE(p.AddSample(100, 100));
        EXPECT_EQ(p.GetPointIndex(), 1);
        EXPECT_EQ(m_services.Fins(), finsBefore + 1);
        p.ResetPoint();
    }
}

TEST_F(OrientProcess, PointIsTheTrimmedMeanOfEachAxis)
{
    WriteConfig(Board("TavrinWorkETPD", "5"));
    COrientProcess p(L"TavrinWorkETPD");
    p.Start(4, 1);
    ASSERT_EQ(p.GetSampleSize(), 5);
    const int xs[] = {10, 12, 11, 50, 9};
    const int ys[] = {7, 100, 3, 5, 6};
    for (int i = 0; i < 8; ++i)
        p.AddSample(-1000, -1000);  // settling, dropped
    for (int i = 0; i < 5; ++i)
        p.AddSample(xs[i], ys[i]);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(p.AddSample(99999, 99999));  // completes the point, not averaged
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(11, 6 )\n");
    double x = 0, y = 0;
    ASSERT_TRUE(p.GetPoint(0, &x, &y));
    EXPECT_DOUBLE_EQ(x, 11.0);
    EXPECT_DOUBLE_EQ(y, 6.0);
}

// Raw values of some boards reach 2^24; their sums must not overflow.
TEST_F(OrientProcess, LargeRawValuesAverageWithoutOverflow)
{
    WriteConfig(Board("TavrinWorkIR", "200"));
    COrientProcess p(L"TavrinWorkIR");
    p.Start(4, 1);
    ASSERT_EQ(p.GetSampleSize(), 200);
    EXPECT_EQ(Contact(p, 12 + 200 + 1, 16000000, 16777215), 0);
    double x = 0, y = 0;
    ASSERT_TRUE(p.GetPoint(0, &x, &y));
    EXPECT_DOUBLE_EQ(x, 16000000.0);
    EXPECT_DOUBLE_EQ(y, 16777215.0);
}

TEST_F(OrientProcess, CalibrationIsStoredOnlyAfterTheLastPoint)
{
    COrientProcess p(L"TavrinWorkETPD");
    Watch(p, "TavrinWorkETPD");
    p.Start(4, 1);
    const std::string untouched = Config();
    const int pts[4][2] = {{800, 650}, {810, 3400}, {3600, 655}, {3610, 3390}};
    for (int k = 0; k < 3; ++k)
    {
        EXPECT_EQ(Contact(p, 29, pts[k][0], pts[k][1]), 0);
        EXPECT_EQ(m_services.Fins(), k + 1);
        EXPECT_EQ(Config(), untouched) << "written before the last point";
    }
    EXPECT_EQ(m_services.Reloads(), 0);

    for (int i = 0; i < 28; ++i)
        ASSERT_FALSE(p.AddSample(pts[3][0], pts[3][1]));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(p.AddSample(pts[3][0], pts[3][1]));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "(3610, 3390 )\n(800, 650)\n(810, 3400)\n(3600, 655)\n(3610, 3390)\n");
    EXPECT_EQ(m_services.Fins(), 4);
    EXPECT_EQ(m_services.Reloads(), 1);
    EXPECT_EQ(m_services.m_dotNumAtReload, 4) << "mapping rebuilt before the file was written";
    EXPECT_EQ(m_services.m_lockedDuringCall.load(), 0) << "application called with the process locked";

    CConfigXML cfg;
    ASSERT_TRUE(cfg.Load(CONFIG_FILE));
    int dotNum = 0;
    cfg.GetInt("TavrinWorkETPD", "coordinate", "dotNum", &dotNum, 0);
    EXPECT_EQ(dotNum, 4);
    double stored[4][2] = {};
    ASSERT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "coordinate", "dot", 4, stored));
    for (int k = 0; k < 4; ++k)
    {
        EXPECT_DOUBLE_EQ(stored[k][0], pts[k][0]);
        EXPECT_DOUBLE_EQ(stored[k][1], pts[k][1]);
    }
    std::string dot;
    ASSERT_TRUE(cfg.GetAttribute("TavrinWorkETPD", "coordinate", "dot1", &dot));
    EXPECT_EQ(dot, "(810.000000,3400.000000)");
    cfg.Close();

    // Finished: nothing more until the next Start.
    EXPECT_EQ(Contact(p, 100, 1, 1), 0);
    EXPECT_EQ(m_services.Fins(), 4);
    EXPECT_EQ(m_services.Reloads(), 1);
}

TEST_F(OrientProcess, SecondStartRestartsWithTheNewCountAndMode)
{
    COrientProcess p(L"TavrinWorkETPD");
    p.Start(9, 1);
    EXPECT_EQ(Contact(p, 29, 10, 10), 0);
    EXPECT_EQ(Contact(p, 29, 20, 20), 0);
    for (int i = 0; i < 15; ++i)
        p.AddSample(30, 30);  // in the middle of the third point
    ASSERT_EQ(p.GetPointIndex(), 2);

    p.Start(4, 2);
    EXPECT_EQ(p.GetPointIndex(), 0);
    EXPECT_EQ(p.GetPointCount(), 4);
    EXPECT_EQ(p.GetMode(), 2);
    // The half-collected contact does not carry over: a full one is needed.
    for (int i = 0; i < 28; ++i)
        EXPECT_FALSE(p.AddSample(30, 30));
    EXPECT_EQ(p.GetPointIndex(), 0);
    EXPECT_FALSE(p.AddSample(30, 30));
    EXPECT_EQ(p.GetPointIndex(), 1);
    double x = 0, y = 0;
    ASSERT_TRUE(p.GetPoint(1, &x, &y));
    EXPECT_EQ(x, 0.0) << "points of the dropped collection were cleared";
}

TEST_F(OrientProcess, SoftKeysGoToHotkeyAndLeaveTheCalibrationAlone)
{
    COrientProcess p(L"TavrinWorkETPD");
    p.Start(28, 2);
    int done = 0;
    for (int k = 0; k < 28; ++k)
        done += Contact(p, 29, 100 + k, 200 + k);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(m_services.Fins(), 28);
    EXPECT_EQ(m_services.Reloads(), 1);

    CConfigXML cfg;
    ASSERT_TRUE(cfg.Load(CONFIG_FILE));
    double keys[28][2] = {};
    ASSERT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "HOTKEY", "key", 28, keys));
    for (int k = 0; k < 28; ++k)
    {
        EXPECT_DOUBLE_EQ(keys[k][0], 100 + k);
        EXPECT_DOUBLE_EQ(keys[k][1], 200 + k);
    }
    std::string text;
    EXPECT_FALSE(cfg.GetAttribute("TavrinWorkETPD", "HOTKEY", "key28", &text));
    EXPECT_FALSE(cfg.GetAttribute("TavrinWorkETPD", "coordinate", "dot0", &text));
    int dotNum = -1;
    cfg.GetInt("TavrinWorkETPD", "coordinate", "dotNum", &dotNum, -1);
    EXPECT_EQ(dotNum, 0);
    cfg.Close();
}

// A calibration with a count the mapping has no grid for would replace the
// stored calibration by none; it is not stored (the points are still taken).
TEST_F(OrientProcess, CalibrationOfNoGridShapeIsNotStored)
{
    WriteConfig(Board("TavrinWorkETPD", "20"));
    {
        CConfigXML cfg;
        ASSERT_TRUE(cfg.Load(CONFIG_FILE));
        const double old[4][2] = {{1, 2}, {3, 4}, {5, 6}, {7, 8}};
        cfg.SetInt("TavrinWorkETPD", "coordinate", "dotNum", 4);
        cfg.SetPointsD("TavrinWorkETPD", "coordinate", "dot", 4, old);
        cfg.Save();
        cfg.Close();
    }
    const std::string before = Config();
    COrientProcess p(L"TavrinWorkETPD");
    p.Start(6, 1);
    int done = 0;
    for (int k = 0; k < 6; ++k)
        done += Contact(p, 29, 10, 10);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(m_services.Fins(), 6);
    EXPECT_EQ(Config(), before);
}

// Settings outside the sample table, and point counts beyond the point
// table, are held to the limits instead of overrunning them.
TEST_F(OrientProcess, SampleSizeAndPointCountAreClamped)
{
    const struct
    {
        const char* size;  // nullptr: no Constants element
        int count;
        int expectSize;
        int expectCount;
        bool logs;
    } cases[] = {
        {"20", 4, 20, 4, false}, {"3", 4, 3, 4, false},   {"200", 4, 200, 4, false},
        {"0", 4, 3, 4, true},    {"2", 4, 3, 4, true},    {"-7", 4, 3, 4, true},
        {"500", 4, 200, 4, true}, {nullptr, 4, 3, 4, true}, {"20", 30, 20, 30, false},
        {"20", 31, 20, 30, true}, {"20", -2, 20, 0, true},
    };
    for (const auto& tc : cases)
    {
        if (tc.size)
            WriteConfig(Board("TavrinWorkPS", tc.size));
        else
            WriteConfig("<TavrinWorkPS><HOTKEY/><coordinate dotNum=\"0\"/></TavrinWorkPS>\n");
        COrientProcess p(L"TavrinWorkPS");
        testing::internal::CaptureStdout();
        p.Start(tc.count, 2);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string label = std::string(tc.size ? tc.size : "missing") + "/" + std::to_string(tc.count);
        EXPECT_EQ(p.GetSampleSize(), tc.expectSize) << label;
        EXPECT_EQ(p.GetPointCount(), tc.expectCount) << label;
        EXPECT_EQ(!out.empty(), tc.logs) << label << ": " << out;

        // Every point of the clamped collection can be taken.
        int done = 0;
        for (int k = 0; k < tc.expectCount; ++k)
            done += Contact(p, 8 + tc.expectSize + 1, k, k);
        EXPECT_EQ(p.GetPointIndex(), tc.expectCount) << label;
        EXPECT_EQ(done, tc.expectCount > 0 ? 1 : 0) << label;
        EXPECT_EQ(Contact(p, 300, 1, 1), 0) << label;
    }
}

// Start on the main thread while the work thread feeds samples.
TEST_F(OrientProcess, StartRacesWithSamplesSafely)
{
    WriteConfig(Board("TavrinWorkETPD", "3"));
    COrientProcess p(L"TavrinWorkETPD");
    p.Start(25, 1);
    std::atomic<bool> stop{false};
    std::thread work([&] {
        int i = 0;
        while (!stop)
        {
            p.AddSample(i % 1000, i % 777);
            if (++i % 13 == 0)
                p.ResetPoint();
        }
    });
    for (int i = 0; i < 200; ++i)
    {
        p.Start(4 + i % 20, 1 + i % 2);
        const int index = p.GetPointIndex();
        const int count = p.GetPointCount();
        EXPECT_GE(index, 0);
        EXPECT_LE(index, 30);
        EXPECT_LE(count, 30);
    }
    stop = true;
    work.join();
}
