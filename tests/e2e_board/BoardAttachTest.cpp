// Board attachment as the service does it: boards found in the udev tree at
// start-up and plugged in or out later, opened through the bridge library,
// identified, and served by one work thread at a time.
#include "E2eBoard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

using namespace tavrin_test;
using namespace std::chrono_literals;

namespace
{
struct AttachCase
{
    const char* name;
    const char* vid;
    const char* pid;
    const char* script;        // in tests/boards
    const char* typeLine;      // printed when the work thread starts
    const char* startCommand;  // the first write the board sees
    const char* announcement;  // datagram to the whiteboard application
};

void PrintTo(const AttachCase& c, std::ostream* os) { *os << c.name; }

class BoardPresentAtStart : public E2eBoardTest, public ::testing::WithParamInterface<AttachCase>
{
};

TEST_P(BoardPresentAtStart, IsIdentifiedAndServed)
{
    const AttachCase& c = GetParam();
    CDatagramInbox app;
    ASSERT_TRUE(app.IsOpen()) << "127.0.0.1:10000 is taken";
    std::string iface = bed.AddUsbBoard("1-1", c.vid, c.pid, "Touch Board");
    run.WriteSettings(E2eSettings(4981));
    StartService(ReadWholeFile(CServiceRun::SourceDir() + "/tests/boards/" + c.script));

    ASSERT_TRUE(run.WaitForOutput(c.typeLine)) << Output();
    ASSERT_TRUE(run.WaitForOutput("ggg:3\n")) << "the work thread's read loop did not start\n" << Output();
    std::string log = BoardLog();
    EXPECT_EQ(c.startCommand, log.substr(0, log.find('\n'))) << log;

    EXPECT_TRUE(app.WaitFor(c.announcement, 5s)) << "datagrams: " << ::testing::PrintToString(app.Received());
    std::string settings = run.ReadSettings();
    EXPECT_NE(std::string::npos, settings.find("path=\"" + DevPath(iface) + "\"")) << settings;
    EXPECT_NE(std::string::npos, settings.find("TYPE=\"TavrinWorkETPD\"")) << settings;
    EXPECT_EQ(1u, CountOf(Output(), "###########pDev = ")) << Output();
}

INSTANTIATE_TEST_SUITE_P(
    Bridges, BoardPresentAtStart,
    ::testing::Values(AttachCase{"HidHandBoard", "1314", "1001", "etp-hand.board", "type 19\n",
                                 "w 02 08 CE 00 00 00 00 00 00 00", "#VQ@Connect@StyleETP"},
                      AttachCase{"HidEtpdBoard", "1314", "1001", "etpd.board", "type 20\n",
                                 "w 02 08 CE 00 00 00 00 00 00 00", "#VQ@Connect@StyleETPD"},
                      AttachCase{"SerialHandBoard", "10c4", "1320", "etp-hand-serial.board", "type 19\n",
                                 "w CE 00 00 00 00 00 00 00", "#VQ@Connect@StyleETP"}),
    [](const ::testing::TestParamInfo<AttachCase>& info) { return std::string(info.param.name); });

// The service's netlink monitor exists once the preloaded libudev has bound
// its event socket in the testbed.
bool MonitorListening()
{
    const char* dir = getenv("UMOCKDEV_DIR");
    if (!dir)
        return false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().filename().string().rfind("event", 0) == 0)
            return true;
    return false;
}

TEST_F(E2eBoardTest, BoardPluggedInLaterIsServedAndASecondBoardIsIgnored)
{
    run.WriteSettings(E2eSettings(4981));
    StartService("expect 02 08 CE 00 00 00 00 00 00 00\n"
                 "packet 02 08 E5 55 00 00 00 00 00 00\n"
                 "await " + Step("touch") + "\n" +
                 HidPacketLine(0x81, kRawCols[0], kRawRows[2]) +
                 "await " + Step("lift") + "\n" +
                 HidPacketLine(0x83, kRawCols[0], kRawRows[2]));
    ASSERT_TRUE(run.WaitForOutput("port 4981\n")) << Output();
    ASSERT_TRUE(WaitUntil(MonitorListening, 10s)) << "the service never listened for udev events\n" << Output();
    EXPECT_EQ(std::string::npos, Output().find("###########pDev")) << "no board yet\n" << Output();

    std::string first = bed.AddUsbBoard("1-1", "1314", "1001");
    bed.Uevent(first, "add");
    ASSERT_TRUE(run.WaitForOutput("type 19\n")) << Output();
    ASSERT_TRUE(run.WaitForOutput("ggg:3\n")) << Output();

    // While one board is served, another one arriving is left alone, and its
    // removal does not touch the served one.
    std::string second = bed.AddUsbBoard("1-2", "1314", "1001");
    bed.Uevent(second, "add");
    bed.Unplug(second);
    // Nothing to wait for when nothing happens: the monitor handles an event
    // within milliseconds, so two seconds of silence is a clear answer.
    EXPECT_FALSE(run.WaitForOutput("CTavrinApp::DestoryWorkThread", 2s))
        << "removing the second board stopped the first one's work thread\n"
        << Output();
    EXPECT_EQ(1u, CountOf(Output(), "###########pDev = ")) << "the second board was opened\n" << Output();
    EXPECT_NE(std::string::npos, run.ReadSettings().find("path=\"" + DevPath(first) + "\""));

    // The first board still reaches the pointer.
    Go("touch");
    EXPECT_TRUE(PointerReaches(kScreenCols[0], kScreenRows[2], true));
    Go("lift");
    EXPECT_TRUE(PointerReaches(kScreenCols[0], kScreenRows[2], false));

    size_t mark = Output().size();
    bed.Unplug(first);
    EXPECT_TRUE(run.WaitForOutput("CTavrinApp::DestoryWorkThread\n", 10s, mark)) << Output();
    EXPECT_TRUE(run.WaitForOutput("[Server]close hid successfully!\n", 10s, mark)) << Output();
    EXPECT_TRUE(run.Process().Running());
}
}  // namespace
