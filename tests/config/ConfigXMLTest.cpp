#include "config/CConfigXML.h"

#include "FakeClock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;

namespace
{
// In the printed form the store writes back, so an unchanged document saves
// to the same bytes.
const char* kSettings = R"XML(<?xml version="1.0"?>
<Config>
    <Global>
        <port num="5001"/>
        <Device path=""/>
    </Global>
    <TavrinWorkETPD>
        <Constants LIMIT_COUNT="5" RC1="0.5" BAD="abc"/>
        <coordinate dotNum="2" dot0="(3,4)" dot1="(1.5,2.25)"/>
        <HOTKEY key0="(7,8)" key1="(9,x)"/>
    </TavrinWorkETPD>
    <TavrinWorkETPD>
        <Later value="1"/>
    </TavrinWorkETPD>
</Config>
)XML";

class ConfigTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir.WriteFile("config.xml", kSettings);
        path = dir.Path() + "/config.xml";
        ASSERT_TRUE(cfg.Load(path.c_str()));
    }
    CTempDir dir;
    std::string path;
    CConfigXML cfg;
};

TEST_F(ConfigTest, GetIntAppliesDefaultOnlyWhenKeyIsMissing)
{
    struct Case
    {
        const char *section, *key, *attr;
        bool found;
        int expected;
    } cases[] = {
        {"Global", "port", "num", true, 5001},
        {"TavrinWorkETPD", "Constants", "LIMIT_COUNT", true, 5},
        {"TavrinWorkETPD", "Constants", "MISSING", true, -7},  // attribute missing: value untouched
        {"TavrinWorkETPD", "Constants", "BAD", true, -7},      // not a number: untouched
        {"Global", "nokey", "num", false, 4869},                // key missing: default
        {"NoSection", "port", "num", false, 4869},
        {"TavrinWorkETPD", "Later", "value", false, 4869},     // only the first section counts
        {"", "port", "num", false, 4869},
    };
    for (const Case& c : cases)
    {
        int v = -7;
        EXPECT_EQ(c.found, cfg.GetInt(c.section, c.key, c.attr, &v, 4869)) << c.section << "/" << c.key;
        EXPECT_EQ(c.expected, v) << c.section << "/" << c.key << "/" << c.attr;
    }
}

TEST_F(ConfigTest, SettersNeverCreateElements)
{
    EXPECT_FALSE(cfg.SetInt("Global", "nokey", "num", 1));
    EXPECT_FALSE(cfg.SetAttribute("NoSection", "port", "num", "1"));
    double pts[1][2] = {{1, 2}};
    EXPECT_FALSE(cfg.SetPointsD("TavrinWorkETPD", "nokey", "dot", 1, pts));
    EXPECT_FALSE(cfg.SetInt("TavrinWorkETPD", "Later", "value", 2));  // second section is not reached
    cfg.Save();
    EXPECT_EQ(kSettings, dir.ReadFile("config.xml")) << "failed setters must not change the file";

    // A new attribute on an existing key is fine.
    EXPECT_TRUE(cfg.SetInt("Global", "port", "extra", 3));
}

TEST_F(ConfigTest, PointFormatsBothWays)
{
    double d[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    ASSERT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "coordinate", "dot", 3, d));
    EXPECT_DOUBLE_EQ(3.0, d[0][0]);
    EXPECT_DOUBLE_EQ(4.0, d[0][1]);
    EXPECT_DOUBLE_EQ(1.5, d[1][0]);
    EXPECT_DOUBLE_EQ(2.25, d[1][1]);
    EXPECT_DOUBLE_EQ(-1, d[2][0]);  // missing attribute: untouched

    double k[2][2] = {{0, 0}, {-5, -5}};
    ASSERT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "HOTKEY", "key", 2, k));
    EXPECT_DOUBLE_EQ(9, k[1][0]);   // malformed: the numbers that convert, from the left
    EXPECT_DOUBLE_EQ(-5, k[1][1]);

    double none[1][2] = {{42, 42}};
    EXPECT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "coordinate", "dot", 0, none));
    EXPECT_DOUBLE_EQ(42, none[0][0]);

    const double w[2][2] = {{1.5, 2}, {512.25, 384}};
    ASSERT_TRUE(cfg.SetPointsD("TavrinWorkETPD", "coordinate", "dot", 2, w));
    ASSERT_TRUE(cfg.SetPoint("TavrinWorkETPD", "HOTKEY", "p", -3, 12));
    std::string text;
    ASSERT_TRUE(cfg.GetAttribute("TavrinWorkETPD", "coordinate", "dot0", &text));
    EXPECT_EQ("(1.500000,2.000000)", text);
    ASSERT_TRUE(cfg.GetAttribute("TavrinWorkETPD", "coordinate", "dot1", &text));
    EXPECT_EQ("(512.250000,384.000000)", text);
    int x = 0, y = 0;
    ASSERT_TRUE(cfg.GetPoint("TavrinWorkETPD", "HOTKEY", "p", &x, &y));
    EXPECT_EQ(-3, x);
    EXPECT_EQ(12, y);
}

