#include "CompanionSupport.h"

#include "TempDir.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e
{
namespace
{
constexpr int SERVICE_PORT = 9999;
constexpr int PEER_PORT = 10000;

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int BoundUdp(const std::string& address, int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // No SO_REUSEADDR: a port somebody else holds must make the bind fail.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool Readable(int fd, Ms timeout)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// Parses the local address column ("0100007F:270F") of /proc/net/{udp,tcp}.
bool ParseLocal(const std::string& local, int port, std::string* address)
{
    auto colon = local.rfind(':');
    if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
        return false;
    std::string hex = local.substr(0, colon);
    if (hex.size() == 8)
    {
        in_addr addr;
        addr.s_addr = static_cast<in_addr_t>(std::stoul(hex, nullptr, 16));
        *address = inet_ntoa(addr);
    }
    else
    {
        *address = hex == std::string(32, '0') ? "::" : hex;
    }
    return true;
}
}  // namespace

int RawX(double screenX) { return static_cast<int>(std::lround(2000 + (screenX - 40) * 12000.0 / 943.0)); }
int RawY(double screenY) { return static_cast<int>(std::lround(2000 + (screenY - 30) * 9000.0 / 707.0)); }

std::string SettingsXml(int port, int orientSamples)
{
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<Config>\n"
         "    <Global>\n"
         "        <port num=\"" << port << "\"/>\n"
         "        <CurrentRun TYPE=\"\"/>\n"
         "        <Device path=\"\"/>\n"
         "    </Global>\n"
         "    <TavrinWorkETPD>\n"
         "        <Constants LIMIT_COUNT=\"5\" LIMIT_MOVE=\"10\" RC1=\"0.8\" RC2=\"0.2\" ORIENT_RECV_DATA_SIZE=\""
      << orientSamples << "\" SIDEKEY_POINT_SIZE=\"200\"/>\n"
         "        <Flag Enable_Soft_Sidekey=\"0\" Is_Had_Hand=\"0\" bKeyPen=\"0\" Is_SpeedFirst=\"0\"/>\n"
         "        <DriverSet VALUE1_T=\"0\" VALUE2_T=\"0\" GESTURE_T=\"0\"/>\n"
         "        <ETPANSET Is_Default=\"1\" FRONT=\"0\" BACK=\"0\"/>\n"
         "        <HOTKEY/>\n"
         "        <coordinate dotNum=\"4\" dot0=\"(2000.000000,2000.000000)\" dot1=\"(2000.000000,11000.000000)\" "
         "dot2=\"(14000.000000,2000.000000)\" dot3=\"(14000.000000,11000.000000)\"/>\n"
         "    </TavrinWorkETPD>\n"
         "</Config>\n";
    return s.str();
}

std::string EtpPacketLine(unsigned source, unsigned code, int rawX, int rawY)
{
    const unsigned vx = static_cast<unsigned>(16384 - rawX) & 0x3FFF;
    const unsigned vy = static_cast<unsigned>(16384 - rawY) & 0x3FFF;
    unsigned b[8] = {source & 0xFF, 0, code & 0xFF, (vx >> 7) & 0x7F, vx & 0x7F, (vy >> 7) & 0x7F, vy & 0x7F, 0};
    for (int i = 0; i < 7; ++i)
        b[7] ^= b[i];
    char line[64];
    snprintf(line, sizeof line, "packet 02 08 %02X %02X %02X %02X %02X %02X %02X %02X\n", b[0], b[1], b[2], b[3], b[4],
             b[5], b[6], b[7]);
    return line;
}

CBoardScript& CBoardScript::IdentifyWithHand()
{
    m_text += "expect 02 08 CE 00 00 00 00 00 00 00\npacket 02 08 E5 55 00 00 00 00 00 00\n";
    return *this;
}

CBoardScript& CBoardScript::Await(const std::string& path)
{
    m_text += "await " + path + "\n";
    return *this;
}

CBoardScript& CBoardScript::Wait(int ms)
{
    m_text += "wait " + std::to_string(ms) + "\n";
    return *this;
}

CBoardScript& CBoardScript::Packet(unsigned source, unsigned code, int rawX, int rawY)
{
    m_text += EtpPacketLine(source, code, rawX, rawY);
    return *this;
}

CBoardScript& CBoardScript::Touch(unsigned source, double x, double y, int count, int gapMs)
{
    for (int i = 0; i < count; ++i)
    {
        Packet(source, 0x81, RawX(x), RawY(y));
        Wait(gapMs);
    }
    return Packet(source, 0x83, RawX(x), RawY(y));
}

void CBoardScript::Write(const std::string& path) const
{
    std::ofstream out(path, std::ios::trunc);
    out << m_text;
}

int PacketsRead(const std::string& boardLog)
{
    std::istringstream in(tavrin_test::ReadWholeFile(boardLog));
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.compare(0, 2, "r ") == 0;
    return n;
}

void Touch(const std::string& path) { std::ofstream(path, std::ios::app).flush(); }

// ---------------------------------------------------------------------------

CUdpPeer::~CUdpPeer()
{
    if (m_Thread.joinable())
    {
        char c = 0;
        (void)!write(m_nWake[1], &c, 1);
        m_Thread.join();
    }
    for (int fd : {m_nFd, m_nWake[0], m_nWake[1]})
    {
        if (fd >= 0)
            close(fd);
    }
}

bool CUdpPeer::Open()
{
    m_nFd = BoundUdp("127.0.0.1", PEER_PORT);
    if (m_nFd < 0 || pipe2(m_nWake, O_CLOEXEC) != 0)
    {
        if (m_nFd >= 0)
            close(m_nFd);
        m_nFd = -1;
        return false;
    }
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CUdpPeer::Run()
{
    for (;;)
    {
        pollfd p[2] = {{m_nFd, POLLIN, 0}, {m_nWake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        char buf[256];
        ssize_t n = recv(m_nFd, buf, sizeof buf, 0);
        if (n < 0)
            continue;
        Message m{std::string(buf, static_cast<size_t>(n)), std::chrono::steady_clock::now()};
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            auto it = m_Answers.find(m.text);
            if (it != m_Answers.end())
                reply = it->second;
        }
        // Answer before anything else: the service waits only briefly.
        if (!reply.empty())
            Send(reply);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Messages.push_back(m);
        m_Cond.notify_all();
    }
}

void CUdpPeer::Send(const std::string& text)
{
    sockaddr_in to = Loopback(SERVICE_PORT);
    (void)sendto(m_nFd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void CUdpPeer::AnswerWith(const std::string& request, const std::string& reply)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Answers[request] = reply;
}

void CUdpPeer::StopAnswering()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Answers.clear();
}

void CUdpPeer::Clear()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Messages.clear();
}

std::vector<CUdpPeer::Message> CUdpPeer::Messages() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Messages;
}

size_t CUdpPeer::Count() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Messages.size();
}

int CUdpPeer::WaitFor(const std::string& text, size_t from, Ms timeout) const
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    int found = -1;
    m_Cond.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < m_Messages.size(); ++i)
        {
            if (m_Messages[i].text == text)
            {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<int> CUdpPeer::IndexesOf(const std::string& text, size_t from) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<int> found;
    for (size_t i = from; i < m_Messages.size(); ++i)
    {
        if (m_Messages[i].text == text)
            found.push_back(static_cast<int>(i));
    }
    return found;
}

std::string CUdpPeer::Dump(size_t from) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::string s = "datagrams received:";
    for (size_t i = from; i < m_Messages.size(); ++i)
        s += " [" + std::to_string(i) + "]\"" + m_Messages[i].text + "\"";
    return s;
}

