#include "device/CDeviceBase.h"
#include "device/CDeviceCom.h"
#include "device/CDeviceHid.h"

#include "FakeClock.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

using tavrin_test::CFakeClock;

namespace
{
const unsigned char START[8] = {0xCE, 0, 0, 0, 0, 0, 0, 0};

// One answer of the board: what Read returns and the bytes it delivers.
struct Answer
{
    int result;
    std::array<unsigned char, 8> bytes;
};

Answer Packet(unsigned char header, unsigned char model)
{
    return {8, {header, model, 0, 0, 0, 0, 0, 0}};
}

// A board that answers from a list. When the list is used up it keeps silent
// (each read costs the read time-out on the clock) or, with `m_bChatter`,
// keeps answering garbage at once.
class CFakeBoard : public CDeviceBase
{
public:
    explicit CFakeBoard(int style) : CDeviceBase(MakeDesc(style)) {}

    static DeviceDescriptor MakeDesc(int style)
    {
        DeviceDescriptor d;
        d.style = style;
        return d;
    }

    bool Open() override { return true; }
    bool Init() override { return m_bInit = true; }
    void Close() override {}
    int Read(unsigned char* buffer, int n) override
    {
        ++m_nReads;
        if (m_Answers.empty())
        {
            if (m_bChatter)
            {
                memset(buffer, 0x11, n);
                return n;
            }
            Clock().SleepMs(m_nTimeout);
            return 0;
        }
        Answer a = m_Answers.front();
        m_Answers.pop_front();
        if (a.result > 0)
            memcpy(buffer, a.bytes.data(), std::min<int>(a.result, n));
        return a.result;
    }
    int Write(const unsigned char* bytes, int n) override
    {
        if (n == 8 && memcmp(bytes, START, 8) == 0)
            ++m_nStarts;
        return n;
    }

    std::deque<Answer> m_Answers;
    bool m_bChatter = false;
    int m_nStarts = 0;
    int m_nReads = 0;
};

struct IdentifyCase
{
    const char* name;
    int style;
    std::vector<Answer> answers;
    bool ok;
    int styleAfter;
    bool hand;
    int starts;
};

// Keeps the case's name, not its bytes, in test listings and failures.
void PrintTo(const IdentifyCase& c, std::ostream* os) { *os << c.name; }

class IdentifyTable : public ::testing::TestWithParam<IdentifyCase>
{
};

TEST_P(IdentifyTable, RefinesPlaceholderStyles)
{
    const IdentifyCase& c = GetParam();
    CFakeClock clock;
    CFakeBoard board(c.style);
    board.m_bIsHadHand = true;  // must be replaced, not kept
    board.m_Answers.assign(c.answers.begin(), c.answers.end());

    testing::internal::CaptureStdout();
    bool ok = board.Identify();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(board.m_Desc.style, c.styleAfter);
    if (c.ok)
    {
        EXPECT_EQ(board.m_bIsHadHand, c.hand);
    }
    EXPECT_EQ(board.m_nStarts, c.starts);
    EXPECT_TRUE(board.m_Answers.empty()) << "answers left over";
    EXPECT_EQ(out.find("quit") != std::string::npos, !c.ok) << out;
}

const IdentifyCase kIdentifyCases[] = {
    {"EtpHand", 24, {Packet(0xE5, 0x55)}, true, 19, true, 1},
    {"EtpNoHand", 24, {Packet(0xEC, 0x5F)}, true, 19, false, 1},
    {"Etpd", 24, {Packet(0xC8, 0xAF)}, true, 20, false, 1},
    {"EtpdHand", 24, {Packet(0xE6, 0xA5)}, true, 20, true, 1},
    {"OtherModelStays24", 24, {Packet(0xE5, 0xEF)}, true, 24, false, 1},
    {"Class2On22", 22, {Packet(0xC8, 0xCC)}, true, 2, true, 1},
    {"Class0On22", 22, {Packet(0xEA, 0xDA)}, true, 0, false, 1},
    {"Class0On23", 23, {Packet(0xE9, 0xED)}, true, 1, true, 1},
    {"Class2On23", 23, {Packet(0xC8, 0xDD)}, true, 4, false, 1},
    {"FinalStyleNotAsked", 14, {}, true, 14, false, 0},
    {"ReadErrorQuits", 24, {{-1, {}}}, false, 24, false, 1},
    {"NoiseThenAnswer", 24,
     {{4, {0xE5, 0x55}}, {0, {}}, Packet(0x12, 0x55), Packet(0xE5, 0x01), Packet(0xE5, 0x55)},
     true, 19, true, 5},
    // The header already changed 22 into 0; the next answer's class-2 header
    // no longer applies.
    {"HeaderChangeSticks", 22, {Packet(0xE5, 0x01), Packet(0xC8, 0xCC)}, true, 0, true, 2},
};

INSTANTIATE_TEST_SUITE_P(Answers, IdentifyTable, ::testing::ValuesIn(kIdentifyCases),
                         [](const ::testing::TestParamInfo<IdentifyCase>& i) { return i.param.name; });

TEST(Identify, SilentBoardGivesUpInBoundedTime)
{
    CFakeClock clock;
    const int64_t t0 = clock.NowMs();
    CFakeBoard board(24);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(board.Identify());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("giving up"), std::string::npos) << out;
    EXPECT_EQ(out.find("quit"), std::string::npos) << out;
    EXPECT_EQ(board.m_Desc.style, 24);
    EXPECT_GE(board.m_nStarts, 2);  // it did keep asking for a while
    EXPECT_LE(clock.NowMs() - t0, 10000);
}

