#include "bridge/Cp210xHid.h"
#include "bridge/sim/SimHooks.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using tavrin_test::CTempDir;
using Bytes = std::vector<unsigned char>;

namespace
{
int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class SimBridgeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TAVRIN_SIM_LOG", (m_dir.Path() + "/sim.log").c_str(), 1);
        setenv("TAVRIN_SIM_EXPECT_MS", "300", 1);
        unsetenv("TAVRIN_SIM_CFLAG");
        tavrin_sim_reset();
    }

    void TearDown() override
    {
        tavrin_sim_reset();
        unsetenv("TAVRIN_SIM_SCRIPT");
        unsetenv("TAVRIN_SIM_LOG");
        unsetenv("TAVRIN_SIM_EXPECT_MS");
        unsetenv("TAVRIN_SIM_CFLAG");
    }

    void UseScript(const std::string& text)
    {
        m_dir.WriteFile("board.script", text);
        setenv("TAVRIN_SIM_SCRIPT", (m_dir.Path() + "/board.script").c_str(), 1);
        tavrin_sim_reset();
    }

    hid_device* OpenHid()
    {
        hid_device* h = hid_open(0x1314, 0x1001, nullptr);
        EXPECT_NE(h, nullptr);
        return h;
    }

    std::vector<std::string> LogLines()
    {
        std::vector<std::string> lines;
        std::istringstream in(tavrin_test::ReadWholeFile(m_dir.Path() + "/sim.log"));
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    // Reads with a short time-out; returns the bytes, or an empty vector
    // with *result set to what the read returned.
    Bytes ReadHid(hid_device* h, size_t len, int ms, int* result = nullptr)
    {
        unsigned char buf[64] = {0};
        int r = hid_read_timeout(h, buf, len, ms);
        if (result)
            *result = r;
        return r > 0 ? Bytes(buf, buf + r) : Bytes();
    }

    CTempDir m_dir;
};

TEST_F(SimBridgeTest, OpensFailWithoutAReadableScript)
{
    unsetenv("TAVRIN_SIM_SCRIPT");
    tavrin_sim_reset();
    EXPECT_EQ(hid_open(0x1314, 0x1001, nullptr), nullptr);
    EXPECT_EQ(cp210x_open(0x10C4, 0x1320, 0), nullptr);

    setenv("TAVRIN_SIM_SCRIPT", (m_dir.Path() + "/missing.script").c_str(), 1);
    tavrin_sim_reset();
    EXPECT_EQ(hid_open(0x1314, 0x1001, nullptr), nullptr);
    EXPECT_EQ(cp210x_open(0x10C4, 0x1320, 0), nullptr);
}

TEST_F(SimBridgeTest, ExpectHoldsReadsUntilTheBytesAreWritten)
{
    UseScript("expect 01 02   # trailing comment\n"
              "packet aa bb\n");
    hid_device* h = OpenHid();
    int r = -9;
    EXPECT_TRUE(ReadHid(h, 8, 30, &r).empty());
    EXPECT_EQ(r, 0);

    const unsigned char other[] = {0x01, 0x03};
    EXPECT_EQ(hid_write(h, other, 2), 2);
    EXPECT_TRUE(ReadHid(h, 8, 30, &r).empty());
    EXPECT_EQ(r, 0);

    const unsigned char wanted[] = {0x01, 0x02};
    EXPECT_EQ(hid_write(h, wanted, 2), 2);
    EXPECT_EQ(ReadHid(h, 8, 30), (Bytes{0xAA, 0xBB}));
    hid_close(h);

    EXPECT_EQ(LogLines(), (std::vector<std::string>{"w 01 03", "w 01 02", "r AA BB"}));
}

