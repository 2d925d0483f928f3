// Style table, factory, packet checks, coordinate decoding and packet types.
#include "WorkTestSupport.h"

#include <typeinfo>

using namespace worktest;

TEST(WorkBoardStyles, NamesCoverExactlyZeroToTwenty)
{
    EXPECT_STREQ("StyleET", BoardStyleName(0));
    EXPECT_STREQ("StyleETD", BoardStyleName(1));
    EXPECT_STREQ("StyleIRXDG", BoardStyleName(11));
    EXPECT_STREQ("StyleOI", BoardStyleName(18));
    EXPECT_STREQ("StyleETP", BoardStyleName(19));
    EXPECT_STREQ("StyleETPD", BoardStyleName(20));
    for (int s : {-1, 21, 22, 23, 24, 1000})
        EXPECT_EQ(nullptr, BoardStyleName(s)) << s;
}

class WorkFactoryTest : public WorkTest
{
};

TEST_F(WorkFactoryTest, StylesCreateTheirBoardClassOrNothing)
{
    // Styles whose board class is not part of this build yet create nothing,
    // like the styles that never had one.
    struct Case
    {
        int style;
        const char* cls;  // null: no thread
    };
    const Case cases[] = {
        {0, "ET"},    {1, "ETPD"},  {19, "ETPD"}, {20, "ETPD"}, {2, nullptr},  {3, nullptr},  {4, nullptr},
        {5, nullptr}, {6, nullptr}, {7, nullptr}, {8, nullptr}, {9, nullptr},  {10, nullptr}, {11, nullptr},
        {12, nullptr}, {13, nullptr}, {14, nullptr}, {15, nullptr}, {16, nullptr}, {17, nullptr}, {18, nullptr},
        {21, nullptr}, {22, nullptr}, {23, nullptr}, {24, nullptr}, {-1, nullptr},
    };
    for (const Case& c : cases)
    {
        std::unique_ptr<CTavrinWorkBase> w(CreateWorkThread(c.style));
        if (!c.cls)
        {
            EXPECT_EQ(nullptr, w.get()) << "style " << c.style;
            continue;
        }
        ASSERT_NE(nullptr, w.get()) << "style " << c.style;
        bool isEt = dynamic_cast<CTavrinWorkET*>(w.get()) != nullptr;
        EXPECT_EQ(std::string(c.cls) == "ET", isEt) << "style " << c.style;
        EXPECT_NE(nullptr, dynamic_cast<CTavrinWorkETPD*>(w.get())) << "style " << c.style;
        EXPECT_TRUE(w->GetName() == L"TavrinWorkETPD") << "style " << c.style;
        EXPECT_EQ(wxTHREAD_DETACHED, w->GetKind());
    }
}

class WorkDecodeTest : public WorkTest
{
};

struct DecodeCase
{
    const char* name;
    bool et;
    Bytes packet;
    bool passes;
    double rawX, rawY;
    int type;
};

TEST_F(WorkDecodeTest, PacketsDecodeToRawPointAndType)
{
    const DecodeCase cases[] = {
        {"ETPD press at the origin", false, {0xEE, 0x00, 0x81, 0x00, 0x00, 0x00, 0x00, 0x6F}, true, 16384, 16384, 0},
        {"ETPD far corner", false, Pkt(0xEE, 0x81, 0x7F, 0x7F, 0x7F, 0x7F), true, 1, 1, 0},
        {"ETPD bit 7 ignored", false, Pkt(0xEE, 0x81, 0xFF, 0xFF, 0xFF, 0xFF), true, 1, 1, 0},
        {"ETPD axes independent", false, Pkt(0xEE, 0x81, 0x01, 0x02, 0x00, 0x05), true, 16384 - 130, 16384 - 5, 0},
        {"ETPD byte 1 only in checksum", false, Pkt(0xEE, 0x81, 0, 0, 0, 0, 0x5A), true, 16384, 16384, 0},
        {"ETPD S press", false, Pkt(0xAA, 0x81), true, 16384, 16384, 1},
        {"ETPD T release", false, Pkt(0xEE, 0x83), true, 16384, 16384, 2},
        {"ETPD S release", false, Pkt(0xAA, 0x83), true, 16384, 16384, 3},
        {"ETPD front from T", false, Pkt(0xEE, 0x85), true, 16384, 16384, 4},
        {"ETPD front from S", false, Pkt(0xAA, 0x85), true, 16384, 16384, 4},
        {"ETPD back", false, Pkt(0xAA, 0x87), true, 16384, 16384, 5},
        {"ETPD ET press code is a hot key", false, Pkt(0xEE, 0x51), true, 16384, 16384, 10},
        {"ETPD hot key", false, Pkt(0xEE, 0xF8), true, 16384, 16384, 10},
        {"ETPD bad checksum", false, {0xEE, 0x00, 0x81, 0x00, 0x00, 0x00, 0x00, 0x6E}, false, 0, 0, 0},
        {"ETPD unknown source", false, Pkt(0x55, 0x81), false, 0, 0, 0},
        {"ET press", true, Pkt(0xEE, 0x51, 0x3F, 0x3F, 0x00, 0x01), true, 4095, 1, 0},
        {"ET press from S", true, Pkt(0xAA, 0x51), true, 0, 0, 0},
        {"ET bits 6 and 7 ignored", true, Pkt(0xEE, 0x51, 0xC1, 0xC2, 0x40, 0x83), true, 66, 3, 0},
        {"ET release", true, Pkt(0xAA, 0x61, 0x01, 0x00, 0x02, 0x00), true, 64, 128, 2},
        {"ET front", true, Pkt(0xEE, 0x85), true, 0, 0, 4},
        {"ET back", true, Pkt(0xEE, 0x87), true, 0, 0, 5},
        {"ET ETPD press code is a hot key", true, Pkt(0xEE, 0x81), true, 0, 0, 10},
        {"ET bad checksum", true, {0xEE, 0x00, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00}, false, 0, 0, 0},
    };
    auto etpd = Make<TEtpd>();
    auto et = Make<TEt>();
    for (const DecodeCase& c : cases)
    {
        CTavrinWorkETPD* w = c.et ? static_cast<CTavrinWorkETPD*>(et.get()) : etpd.get();
        if (c.et)
            et->Load(c.packet);
        else
            etpd->Load(c.packet);
        ASSERT_EQ(c.passes, w->CheckPacket()) << c.name;
        if (!c.passes)
            continue;
        ASSERT_TRUE(w->DecodePoint()) << c.name;
        EXPECT_EQ(c.rawX, w->GetRawX()) << c.name;
        EXPECT_EQ(c.rawY, w->GetRawY()) << c.name;
        EXPECT_EQ(c.type, w->GetPacketType()) << c.name;
    }
}

TEST_F(WorkDecodeTest, PacketFailingTheChecksumReachesNoHandler)
{
    auto w = Make<TEtpd>(true);
    Bytes bad = EtpdAt(0xEE, 0x81, 200, 200);
    bad[7] ^= 0x01;
    Bytes foreign = EtpdAt(0xEE, 0x81, 200, 200);
    foreign[0] = 0xEF;
    foreign[7] ^= 0xEE ^ 0xEF;  // checksum right, source wrong
    Bytes hotKey = Pkt(0xEE, 0xF8);
    hotKey[7] ^= 0x80;
    for (const Bytes& p : {bad, foreign, hotKey})
        EXPECT_FALSE(w->Dispatch(p));
    EXPECT_TRUE(m_Log.Take().empty());
    EXPECT_TRUE(w->GetSidekeyProcess()->GetPendingAction().empty());
}
