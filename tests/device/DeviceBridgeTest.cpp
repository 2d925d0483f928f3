// The board devices against the simulated bridge library (the test runs
// with the simulation first in LD_LIBRARY_PATH).
#include "device/CDeviceCom.h"
#include "device/CDeviceHid.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using tavrin_test::CTempDir;

namespace
{
using ResetFn = void (*)();
using LastTermiosFn = int (*)(uint32_t*, int*);

DeviceDescriptor Desc(int kind, int style)
{
    DeviceDescriptor d;
    d.kind = kind;
    d.vid = kind == DEVICE_HID ? 0x1314 : 0x10C4;
    d.pid = kind == DEVICE_HID ? 0x1001 : 0x1320;
    d.baud = kind == DEVICE_COM ? 57600 : 0;
    d.style = style;
    return d;
}

class DeviceBridgeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_reset = reinterpret_cast<ResetFn>(dlsym(RTLD_DEFAULT, "tavrin_sim_reset"));
        m_lastTermios = reinterpret_cast<LastTermiosFn>(dlsym(RTLD_DEFAULT, "tavrin_sim_last_termios"));
        ASSERT_TRUE(m_reset && m_lastTermios)
            << "not running against the simulated bridge (LD_LIBRARY_PATH=<build>/sim)";
        setenv("TAVRIN_SIM_LOG", (m_dir.Path() + "/sim.log").c_str(), 1);
        setenv("TAVRIN_SIM_EXPECT_MS", "300", 1);
        unsetenv("TAVRIN_SIM_CFLAG");
        UseScript("");
    }

    void TearDown() override
    {
        if (m_reset)
            m_reset();
        unsetenv("TAVRIN_SIM_SCRIPT");
        unsetenv("TAVRIN_SIM_LOG");
        unsetenv("TAVRIN_SIM_EXPECT_MS");
        unsetenv("TAVRIN_SIM_CFLAG");
    }

    void UseScript(const std::string& text)
    {
        m_dir.WriteFile("board.script", text);
        UseScriptFile(m_dir.Path() + "/board.script");
    }

    void UseScriptFile(const std::string& path)
    {
        setenv("TAVRIN_SIM_SCRIPT", path.c_str(), 1);
        m_reset();
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

    // Open and Close print; keep that out of the test output (gtest reports
    // failures on standard output too, so assertions stay outside captures).
    std::unique_ptr<CDeviceBase> OpenInit(int kind, int style)
    {
        std::unique_ptr<CDeviceBase> dev(CreateDevice(Desc(kind, style)));
        testing::internal::CaptureStdout();
        bool opened = dev && dev->Open();
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(opened);
        if (dev)
        {
            EXPECT_TRUE(dev->Init());
        }
        return dev;
    }

    static void CloseQuietly(CDeviceBase* dev)
    {
        testing::internal::CaptureStdout();
        dev->Close();
        testing::internal::GetCapturedStdout();
    }

    CTempDir m_dir;
    ResetFn m_reset = nullptr;
    LastTermiosFn m_lastTermios = nullptr;
};

TEST_F(DeviceBridgeTest, HidReportHeaderFollowsTheStyleAtInit)
{
    struct
    {
        int style;
        const char* logged;
    } cases[] = {
        {0, "w 02 08 CE 00 00 00 00 00 00 00"},  {1, "w 02 08 CE 00 00 00 00 00 00 00"},
        {22, "w 02 08 CE 00 00 00 00 00 00 00"}, {24, "w 02 08 CE 00 00 00 00 00 00 00"},
        {6, "w 02 10 CE 00 00 00 00 00 00 00"},  {7, "w 02 10 CE 00 00 00 00 00 00 00"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.style);
        auto dev = OpenInit(DEVICE_HID, c.style);
        EXPECT_EQ(dev->SendStartCommand(), 8);
        CloseQuietly(dev.get());
        EXPECT_EQ(LogLines().back(), c.logged);
    }
}