TEST_F(ConfigTest, NumbersStayInCFormatUnderADecimalCommaLocale)
{
    if (!setlocale(LC_NUMERIC, "de_DE.UTF-8") && !setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    const double w[1][2] = {{1.5, 2}};
    ASSERT_TRUE(cfg.SetPointsD("TavrinWorkETPD", "coordinate", "dot", 1, w));
    double r[1][2] = {{0, 0}};
    ASSERT_TRUE(cfg.GetPointsD("TavrinWorkETPD", "coordinate", "dot", 1, r));
    setlocale(LC_NUMERIC, "C");
    std::string text;
    cfg.GetAttribute("TavrinWorkETPD", "coordinate", "dot0", &text);
    EXPECT_EQ("(1.500000,2.000000)", text);
    EXPECT_DOUBLE_EQ(1.5, r[0][0]);
}

TEST_F(ConfigTest, SaveWritesBackAndKeepsPermissions)
{
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(cfg.SetInt("Global", "port", "num", 4870));
    cfg.Save();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    CConfigXML again;
    ASSERT_TRUE(again.Load(path.c_str()));
    int v = 0;
    again.GetInt("Global", "port", "num", &v, 0);
    EXPECT_EQ(4870, v);
}

TEST_F(ConfigTest, ClosedOrUnloadedObjectFindsNothingAndSavesNothing)
{
    cfg.Close();
    int v = 1;
    EXPECT_FALSE(cfg.GetInt("Global", "port", "num", &v, 9));
    EXPECT_EQ(9, v);
    EXPECT_FALSE(cfg.SetInt("Global", "port", "num", 1));
    cfg.Save();
    EXPECT_EQ(kSettings, dir.ReadFile("config.xml"));
}

TEST(ConfigLoad, MissingOrBrokenFileFailsAfterRetriesAndSaveLeavesItAlone)
{
    CTempDir dir;
    dir.WriteFile("broken.xml", "<Config><Global>");
    for (const char* name : {"missing.xml", "broken.xml"})
    {
        CFakeClock clock;
        CConfigXML cfg;
        std::string p = dir.Path() + "/" + name;
        EXPECT_FALSE(cfg.Load(p.c_str())) << name;
        EXPECT_EQ(14 * 200, clock.SleptMs()) << "15 attempts, 200 ms apart";
        cfg.Save();
    }
    EXPECT_EQ("<Config><Global>", dir.ReadFile("broken.xml"));
    EXPECT_NE(0, access((dir.Path() + "/missing.xml").c_str(), F_OK));
}

TEST(ConfigLoad, MissingFileTakesAboutThreeSecondsOnTheRealClock)
{
    CTempDir dir;
    CConfigXML cfg;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(cfg.Load((dir.Path() + "/none.xml").c_str()));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2700);
    EXPECT_LT(ms, 6000);
}

// A writer killed at any moment leaves either the old or the new document,
// never a truncated one.
TEST(ConfigSave, KilledWriterNeverLeavesABrokenFile)
{
    CTempDir dir;
    std::string big = "<Config><Global><port num=\"1\"/></Global><Big>";
    for (int i = 0; i < 2000; ++i)
        big += "<k" + std::to_string(i) + " a=\"0123456789012345678901234567890123456789\"/>";
    big += "</Big></Config>";
    dir.WriteFile("config.xml", big);
    std::string path = dir.Path() + "/config.xml";

    for (int round = 0; round < 20; ++round)
    {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            for (int n = 2;; ++n)
            {
                CConfigXML cfg;
                if (!cfg.Load(path.c_str()))
                    _exit(3);
                cfg.SetInt("Global", "port", "num", n);
                cfg.Save();
            }
        }
        usleep(2000 + round * 1500);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own: " << status;

        tinyxml2::XMLDocument doc;
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.LoadFile(path.c_str())) << "round " << round;
        ASSERT_NE(nullptr, doc.RootElement()->FirstChildElement("Big")->FirstChildElement("k1999"));
    }
}
}  // namespace