TEST(Identify, ChatteringBoardGivesUpEvenIfTheClockStands)
{
    CFakeClock clock;
    CFakeBoard board(23);
    board.m_bChatter = true;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(board.Identify());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("giving up"), std::string::npos) << out;
    EXPECT_EQ(board.m_Desc.style, 23);
}

TEST(DeviceBase, IsSameDeviceComparesThePathOnly)
{
    char pathA[] = "/sys/devices/pci0000:00/usb1/1-1/1-1:1.0";
    char pathA2[] = "/sys/devices/pci0000:00/usb1/1-1/1-1:1.0";
    char pathB[] = "/sys/devices/pci0000:00/usb1/1-2/1-2:1.0";
    DeviceDescriptor mine{0x1001, 0x1314, DEVICE_HID, 0, pathA, 19};
    CDeviceHid dev(mine);

    struct
    {
        DeviceDescriptor other;
        bool same;
    } cases[] = {
        {{0x1001, 0x1314, DEVICE_HID, 0, pathA2, 19}, true},
        {{0x1320, 0x10C4, DEVICE_COM, 57600, pathA2, 24}, true},
        {{0x1001, 0x1314, DEVICE_HID, 0, pathB, 19}, false},
        {{0x1001, 0x1314, DEVICE_HID, 0, nullptr, 19}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dev.IsSameDevice(c.other), c.same) << (c.other.path ? c.other.path : "(null)");

    DeviceDescriptor noPath{0x1001, 0x1314, DEVICE_HID, 0, nullptr, 19};
    CDeviceHid unnamed(noPath);
    EXPECT_FALSE(unnamed.IsSameDevice(noPath));
}

TEST(DeviceBase, CreateDeviceByKindAndOwnPathCopy)
{
    char path[] = "/sys/devices/usb1/1-1/1-1:1.0";
    struct
    {
        int kind;
        bool hid;
        bool com;
    } cases[] = {{DEVICE_HID, true, false}, {DEVICE_COM, false, true}, {DEVICE_CAM, false, false},
                 {0, false, false}, {7, false, false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.kind);
        DeviceDescriptor d{0x1001, 0x1314, c.kind, 57600, path, 24};
        CDeviceBase* dev = CreateDevice(d);
        EXPECT_EQ(dynamic_cast<CDeviceHid*>(dev) != nullptr, c.hid);
        EXPECT_EQ(dynamic_cast<CDeviceCom*>(dev) != nullptr, c.com);
        if (!dev)
            continue;
        EXPECT_NE(dev->m_Desc.path, path);
        EXPECT_STREQ(dev->m_Desc.path, path);
        EXPECT_FALSE(dev->m_bIsHadHand);
        EXPECT_FALSE(dev->m_bInit);
        EXPECT_EQ(dev->m_nTimeout, 500);
        EXPECT_EQ(dev->m_Desc.baud, 57600);
        EXPECT_EQ(dev->m_Desc.style, 24);
        delete dev;
    }
}

TEST(DeviceBase, BaseRawWriteIsRefused)
{
    CFakeBoard board(24);
    unsigned char buf[8] = {0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(board.WriteRaw(buf, 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "base.........\n");
    EXPECT_EQ(board.ReadRaw(buf, 8), -1);
}
}  // namespace