TEST_F(DeviceBridgeTest, HidFramedReads)
{
    UseScript("packet 02 08 11 22 33 44 55 66 77 88\n"
              "packet 02 08 11 22\n"  // short report
              "gone\n");
    auto dev = OpenInit(DEVICE_HID, 24);
    unsigned char buf[8];

    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(dev->Read(buf, 8), 8);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8),
              (std::vector<unsigned char>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));

    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(dev->Read(buf, 8), 4);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8), std::vector<unsigned char>(8, 0xAA));

    EXPECT_EQ(dev->Read(buf, 8), -1);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8), std::vector<unsigned char>(8, 0xAA));
    // A failed library write (-1) comes back less the two header bytes.
    EXPECT_EQ(dev->SendStartCommand(), -3);
    CloseQuietly(dev.get());
}

TEST_F(DeviceBridgeTest, HidReadTimesOutLeavingTheBufferAlone)
{
    auto dev = OpenInit(DEVICE_HID, 24);
    unsigned char buf[8];
    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(dev->Read(buf, 8), 0);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8), std::vector<unsigned char>(8, 0xAA));
    CloseQuietly(dev.get());
}

TEST_F(DeviceBridgeTest, HidPayloadIsLimitedTo48Bytes)
{
    UseScript("packet 02 30 01 02 03\n");
    auto dev = OpenInit(DEVICE_HID, 24);
    std::vector<unsigned char> big(64, 0x5A);
    EXPECT_EQ(dev->Write(big.data(), 49), -1);
    EXPECT_EQ(dev->Write(big.data(), 48), 48);
    EXPECT_EQ(dev->Read(big.data(), 49), -1);  // refused before any read
    EXPECT_EQ(dev->Read(big.data(), 48), 5);   // the scripted (short) report was still there
    CloseQuietly(dev.get());

    std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].size(), std::string("w").size() + 50 * 3);
    EXPECT_EQ(log[0].substr(0, 11), "w 02 08 5A ");
}