// ---------------------------------------------------------------------------

CDualListener::~CDualListener()
{
    if (m_nConn >= 0)
        close(m_nConn);
    if (m_nListen >= 0)
        close(m_nListen);
}

bool CDualListener::Open()
{
    m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (m_nListen < 0 || bind(m_nListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_nListen, 4) != 0 ||
        getsockname(m_nListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    m_nPort = ntohs(a.sin_port);
    return true;
}

bool CDualListener::HasPendingConnection(Ms timeout) { return Readable(m_nListen, timeout); }

bool CDualListener::Accept(Ms timeout)
{
    if (!Readable(m_nListen, timeout))
        return false;
    m_nConn = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
    return m_nConn >= 0;
}

std::vector<CDualListener::Record> CDualListener::ReadRecords(size_t count, Ms timeout)
{
    std::vector<Record> records;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (m_nConn >= 0)
    {
        while (m_Pending.size() >= sizeof(Record) && records.size() < count)
        {
            Record r;
            std::memcpy(&r, m_Pending.data(), sizeof r);
            m_Pending.erase(0, sizeof r);
            records.push_back(r);
        }
        if (records.size() >= count)
            break;
        auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Readable(m_nConn, left))
            break;
        char buf[512];
        ssize_t n = recv(m_nConn, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        m_Pending.append(buf, static_cast<size_t>(n));
    }
    return records;
}

bool CDualListener::WaitClosed(Ms timeout)
{
    if (m_nConn < 0 || !Readable(m_nConn, timeout))
        return false;
    char c;
    return recv(m_nConn, &c, 1, 0) == 0;
}

// ---------------------------------------------------------------------------

std::vector<std::string> UdpBoundAddresses(int port)
{
    std::vector<std::string> found;
    for (const char* file : {"/proc/net/udp", "/proc/net/udp6"})
    {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line))
        {
            std::istringstream ss(line);
            std::string slot, local, address;
            ss >> slot >> local;
            if (ParseLocal(local, port, &address))
                found.push_back(address);
        }
    }
    return found;
}

