// Status datagram words, command table and answer blocks, without sockets.
#include "IpcTestSupport.h"

#include "app/AppGlobals.h"
#include "ipc/CTavrinDriverIPC.h"
#include "ipc/CTavrinIPCSock.h"
#include "ipc/MyConnection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ipc_test::CRecordingServices;
using Commands = std::vector<std::pair<int, int>>;

namespace
{
// Keeps what would go on the wire instead of sending it.
class CCapturingSock : public CTavrinIPCSock
{
public:
    void SendRaw(const char* bytes, int length) override { m_Sent.emplace_back(bytes, length); }
    std::vector<std::string> m_Sent;
};

class IpcMessages : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_nDualPort = -1;
        g_bAppStarted = false;
        g_bInBoardFrame = false;
    }
    CRecordingServices m_Services;
    CCapturingSock m_Sock;
};

struct ParseCase
{
    const char* text;
    int index;
    int dualPort; // g_nDualPort afterwards
};

TEST_F(IpcMessages, ParseMessageRecognisesEachWordAndSurvivesShortTexts)
{
    const ParseCase cases[] = {
        {"#VQ@Start", 0, -1},
        {"#VQ@Close", 1, -1},
        {"#VQ@StartDualSplit 5000", 2, 5000},
        {"#VQ@StartDual 5000", 3, 5000},
        {"#VQ@StartDual:7000", 3, 7000},
        {"#VQ@StartDualSplit", 2, 0},
        {"#VQ@StartDual", 3, 0},
        {"#VQ@StartDual x", 3, 0},
        {"#VQ@ShutDownDual", 4, -1},
        {"#VQ@ShutDownDualx", 4, -1},
        {"#VQ@Earea", 6, -1},
        {"#VQ@Mouse", 7, -1},
        {"#VQ@Pen", 8, -1},
        {"#VQ@InBoardFrm", 9, -1},
        {"#VQ@NotInBoardFrm", 10, -1},
        // exact words must match exactly
        {"#VQ@Startx", -1, -1},
        {"#VQ@Pens", -1, -1},
        {"#VQ@", -1, -1},
        // without the tag a text counts as "Start"; character 0 is not looked at
        {"hello", 0, -1},
        {"#vq@Close", 0, -1},
        {"XVQ@Close", 1, -1},
        // texts of 0 to 3 characters
        {"", 0, -1},
        {"#", 0, -1},
        {"#V", 0, -1},
        {"#VQ", -1, -1},
    };
    for (const ParseCase& c : cases)
    {
        g_nDualPort = -1;
        EXPECT_EQ(m_Sock.ParseMessage(c.text), c.index) << '"' << c.text << '"';
        EXPECT_EQ(g_nDualPort.load(), c.dualPort) << '"' << c.text << '"';
    }
    EXPECT_TRUE(m_Services.Commands().empty());
}

struct WorkRectCase
{
    const char* text;
    int mid;
    const char* line;
};

TEST_F(IpcMessages, WorkRectSendsTheSplitPositionAndTreatsBadNumbersAsZero)
{
    const WorkRectCase cases[] = {
        {"#VQ@WorkRect 100,0,800,600", 500, "str=WorkRect 100,0,800,600  (100, 0, 800, 600) mid = 500\nhehe3\n"},
        {"#VQ@WorkRect 100,0,800", 500, "str=WorkRect 100,0,800  (100, 0, 800, 0) mid = 500\nhehe3\n"},
        {"#VQ@WorkRect -100,0,-801,5", -500, nullptr},
        {"#VQ@WorkRect abc,0,800,600", 0, "str=WorkRect abc,0,800,600  (0, 0, 0, 0) mid = 0\nhehe3\n"},
        {"#VQ@WorkRect 100,x,800,600", 100, "str=WorkRect 100,x,800,600  (100, 0, 0, 0) mid = 100\nhehe3\n"},
        {"#VQ@WorkRect", 0, "str=WorkRect  (0, 0, 0, 0) mid = 0\nhehe3\n"},
        {"#VQ@WorkRect 2147483647,0,2147483647,0", 2147483647, nullptr},
    };
    for (const WorkRectCase& c : cases)
    {
        m_Services.ClearCommands();
        testing::internal::CaptureStdout();
        int index = m_Sock.ParseMessage(c.text);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(index, 5) << c.text;
        EXPECT_EQ(m_Services.Commands(), (Commands{{11, c.mid}})) << c.text;
        if (c.line)
        {
            EXPECT_EQ(out, c.line);
        }
    }
}

