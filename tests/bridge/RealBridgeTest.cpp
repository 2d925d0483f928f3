#include "bridge/Cp210xHid.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{
int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A pseudo-terminal standing in for the bridge's tty: the test plays the
// board on the master side, the library opens the slave through the
// TAVRIN_CP210X_TTY override.
class SerialPtyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        setenv("TAVRIN_CP210X_TTY", ptsname(m_master), 1);
        m_dev = cp210x_open(0x10C4, 0x1320, 0);
        ASSERT_NE(m_dev, nullptr);
    }

    void TearDown() override
    {
        cp210x_close(m_dev);
        if (m_master >= 0)
            close(m_master);
        unsetenv("TAVRIN_CP210X_TTY");
    }

    // Everything the board side receives within `ms`.
    std::vector<unsigned char> BoardReceives(int ms)
    {
        std::vector<unsigned char> got;
        pollfd p = {m_master, POLLIN, 0};
        while (poll(&p, 1, ms) > 0)
        {
            unsigned char buf[64];
            ssize_t n = read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    int m_master = -1;
    cp210x_device* m_dev = nullptr;
};

TEST_F(SerialPtyTest, LineSetUpAppliesControlWordAndSpeed)
{
    EXPECT_EQ(cp210x_set_IFC(m_dev, 1), 0);
    uint32_t word = 0;
    ASSERT_EQ(cp210x_get_termios(m_dev, &word), 0);
    // What the board device does: 8N1, receiver on, local line, no RTS/CTS.
    uint32_t wanted = (word & 0x7FFFF40F) | 0x8B0;
    ASSERT_EQ(cp210x_set_termios(m_dev, wanted, 57600), 0);

    ASSERT_EQ(cp210x_get_termios(m_dev, &word), 0);
    EXPECT_EQ(word & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(word & (CREAD | CLOCAL), static_cast<uint32_t>(CREAD | CLOCAL));
    EXPECT_EQ(word & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(word & CBAUD, static_cast<uint32_t>(B57600));

    // An unknown speed is refused and changes nothing.
    EXPECT_EQ(cp210x_set_termios(m_dev, wanted | CSTOPB, 12345), -1);
    uint32_t after = 0;
    ASSERT_EQ(cp210x_get_termios(m_dev, &after), 0);
    EXPECT_EQ(after, word);
}

// Control and line-end bytes must pass untouched both ways, and nothing the
// board sends may be echoed back to it.
TEST_F(SerialPtyTest, BytesPassRawBothWays)
{
    const unsigned char packet[8] = {0xE5, 0x0D, 0x0A, 0x03, 0x7F, 0x11, 0x13, 0xFF};
    ASSERT_EQ(write(m_master, packet, 8), 8);
    unsigned char buf[8] = {0};
    EXPECT_EQ(cp210x_read(m_dev, buf, 8), 8);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8), std::vector<unsigned char>(packet, packet + 8));

    const unsigned char command[8] = {0xCE, 0x0A, 0x0D, 0x00, 0x04, 0x1A, 0x00, 0x00};
    EXPECT_EQ(cp210x_write(m_dev, command, 8), 8);
    EXPECT_EQ(BoardReceives(200), std::vector<unsigned char>(command, command + 8));
}

TEST_F(SerialPtyTest, ReadWaitsHalfASecondForTheRest)
{
    const unsigned char part[3] = {1, 2, 3};
    ASSERT_EQ(write(m_master, part, 3), 3);
    unsigned char buf[8] = {0};
    int64_t t0 = NowMs();
    EXPECT_EQ(cp210x_read(m_dev, buf, 8), 3);
    int64_t took = NowMs() - t0;
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 1500);

    t0 = NowMs();
    EXPECT_EQ(cp210x_read(m_dev, buf, 8), 0);
    EXPECT_GE(NowMs() - t0, 450);
}

TEST_F(SerialPtyTest, ReadGathersAPacketSentInPieces)
{
    const unsigned char packet[8] = {0xE5, 0x55, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(write(m_master, packet, 4), 4);
    int master = m_master;
    std::thread rest([master, &packet] {
        usleep(100 * 1000);
        EXPECT_EQ(write(master, packet + 4, 4), 4);
    });
    unsigned char buf[8] = {0};
    EXPECT_EQ(cp210x_read(m_dev, buf, 8), 8);
    rest.join();
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 8), std::vector<unsigned char>(packet, packet + 8));
}

TEST_F(SerialPtyTest, ReadFailsWhenTheOtherSideIsGone)
{
    close(m_master);
    m_master = -1;
    unsigned char buf[8];
    int64_t t0 = NowMs();
    EXPECT_EQ(cp210x_read(m_dev, buf, 8), -1);
    EXPECT_LT(NowMs() - t0, 400);
}

TEST(SerialLookup, UnknownIdsOpenNothing)
{
    unsetenv("TAVRIN_CP210X_TTY");
    EXPECT_EQ(cp210x_open(0xFFFF, 0xFFFE, 0), nullptr);
    setenv("TAVRIN_CP210X_TTY", "/nonexistent/tty", 1);
    EXPECT_EQ(cp210x_open(0x10C4, 0x1320, 0), nullptr);
    unsetenv("TAVRIN_CP210X_TTY");
}

// Our hid_open has hidapi's name; it must reach hidapi's (and not call
// itself) and report an absent device as null.
TEST(HidForward, AbsentDeviceAndNullHandles)
{
    EXPECT_EQ(hid_open(0xFFFF, 0xFFFE, nullptr), nullptr);
    unsigned char buf[4] = {0};
    EXPECT_EQ(hid_read_timeout(nullptr, buf, 4, 10), -1);
    EXPECT_EQ(hid_write(nullptr, buf, 4), -1);
    hid_close(nullptr);
}
}  // namespace