TEST_F(DeviceBridgeTest, HidRawCallsSkipTheFraming)
{
    UseScript("packet 02 08 E5 55\n");
    auto dev = OpenInit(DEVICE_HID, 24);
    const unsigned char out[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(dev->WriteRaw(out, 3), 3);
    unsigned char in[8] = {0};
    EXPECT_EQ(dev->ReadRaw(in, 8), 4);
    EXPECT_EQ(in[0], 0x02);
    EXPECT_EQ(in[3], 0x55);
    CloseQuietly(dev.get());
    EXPECT_EQ(LogLines().front(), "w 01 02 03");
}

TEST_F(DeviceBridgeTest, HidOpenAndClosePrintTheirLines)
{
    std::unique_ptr<CDeviceBase> dev(CreateDevice(Desc(DEVICE_HID, 24)));
    testing::internal::CaptureStdout();
    bool opened = dev->Open();
    dev->Close();
    dev->Close();  // no handle any more: nothing to print
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(opened);
    EXPECT_EQ(out, "in Open CDeviceHid::Open()\nout Open CDeviceHid::Open()\n"
                   "[Server]close hid successfully!\n");

    unsetenv("TAVRIN_SIM_SCRIPT");
    m_reset();
    std::unique_ptr<CDeviceBase> absent(CreateDevice(Desc(DEVICE_HID, 24)));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // the toolkit's error log
    opened = absent->Open();
    out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(opened);
    EXPECT_EQ(out, "in Open CDeviceHid::Open()\nout Open CDeviceHid::Open()\n");
    EXPECT_NE(err.find("open hid device failed!"), std::string::npos) << err;
}

TEST_F(DeviceBridgeTest, ComOpenFailsQuietly)
{
    unsetenv("TAVRIN_SIM_SCRIPT");
    m_reset();
    std::unique_ptr<CDeviceBase> dev(CreateDevice(Desc(DEVICE_COM, 24)));
    testing::internal::CaptureStdout();
    bool opened = dev->Open();
    dev->Close();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(opened);
    EXPECT_EQ(out, "");
}

// Reads and writes need both a handle and Init; Close takes Init back.
TEST_F(DeviceBridgeTest, ReadWriteRefusedUntilInitAndAfterClose)
{
    unsigned char buf[8] = {0};
    for (int kind : {DEVICE_HID, DEVICE_COM})
    {
        SCOPED_TRACE(kind);
        const bool com = kind == DEVICE_COM;
        const std::string refused = com ? "[Server]can not read:com not open or init\n"
                                          "[Server]can not write:com not open or init\n"
                                        : "";
        std::unique_ptr<CDeviceBase> dev(CreateDevice(Desc(kind, 24)));

        int r[3];
        auto tryIo = [&](bool raw) {
            testing::internal::CaptureStdout();
            r[0] = dev->Read(buf, 8);
            r[1] = dev->Write(buf, 8);
            r[2] = raw ? dev->ReadRaw(buf, 8) : -1;
            return testing::internal::GetCapturedStdout();
        };

        EXPECT_EQ(tryIo(false), refused);  // not even open
        EXPECT_EQ(r[0], com ? -2 : -1);
        EXPECT_EQ(r[1], -1);

        testing::internal::CaptureStdout();
        bool opened = dev->Open();
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(opened);
        EXPECT_EQ(tryIo(true), refused);  // open, not initialised
        EXPECT_EQ(r[0], com ? -2 : -1);
        EXPECT_EQ(r[1], -1);
        EXPECT_EQ(r[2], -1);

        dev->Init();
        testing::internal::CaptureStdout();
        dev->Close();
        std::string closed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(closed, com ? "[Server].........com closed!\n" : "[Server]close hid successfully!\n");
        EXPECT_FALSE(dev->m_bInit);
        EXPECT_EQ(tryIo(false), refused);
        EXPECT_EQ(r[0], com ? -2 : -1);
        EXPECT_EQ(r[1], -1);
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(DeviceBridgeTest, ComLineSetUpWord)
{
    struct
    {
        const char* current;
        uint32_t applied;
    } cases[] = {
        {"FFFFFFFF", 0x7FFFFCBF},  // only size, stop, read, parity, local, RTS/CTS change
        {"80000F4D", 0x00000CBD},  // RTS/CTS, two stop bits, odd parity go; hang-up and speed stay
        {"0", 0x000008B0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.current);
        setenv("TAVRIN_SIM_CFLAG", c.current, 1);
        m_reset();
        auto dev = OpenInit(DEVICE_COM, 24);
        uint32_t word = 0;
        int baud = 0;
        ASSERT_EQ(m_lastTermios(&word, &baud), 0);
        EXPECT_EQ(word, c.applied);
        EXPECT_EQ(baud, 57600);
        CloseQuietly(dev.get());
    }
}

TEST_F(DeviceBridgeTest, ComPassesBytesUnframed)
{
    UseScript("expect CE 00 00 00 00 00 00 00\npacket E5 55 00 00 00 00 00 00\npacket 01 02\n");
    auto dev = OpenInit(DEVICE_COM, 24);
    EXPECT_EQ(dev->SendStartCommand(), 8);
    unsigned char buf[8] = {0};
    EXPECT_EQ(dev->Read(buf, 8), 8);
    EXPECT_EQ(buf[0], 0xE5);
    EXPECT_EQ(dev->Read(buf, 8), 2);
    CloseQuietly(dev.get());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"w CE 00 00 00 00 00 00 00", "r E5 55 00 00 00 00 00 00",
                                                    "r 01 02"}));
}

// The board scripts shipped for the service tests identify as documented.
TEST_F(DeviceBridgeTest, ShippedBoardScriptsIdentify)
{
    struct
    {
        const char* file;
        int kind;
        bool ok;
        int style;
        bool hand;
    } cases[] = {
        {"etp-hand.board", DEVICE_HID, true, 19, true},
        {"etpd.board", DEVICE_HID, true, 20, false},
        {"etp-hand-serial.board", DEVICE_COM, true, 19, true},
        {"gone.board", DEVICE_HID, true, 19, true},
        {"unplugged.board", DEVICE_HID, false, 24, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.file);
        UseScriptFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/boards/" + c.file);
        auto dev = OpenInit(c.kind, 24);
        testing::internal::CaptureStdout();
        bool ok = dev->Identify();
        std::string out = testing::internal::GetCapturedStdout();
        CloseQuietly(dev.get());
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(dev->m_Desc.style, c.style);
        EXPECT_EQ(dev->m_bIsHadHand, c.hand);
        EXPECT_EQ(out.find("quit") != std::string::npos, !c.ok) << out;
        for (const std::string& line : LogLines())
            EXPECT_NE(line, "expect timeout");
    }
}
}  // namespace
