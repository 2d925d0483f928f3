// A touch on the board, end to end: packets from the simulated board go
// through the service's work thread, calibration and pointer output, and the
// test reads back what the X server did with the pointer.
#include "E2eBoard.h"

#include <gtest/gtest.h>

using namespace tavrin_test;
using namespace std::chrono_literals;

namespace
{
const char* const kIdentifyAsEtp = "expect 02 08 CE 00 00 00 00 00 00 00\n"
                                   "packet 02 08 E5 55 00 00 00 00 00 00\n";

// Calibration grid points by column and row (see E2eSettings).
struct GridPoint
{
    int col, row;
    int RawX() const { return kRawCols[col]; }
    int RawY() const { return kRawRows[row]; }
    int X() const { return kScreenCols[col]; }
    int Y() const { return kScreenRows[row]; }
};
const GridPoint kTopLeft{0, 0};        // (40, 30)
const GridPoint kTopRight{2, 0};       // (983, 30)
const GridPoint kBottomLeft{0, 2};     // (40, 737)
const GridPoint kBottomRight{2, 2};    // (983, 737)
const GridPoint kTopMiddle{1, 0};      // (512, 30)
const GridPoint kMiddleRight{2, 1};    // (983, 384)

std::string Press(const GridPoint& p) { return HidPacketLine(0x81, p.RawX(), p.RawY()); }
std::string Release(const GridPoint& p) { return HidPacketLine(0x83, p.RawX(), p.RawY()); }

class TouchToPointer : public E2eBoardTest
{
protected:
    void StartWithBoard(const std::string& afterIdentification)
    {
        ASSERT_TRUE(inbox.IsOpen()) << "127.0.0.1:10000 is taken";
        served = bed.AddUsbBoard("1-1", "1314", "1001", "Touch Board");
        run.WriteSettings(E2eSettings(4981));
        StartService(kIdentifyAsEtp + afterIdentification);
        ASSERT_TRUE(run.WaitForOutput("type 19\n")) << Output();
        ASSERT_TRUE(run.WaitForOutput("ggg:3\n")) << Output();
    }
    std::string Await(const char* step) const { return "await " + Step(step) + "\n"; }