std::string NonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string found;
    for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next)
    {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        if ((ntohl(a.s_addr) >> 24) != 127)
            found = inet_ntoa(a);
    }
    freeifaddrs(list);
    return found;
}

bool SendDatagramFrom(const std::string& source, int port, const std::string& text)
{
    int fd = BoundUdp(source, 0);
    if (fd < 0)
        return false;
    sockaddr_in to = Loopback(port);
    bool ok = sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
              static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool LoopbackAcceptsDatagramsFrom(const std::string& source)
{
    int fd = BoundUdp("127.0.0.1", 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    bool ok = SendDatagramFrom(source, ntohs(a.sin_port), "probe") && Readable(fd, Ms(1000));
    if (ok)
    {
        char buf[16];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ok = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen) == 5 &&
             std::string(inet_ntoa(from.sin_addr)) == source;
    }
    close(fd);
    return ok;
}

// ---------------------------------------------------------------------------

CCloseWatch::CCloseWatch(const std::string& dir, const std::string& name) : m_name(name)
{
    m_nFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_nFd >= 0 && inotify_add_watch(m_nFd, dir.c_str(), IN_CLOSE_NOWRITE) < 0)
    {
        close(m_nFd);
        m_nFd = -1;
    }
}

CCloseWatch::~CCloseWatch()
{
    if (m_nFd >= 0)
        close(m_nFd);
}

bool CCloseWatch::WaitReadClose(Ms timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (m_nFd < 0 || left.count() <= 0 || !Readable(m_nFd, left))
            return false;
        alignas(inotify_event) char buf[4096];
        ssize_t n = read(m_nFd, buf, sizeof buf);
        for (ssize_t off = 0; off < n;)
        {
            const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->len && m_name == ev->name && !(ev->mask & IN_ISDIR))
                return true;
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
}

// ---------------------------------------------------------------------------

bool QueryPointer(const std::string& display, int* x, int* y)
{
    Display* d = XOpenDisplay(display.c_str());
    if (!d)
        return false;
    Window root, child;
    int wx, wy;
    unsigned mask;
    bool ok = XQueryPointer(d, DefaultRootWindow(d), &root, &child, x, y, &wx, &wy, &mask);
    XCloseDisplay(d);
    return ok;
}

std::vector<ButtonEvent> ButtonEvents(const std::string& recorderOutput)
{
    std::vector<ButtonEvent> events;
    std::istringstream in(recorderOutput);
    std::string line;
    while (std::getline(in, line))
    {
        std::istringstream ls(line);
        std::string word;
        ButtonEvent e{};
        if (ls >> word >> e.button >> e.x >> e.y && (word == "press" || word == "release"))
        {
            e.press = word == "press";
            events.push_back(e);
        }
    }
    return events;
}
}  // namespace e2e