// A write matches an expect line exactly, or, for HID only, with two
// report-header bytes in front of the line's bytes.
TEST_F(SimBridgeTest, ExpectMatchingOfReportHeaders)
{
    struct Case
    {
        const char* expect;
        bool hid;
        Bytes written;
        bool matches;
    } cases[] = {
        {"02 08 CE 00", true, {0x02, 0x08, 0xCE, 0x00}, true},
        {"CE 00", true, {0x02, 0x08, 0xCE, 0x00}, true},
        {"CE 00", true, {0xCE, 0x00}, true},
        {"CE 00", false, {0x02, 0x08, 0xCE, 0x00}, false},
        {"CE 00", false, {0xCE, 0x00}, true},
        {"CE 00", true, {0x02, 0xCE, 0x00}, false},
        {"CE 00", true, {0xCE, 0x00, 0x00}, false},
    };
    setenv("TAVRIN_SIM_EXPECT_MS", "5000", 1);  // outlasts the serial read's wait
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.expect) + (c.hid ? " hid" : " serial"));
        UseScript(std::string("expect ") + c.expect + "\npacket 55\n");
        unsigned char buf[4] = {0};
        int r;
        if (c.hid)
        {
            hid_device* h = OpenHid();
            hid_write(h, c.written.data(), c.written.size());
            r = hid_read_timeout(h, buf, sizeof buf, 20);
            hid_close(h);
        }
        else
        {
            cp210x_device* d = cp210x_open(0, 0, 0);
            ASSERT_NE(d, nullptr);
            cp210x_write(d, c.written.data(), c.written.size());
            // A matching write makes the packet readable at once; otherwise
            // the serial read waits its full 500 ms.
            r = cp210x_read(d, buf, 1);
            cp210x_close(d);
        }
        EXPECT_EQ(r, c.matches ? 1 : 0);
    }
}

TEST_F(SimBridgeTest, ExpectGivesUpAfterItsTimeOut)
{
    UseScript("expect 01\npacket 02\n");  // expect time-out is 300 ms here
    hid_device* h = OpenHid();
    int r;
    EXPECT_TRUE(ReadHid(h, 8, 50, &r).empty());
    EXPECT_EQ(r, 0);

    int64_t t0 = NowMs();
    EXPECT_EQ(ReadHid(h, 8, 2000), Bytes{0x02});
    EXPECT_LT(NowMs() - t0, 1000);  // returned when the expect gave up, not after 2 s
    hid_close(h);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"expect timeout", "r 02"}));
}

TEST_F(SimBridgeTest, PacketIsCutToTheRequestedLength)
{
    UseScript("packet 01 02 03 04\npacket 05\n");
    hid_device* h = OpenHid();
    EXPECT_EQ(ReadHid(h, 2, 20), (Bytes{0x01, 0x02}));
    EXPECT_EQ(ReadHid(h, 8, 20), Bytes{0x05});  // the cut-off rest is dropped
    hid_close(h);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"r 01 02", "r 05"}));
}

TEST_F(SimBridgeTest, WaitDelaysThePacketAndAReadReturnsWhenItIsDue)
{
    UseScript("packet 01\nwait 300\npacket 02\n");
    hid_device* h = OpenHid();
    EXPECT_EQ(ReadHid(h, 8, 20), Bytes{0x01});
    int64_t t0 = NowMs();
    int r;
    EXPECT_TRUE(ReadHid(h, 8, 50, &r).empty());
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ReadHid(h, 8, 5000), Bytes{0x02});
    int64_t took = NowMs() - t0;
    EXPECT_GE(took, 280);
    EXPECT_LT(took, 1500);
    hid_close(h);
}

TEST_F(SimBridgeTest, GoneFailsReadsAndWritesUntilBack)
{
    UseScript("packet 01\ngone\nwait 200\nback\npacket 07\n");
    hid_device* h = OpenHid();
    EXPECT_EQ(ReadHid(h, 8, 20), Bytes{0x01});
    int r;
    ReadHid(h, 8, 20, &r);
    EXPECT_EQ(r, -1);
    const unsigned char cmd[] = {0xCE, 0x00};
    EXPECT_EQ(hid_write(h, cmd, 2), -1);

    cp210x_device* d = cp210x_open(0, 0, 0);  // opening still works while away
    ASSERT_NE(d, nullptr);
    unsigned char buf[8];
    EXPECT_EQ(cp210x_read(d, buf, 8), -1);
    EXPECT_EQ(cp210x_write(d, cmd, 2), -1);
    cp210x_close(d);

    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(ReadHid(h, 8, 500), Bytes{0x07});
    hid_close(h);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"r 01", "w CE 00", "w CE 00", "r 07"}));
}

