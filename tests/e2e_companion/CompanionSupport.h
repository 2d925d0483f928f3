#pragma once
// What the companion programs see of a running service: the whiteboard
// application's datagram peer, a dual-mode listener, the X pointer, and a
// scripted board whose steps the test releases one at a time.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e
{
using Ms = std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock::time_point;

// Screen position <-> raw board units through the 4-point calibration the
// tests install (dot0 (2000,2000) at target (40,30), dot3 (14000,11000) at
// (983,737) on a 1024x768 screen).
int RawX(double screenX);
int RawY(double screenY);
// The settings file of a test run: command port, samples per calibration
// point, and the 4-point calibration above.
std::string SettingsXml(int port, int orientSamples = 20);

// ETPD packet as the HID bridge delivers it (report header 02 08 first):
// source, code, then the raw point, each axis sent as 16384 - raw in two
// 7-bit halves, and the XOR checksum.
std::string EtpPacketLine(unsigned source, unsigned code, int rawX, int rawY);

// A board script for the simulated bridge.
class CBoardScript
{
public:
    // Answers the start command as an ETP board with hand keys (style 19).
    CBoardScript& IdentifyWithHand();
    CBoardScript& Await(const std::string& path);
    CBoardScript& Wait(int ms);
    CBoardScript& Packet(unsigned source, unsigned code, int rawX, int rawY);
    // One contact of `count` press reports at a screen point, then the release.
    CBoardScript& Touch(unsigned source, double x, double y, int count = 3, int gapMs = 10);
    void Write(const std::string& path) const;
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// Lines of the simulated board's log that report a packet read ("r ...").
int PacketsRead(const std::string& boardLog);

// Creates an empty file (the board's `await` lines wait for it).
void Touch(const std::string& path);

// The whiteboard application's side of the status datagrams: a UDP socket on
// 127.0.0.1:10000 that records what the service sends and can answer a
// datagram at once (from its receiving thread, as the application would).
class CUdpPeer
{
public:
    struct Message
    {
        std::string text;
        SteadyTime at;
    };

    CUdpPeer() = default;
    ~CUdpPeer();
    bool Open();
    // Sends to the service's socket, 127.0.0.1:9999.
    void Send(const std::string& text);
    // From now on every datagram equal to `request` is answered with `reply`.
    void AnswerWith(const std::string& request, const std::string& reply);
    void StopAnswering();
    // Forgets what was received (a service of another run talked to us).
    void Clear();

    std::vector<Message> Messages() const;
    size_t Count() const;
    // Waits for a datagram equal to `text` at index `from` or later; its index
    // (or -1 on time-out).
    int WaitFor(const std::string& text, size_t from = 0, Ms timeout = Ms(10000)) const;
    // Indexes of the datagrams equal to `text` at `from` or later.
    std::vector<int> IndexesOf(const std::string& text, size_t from = 0) const;
    // Every text received so far, for failure messages.
    std::string Dump(size_t from = 0) const;

private:
    void Run();

    int m_nFd = -1;
    int m_nWake[2] = {-1, -1};
    std::thread m_Thread;
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Cond;
    std::vector<Message> m_Messages;
    std::map<std::string, std::string> m_Answers;
};

// A TCP listener on 127.0.0.1 for the dual-mode channel.
class CDualListener
{
public:
    struct Record
    {
        int marker1, marker2, kind, x, y;
    };
    ~CDualListener();
    bool Open();
    int Port() const { return m_nPort; }
    // Waits for the service to connect.
    bool Accept(Ms timeout);
    // Reads whole records until `count` have arrived, the peer closes or the
    // time runs out; returns what arrived.
    std::vector<Record> ReadRecords(size_t count, Ms timeout);
    // True when the service closed its end within `timeout` (no further bytes).
    bool WaitClosed(Ms timeout);
    // A connection is waiting to be accepted.
    bool HasPendingConnection(Ms timeout);

private:
    int m_nListen = -1;
    int m_nConn = -1;
    int m_nPort = 0;
    std::string m_Pending;
};

// Local addresses bound to UDP `port` (from /proc/net/udp{,6}).
std::vector<std::string> UdpBoundAddresses(int port);
// The first IPv4 address of this host outside 127.0.0.0/8, or "".
std::string NonLoopbackAddress();
// Sends `text` from a socket bound to `source` (any port) to 127.0.0.1:port.
bool SendDatagramFrom(const std::string& source, int port, const std::string& text);
// A datagram from `source` to a loopback socket is delivered at all on this
// host (a precondition for checking that the service drops it).
bool LoopbackAcceptsDatagramsFrom(const std::string& source);

// Closes of a file in a directory, as inotify reports them.
class CCloseWatch
{
public:
    CCloseWatch(const std::string& dir, const std::string& name);
    ~CCloseWatch();
    bool Ok() const { return m_nFd >= 0; }
    // Waits for the next close of the file after reading it (not writing).
    bool WaitReadClose(Ms timeout);

private:
    int m_nFd = -1;
    std::string m_name;
};

// Where X shows the pointer on the given display.
bool QueryPointer(const std::string& display, int* x, int* y);

// "press B X Y" / "release B X Y" lines of tavrin-stroke-recorder's output.
struct ButtonEvent
{
    bool press;
    int button, x, y;
};
std::vector<ButtonEvent> ButtonEvents(const std::string& recorderOutput);
}  // namespace e2e