TEST_F(IpcMessages, SendMessageBuildsTaggedWordsWithTheStyleName)
{
    struct Case
    {
        int style;
        unsigned index;
        const char* text;
    } cases[] = {
        {20, 1, "#VQ@Connect@StyleETPD"}, {19, 1, "#VQ@Connect@StyleETP"}, {0, 0, "#VQ@DisConnect@StyleET"},
        {-1, 0, "#VQ@DisConnect"},        {21, 1, "#VQ@Connect"},          {20, 4, "#VQ@IsStart"},
        {20, 2, "#VQ@EnableGuesture"},    {20, 3, "#VQ@DisableGuesture"},  {20, 5, "#VQ"},
        {-1, 1000, "#VQ"},
    };
    for (const Case& c : cases)
    {
        m_Sock.m_Sent.clear();
        m_Sock.SetStyle(c.style);
        EXPECT_EQ(m_Sock.SendMessage(c.index), 0);
        EXPECT_EQ(m_Sock.m_Sent, std::vector<std::string>{c.text}) << c.style << "/" << c.index;
    }

    const char* names[] = {"StyleET",   "StyleETD",   "StylePS",  "StylePSG", "StylePSD", "StylePSDG", "StyleIR",
                           "StyleIRG",  "StyleIRD",   "StyleIRDG", "StyleIRXG", "StyleIRXDG", "StyleIRQ", "StyleUI",
                           "StyleLT",   "StyleLTFD",  "StyleLTTD", "StyleDVT", "StyleOI",  "StyleETP",  "StyleETPD"};
    for (int s = 0; s <= 20; ++s)
    {
        m_Sock.m_Sent.clear();
        m_Sock.SetStyle(s);
        m_Sock.SendMessage(1);
        EXPECT_EQ(m_Sock.m_Sent, std::vector<std::string>{std::string("#VQ@Connect@") + names[s]});
    }
}

struct ReceiveCase
{
    const char* text;
    int style;
    std::vector<std::string> sent;
    Commands commands;
    bool appStarted;
    bool inBoardFrame;
    const char* printed;
};

TEST_F(IpcMessages, OnReceiveActsOnEachWord)
{
    const ReceiveCase cases[] = {
        {"#VQ@Start", 19, {"#VQ@Connect@StyleETP"}, {}, true, false, ""},
        {"#VQ@Start", -1, {"#VQ@DisConnect"}, {}, true, false, ""},
        {"plain text", 20, {"#VQ@Connect@StyleETPD"}, {}, true, false, ""},
        {"#VQ@Close", 20, {}, {{10, 0}}, false, false, ""},
        {"#VQ@StartDualSplit 5000", 20, {}, {{9, 5000}}, false, false, "hehe2\n"},
        {"#VQ@StartDual 7000", 20, {}, {{8, 7000}}, false, false, "hehe1\n"},
        {"#VQ@ShutDownDualx", 20, {}, {{10, 0}}, false, false, ""},
        {"#VQ@Startx", 20, {}, {}, false, false, ""},
        {"#VQ@Mouse", 20, {}, {}, false, false, ""},
        {"#VQ@InBoardFrm", 20, {}, {}, false, true, ""},
        {"#VQ", 20, {}, {}, false, false, ""},
    };
    for (const ReceiveCase& c : cases)
    {
        SetUp();
        m_Services.ClearCommands();
        m_Sock.m_Sent.clear();
        m_Sock.SetStyle(c.style);
        std::string text = c.text;
        testing::internal::CaptureStdout();
        m_Sock.OnReceive(&text[0]);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.text;
        EXPECT_EQ(m_Sock.m_Sent, c.sent) << c.text;
        EXPECT_EQ(m_Services.Commands(), c.commands) << c.text;
        EXPECT_EQ(g_bAppStarted.load(), c.appStarted) << c.text;
        EXPECT_EQ(g_bInBoardFrame.load(), c.inBoardFrame) << c.text;
    }
}