    CDatagramInbox inbox;
    std::string served;
};

TEST_F(TouchToPointer, PressMoveHoldAndReleaseDriveTheXPointer)
{
    std::string holdStill;
    for (int i = 0; i < 12; ++i)
        holdStill += Press(kTopRight);
    ASSERT_NO_FATAL_FAILURE(StartWithBoard(
        Await("press") + Press(kTopLeft) +
        Await("move1") + Press(kBottomRight) +
        Await("move2") + Press(kBottomRight) +
        Await("release") + Release(kBottomRight) +
        Await("hold") + Press(kTopRight) + holdStill +
        Await("lift") + Release(kTopRight) +
        Await("next") + Press(kBottomLeft) +
        Await("lift2") + Release(kBottomLeft)));

    Go("press");
    ASSERT_TRUE(PointerReaches(40, 30, true)) << "a press puts the pointer at the calibrated point, button 1 down";

    // Moves are smoothed as 0.75 * new + 0.25 * last, truncated.
    Go("move1");
    ASSERT_TRUE(PointerReaches(747, 560, true)) << "0.75*983 + 0.25*40, 0.75*737 + 0.25*30";
    Go("move2");
    ASSERT_TRUE(PointerReaches(924, 692, true)) << "0.75*983 + 0.25*747, 0.75*737 + 0.25*560";

    Go("release");
    ASSERT_TRUE(PointerReaches(924, 692, false)) << "the release lifts button 1 where the pointer is";
    EXPECT_EQ(0, pointer.PressCount(3));

    // Held still beyond LIMIT_COUNT reports: one right click, and button 1
    // stays up for the rest of the contact.
    Go("hold");
    ASSERT_TRUE(PointerReaches(kTopRight.X(), kTopRight.Y(), false)) << "the held contact did not lift button 1";
    Go("lift");
    Go("next");
    // The next contact shows that every packet of the held one was handled.
    ASSERT_TRUE(PointerReaches(kBottomLeft.X(), kBottomLeft.Y(), true));
    Go("lift2");
    ASSERT_TRUE(PointerReaches(kBottomLeft.X(), kBottomLeft.Y(), false));

    std::vector<CXPointerWatch::ButtonEvent> rights;
    for (const CXPointerWatch::ButtonEvent& e : pointer.Buttons())
        if (e.button == 3)
            rights.push_back(e);
    ASSERT_EQ(2u, rights.size()) << "exactly one right click for a held contact";
    EXPECT_TRUE(rights[0].press && !rights[1].press);
    EXPECT_EQ(kTopRight.X(), rights[0].x);
    EXPECT_EQ(kTopRight.Y(), rights[0].y);
    EXPECT_EQ(3, pointer.PressCount(1)) << "three contacts, one button-1 press each";
}

TEST_F(TouchToPointer, SilentBoardIsReportedLostThenReconnectsAndSurvivesReplugging)
{
    ASSERT_NO_FATAL_FAILURE(StartWithBoard(
        Await("press") + Press(kBottomLeft) + Release(kBottomLeft) +
        Await("reconnect") + Press(kTopMiddle) +
        Await("unplug") + "gone\n" +
        Await("replug") + "back\n" + kIdentifyAsEtp +
        Await("again") + Press(kMiddleRight) +
        Await("lift2") + Release(kMiddleRight)));
    ASSERT_TRUE(inbox.WaitFor("#VQ@Connect@StyleETP", 5s)) << ::testing::PrintToString(inbox.Received());

    Go("press");
    ASSERT_TRUE(PointerReaches(kBottomLeft.X(), kBottomLeft.Y(), false));
    ASSERT_EQ(1, pointer.PressCount(1));

    // Nine empty reads (500 ms each) after the last packet: the board is
    // reported lost, after the start command has been sent again meanwhile.
    size_t mark = Output().size();
    size_t sent = inbox.Received().size();
    ASSERT_TRUE(run.WaitForOutput("TIME_LIMIT\n", 10s, mark)) << Output();
    EXPECT_TRUE(inbox.WaitFor("#VQ@DisConnect@StyleETP", 2s, sent)) << ::testing::PrintToString(inbox.Received());
    EXPECT_LE(2u, CountOf(BoardLog(), "w 02 08 CE 00 00 00 00 00 00 00")) << BoardLog();

    // The next packet brings the board back: announced and drawn.
    sent = inbox.Received().size();
    Go("reconnect");
    ASSERT_TRUE(PointerReaches(kTopMiddle.X(), kTopMiddle.Y(), true));
    EXPECT_TRUE(inbox.WaitFor("#VQ@Connect@StyleETP", 2s, sent)) << ::testing::PrintToString(inbox.Received());

    // Pulled out mid-stroke: the work thread ends, the device is closed, and
    // button 1 does not stay held on the desktop.
    mark = Output().size();
    Go("unplug");
    bed.Unplug(served);
    ASSERT_TRUE(run.WaitForOutput("CTavrinApp::DestoryWorkThread\n", 10s, mark)) << Output();
    ASSERT_TRUE(run.WaitForOutput("[Server]close hid successfully!\n", 10s, mark)) << Output();
    EXPECT_TRUE(PointerReaches(kTopMiddle.X(), kTopMiddle.Y(), false)) << "button 1 left down by the pulled board";

    // Plugged in again (into another port): identified and served anew.
    Go("replug");
    served = bed.AddUsbBoard("1-3", "1314", "1001", "Touch Board");
    bed.Uevent(served, "add");
    ASSERT_TRUE(run.WaitForOutput("type 19\n", 10s, mark)) << Output();
    Go("again");
    EXPECT_TRUE(PointerReaches(kMiddleRight.X(), kMiddleRight.Y(), true));
    Go("lift2");
    EXPECT_TRUE(PointerReaches(kMiddleRight.X(), kMiddleRight.Y(), false));
    EXPECT_EQ(2u, CountOf(Output(), "type 19\n"));
}
}  // namespace