TEST_F(SimBridgeTest, AwaitHoldsReadsUntilTheFileExists)
{
    const std::string flag = m_dir.Path() + "/go";
    UseScript("await " + flag + "\npacket 09\n");
    hid_device* h = OpenHid();
    int r;
    EXPECT_TRUE(ReadHid(h, 8, 60, &r).empty());
    EXPECT_EQ(r, 0);

    std::thread creator([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_dir.WriteFile("go", "");
    });
    int64_t t0 = NowMs();
    EXPECT_EQ(ReadHid(h, 8, 3000), Bytes{0x09});
    EXPECT_LT(NowMs() - t0, 1500);
    creator.join();
    hid_close(h);
}

TEST_F(SimBridgeTest, EndOfScriptTimesOutAfterTheReadTimeOut)
{
    UseScript("# an idle board\n\n");
    hid_device* h = OpenHid();
    int64_t t0 = NowMs();
    int r;
    ReadHid(h, 8, 100, &r);
    EXPECT_EQ(r, 0);
    EXPECT_GE(NowMs() - t0, 95);

    cp210x_device* d = cp210x_open(0, 0, 0);
    ASSERT_NE(d, nullptr);
    unsigned char buf[8];
    t0 = NowMs();
    EXPECT_EQ(cp210x_read(d, buf, 8), 0);
    int64_t took = NowMs() - t0;
    EXPECT_GE(took, 490);
    EXPECT_LT(took, 1500);
    cp210x_close(d);
    hid_close(h);
}

TEST_F(SimBridgeTest, ReopeningContinuesTheScript)
{
    UseScript("packet 01\npacket 02\n");
    hid_device* h = OpenHid();
    EXPECT_EQ(ReadHid(h, 8, 20), Bytes{0x01});
    hid_close(h);

    cp210x_device* d = cp210x_open(0x10C4, 0x1320, 0);
    ASSERT_NE(d, nullptr);
    unsigned char buf[8] = {0};
    EXPECT_EQ(cp210x_read(d, buf, 8), 1);
    EXPECT_EQ(buf[0], 0x02);
    cp210x_close(d);
}

TEST_F(SimBridgeTest, BadLinesAreSkipped)
{
    UseScript("bogus 12\npacket ZZ\npacket 123\nwait soon\ngone now\npacket 0x4f\n");
    hid_device* h = OpenHid();
    EXPECT_EQ(ReadHid(h, 8, 20), Bytes{0x4F});
    hid_close(h);
}

TEST_F(SimBridgeTest, TermiosWordIsKeptAndRecorded)
{
    setenv("TAVRIN_SIM_CFLAG", "FFFFFFFF", 1);
    UseScript("");
    cp210x_device* d = cp210x_open(0, 0, 0);
    ASSERT_NE(d, nullptr);
    uint32_t word = 0;
    int baud = 0;
    EXPECT_EQ(tavrin_sim_last_termios(&word, &baud), -1);
    EXPECT_EQ(cp210x_get_termios(d, &word), 0);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    EXPECT_EQ(cp210x_set_termios(d, 0x8B0, 57600), 0);
    EXPECT_EQ(tavrin_sim_last_termios(&word, &baud), 0);
    EXPECT_EQ(word, 0x8B0u);
    EXPECT_EQ(baud, 57600);
    EXPECT_EQ(cp210x_get_termios(d, &word), 0);
    EXPECT_EQ(word, 0x8B0u);
    cp210x_close(d);
}

TEST_F(SimBridgeTest, NullHandlesAreErrors)
{
    unsigned char buf[4] = {0};
    uint32_t word;
    EXPECT_EQ(hid_read_timeout(nullptr, buf, 4, 10), -1);
    EXPECT_EQ(hid_write(nullptr, buf, 4), -1);
    EXPECT_EQ(cp210x_read(nullptr, buf, 4), -1);
    EXPECT_EQ(cp210x_write(nullptr, buf, 4), -1);
    EXPECT_EQ(cp210x_get_termios(nullptr, &word), -1);
    hid_close(nullptr);
    cp210x_close(nullptr);
}
}  // namespace