TEST_F(IpcMessages, OnReceiveClearsTheFlagsItOwns)
{
    g_bAppStarted = true;
    g_bInBoardFrame = true;
    char notIn[] = "#VQ@NotInBoardFrm";
    m_Sock.OnReceive(notIn);
    EXPECT_FALSE(g_bInBoardFrame);
    EXPECT_TRUE(g_bAppStarted);
    char close[] = "#VQ@Close";
    m_Sock.OnReceive(close);
    EXPECT_FALSE(g_bAppStarted);
    m_Sock.OnReceive(nullptr);
}

TEST(IpcCommandTable, StartAdviseMapsTopicAndItemToWorkCommands)
{
    struct Case
    {
        const char* topic;
        const char* item;
        int code;
        int value;
    } cases[] = {
        {"Orient", "3", 1, 3},      {"Orient", "x", 1, 0},          {"SideKey", "7", 2, 7},
        {"SideKey", "0", 3, 0},     {"SideKey", "-2", 3, 0},        {"SideKey", "abc", 3, 0},
        {"SideKey", "5abc", 2, 5},  {"PENSET", "anything", 4, 0},   {"SetSpeed", "12", 12, 12},
        {"DriversSet", "save", 5, 0}, {"DriversSet", "data", 6, 1}, {"DriversSet", "auto0", 7, 0},
        {"DriversSet", "auto1", 7, 1}, {"DriversSet", "auto2", 7, 2}, {"DriversSet", "auto3", 7, 3},
        {"DriversSet", "auto4", -1, 0}, {"DriversSet", "Save", -1, 0}, {"CAMVIEWER", "1", -1, 0},
        {"orient", "3", -1, 0},
    };
    for (const Case& c : cases)
    {
        IPCCommand cmd = StartAdviseCommand(c.topic, c.item);
        EXPECT_EQ(cmd.code, c.code) << c.topic << "/" << c.item;
        if (c.code >= 0)
        {
            EXPECT_EQ(cmd.value, c.value) << c.topic << "/" << c.item;
        }
    }
}

TEST(IpcCommandTable, StopAdviseEndsCalibrationAndDataReports)
{
    struct Case
    {
        const char* topic;
        const char* item;
        int code;
        int value;
    } cases[] = {
        {"Orient", "3", 0, 0},        {"SideKey", "x", 0, 0},     {"DriversSet", "data", 6, 0},
        {"DriversSet", "save", -1, 0}, {"PENSET", "1", -1, 0},     {"SetSpeed", "3", -1, 0},
    };
    for (const Case& c : cases)
    {
        IPCCommand cmd = StopAdviseCommand(c.topic, c.item);
        EXPECT_EQ(cmd.code, c.code) << c.topic << "/" << c.item;
        if (c.code >= 0)
        {
            EXPECT_EQ(cmd.value, c.value) << c.topic << "/" << c.item;
        }
    }
}

TEST(IpcAdviseBlock, KeepsAtMostThreeCharactersAndZeroFills)
{
    struct Case
    {
        const char* text;
        char block[4];
    } cases[] = {
        {"fin", {'f', 'i', 'n', 0}}, {"12345", {'1', '2', '3', 0}}, {"7", {'7', 0, 0, 0}},
        {"", {0, 0, 0, 0}},          {"abcd", {'a', 'b', 'c', 0}},
    };
    for (const Case& c : cases)
    {
        char block[4] = {'x', 'x', 'x', 'x'};
        CTavrinDriverIPC::MakeAdviseBlock(c.text, block);
        EXPECT_EQ(std::string(block, 4), std::string(c.block, 4)) << c.text;
    }
}
} // namespace
