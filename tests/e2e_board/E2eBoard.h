#pragma once
// The service run end to end with a simulated board: an emulated udev tree
// (the board's USB ids), the simulated bridge library playing a board script,
// a private X server, and views of what reached X and the status datagrams.
#include "ProcessFixture.h"
#include "UdevTestbed.h"
#include "XPointerWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tavrin_test
{
// Raw board units of the 3x3 calibration grid written by E2eSettings, and
// the screen points the service maps them to on a 1024x768 screen.
extern const int kRawCols[3];
extern const int kRawRows[3];
extern const int kScreenCols[3];
extern const int kScreenRows[3];

// Settings for one run: command port `port`, the ETP boards' section with
// hold/smoothing limits and a 9-point calibration over the grid above.
std::string E2eSettings(int port);

// A board script line delivering one ETPD packet over the HID bridge
// (report header 02 08 first): `code` (0x81 press/move, 0x83 release) for
// source `source` at raw board point (rawX, rawY).
std::string HidPacketLine(int code, int rawX, int rawY, int source = 0xEE);

// Number of times `needle` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& needle);

// Receives what the service sends to the whiteboard application
// (127.0.0.1:10000).
class CDatagramInbox
{
public:
    CDatagramInbox();
    ~CDatagramInbox();
    bool IsOpen() const { return m_nFd >= 0; }
    // Everything received so far, oldest first.
    const std::vector<std::string>& Received();
    // Waits until `text` has been received at index `from` or later.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0);

private:
    int m_nFd = -1;
    std::vector<std::string> m_Received;
};

class E2eBoardTest : public ::testing::Test
{
protected:
    void SetUp() override;

    // Writes the board script into the run's directory and starts the
    // service with the simulated board and the udev testbed.
    void StartService(const std::string& script);
    // A file the board script can `await`; Go() creates it.
    std::string Step(const std::string& name) const { return run.PathOf("step-" + name); }
    void Go(const std::string& name) const;
    // What the simulated board logged (its reads and the service's writes).
    std::string BoardLog() const;
    std::string Output() const { return run.Output(); }

    // Waits for the pointer to reach (x, y) with button 1 in state `down`.
    ::testing::AssertionResult PointerReaches(int x, int y, bool down,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Declared first so that it outlives the service, whose libudev reads it.
    CUdevTestbed bed;
    CXvfb xvfb;
    CServiceRun run;
    CXPointerWatch pointer;
};
}  // namespace tavrin_test
