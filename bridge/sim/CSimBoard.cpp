#include "bridge/sim/CSimBoard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace
{
// How often a read waiting on `await` looks for the file.
const auto kAwaitPoll = std::chrono::milliseconds(20);
// Termios c_cflag of a fresh line: B9600 | CS8 | CREAD | HUPCL | CLOCAL.
const uint32_t kDefaultCflag = 0x00000CBD;

bool ParseHexByte(const std::string& tok, unsigned char* out)
{
    std::string t = tok;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 2)
        return false;
    char* end = nullptr;
    unsigned long v = strtoul(t.c_str(), &end, 16);
    if (*end != '\0')
        return false;
    *out = static_cast<unsigned char>(v);
    return true;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
}  // namespace

CSimBoard& CSimBoard::Instance()
{
    // Never destroyed: a detached thread of the service may still sit in a
    // read while the process exits.
    static CSimBoard* board = new CSimBoard;
    return *board;
}

bool CSimBoard::ParseLine(const std::string& raw, Cmd* cmd)
{
    std::istringstream in(raw);
    std::string word;
    in >> word;
    if (word == "expect" || word == "packet")
    {
        cmd->kind = word == "expect" ? Cmd::Expect : Cmd::Packet;
        std::string tok;
        while (in >> tok)
        {
            unsigned char b;
            if (!ParseHexByte(tok, &b))
                return false;
            cmd->bytes.push_back(b);
        }
        return !cmd->bytes.empty();
    }
    if (word == "wait")
    {
        cmd->kind = Cmd::Wait;
        std::string rest;
        return static_cast<bool>(in >> cmd->ms) && cmd->ms >= 0 && !(in >> rest);
    }
    if (word == "await")
    {
        cmd->kind = Cmd::Await;
        std::getline(in, cmd->path);
        size_t b = cmd->path.find_first_not_of(" \t");
        size_t e = cmd->path.find_last_not_of(" \t\r");
        if (b == std::string::npos)
            return false;
        cmd->path = cmd->path.substr(b, e - b + 1);
        return true;
    }
    std::string rest;
    if (word == "gone" || word == "back")
    {
        cmd->kind = word == "gone" ? Cmd::Gone : Cmd::Back;
        return !(in >> rest);
    }
    return false;
}

bool CSimBoard::LoadLocked()
{
    const char* script = getenv("TAVRIN_SIM_SCRIPT");
    if (!script || !*script)
        return false;
    std::ifstream in(script);
    if (!in)
    {
        fprintf(stderr, "libCp210xHid (simulated): cannot read %s\n", script);
        return false;
    }
    m_Cmds.clear();
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line))
    {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        Cmd cmd{};
        if (ParseLine(line, &cmd))
            m_Cmds.push_back(cmd);
        else
            fprintf(stderr, "libCp210xHid (simulated): %s:%d: line ignored: %s\n", script, lineNo,
                    line.c_str());
    }

    const char* log = getenv("TAVRIN_SIM_LOG");
    if (log && *log)
    {
        m_pLog = fopen(log, "a");
        if (!m_pLog)
            fprintf(stderr, "libCp210xHid (simulated): cannot write %s\n", log);
    }
    const char* ms = getenv("TAVRIN_SIM_EXPECT_MS");
    m_nExpectMs = ms && *ms ? atoi(ms) : 5000;
    const char* cflag = getenv("TAVRIN_SIM_CFLAG");
    m_nCflag = cflag && *cflag ? static_cast<uint32_t>(strtoul(cflag, nullptr, 16)) : kDefaultCflag;

    m_nPos = 0;
    m_bArmed = false;
    m_bGone = false;
    m_bLoaded = true;
    return true;
}

bool CSimBoard::Open()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    if (!m_bLoaded && !LoadLocked())
        return false;
    SettleLocked(Clock::now());
    return true;
}

void CSimBoard::Reset()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    if (m_pLog)
        fclose(m_pLog);
    m_pLog = nullptr;
    m_bLoaded = false;
    m_Cmds.clear();
    m_nPos = 0;
    m_bArmed = false;
    m_bGone = false;
    m_bTermiosSet = false;
    m_cv.notify_all();
}

// Moves past every line that is done at `now` and arms the deadline of the
// line the script stops at. `packet` lines wait for a read, `expect` lines
// for a write (or their time-out).
void CSimBoard::SettleLocked(Clock::time_point now)
{
    while (m_nPos < m_Cmds.size())
    {
        const Cmd& cmd = m_Cmds[m_nPos];
        switch (cmd.kind)
        {
        case Cmd::Packet:
            return;
        case Cmd::Wait:
        case Cmd::Expect:
            if (!m_bArmed)
            {
                m_bArmed = true;
                m_Deadline = now + std::chrono::milliseconds(cmd.kind == Cmd::Wait ? cmd.ms : m_nExpectMs);
            }
            if (now < m_Deadline)
                return;
            if (cmd.kind == Cmd::Expect)
                LogTextLocked("expect timeout");
            break;
        case Cmd::Await:
            if (!FileExists(cmd.path))
                return;
            break;
        case Cmd::Gone:
            m_bGone = true;
            break;
        case Cmd::Back:
            m_bGone = false;
            break;
        }
        ++m_nPos;
        m_bArmed = false;
    }
}

bool CSimBoard::MatchesExpect(bool hid, const unsigned char* data, size_t length) const
{
    const std::vector<unsigned char>& want = m_Cmds[m_nPos].bytes;
    if (length == want.size())
        return std::equal(want.begin(), want.end(), data);
    // HID writes carry two report-header bytes that a script may leave out.
    if (hid && length == want.size() + 2)
        return std::equal(want.begin(), want.end(), data + 2);
    return false;
}

int CSimBoard::Read(bool hid, unsigned char* data, size_t length, int timeoutMs)
{
    (void)hid;
    std::unique_lock<std::mutex> lk(m_mutex);
    const Clock::time_point start = Clock::now();
    const bool forever = timeoutMs < 0;
    const Clock::time_point end = start + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (;;)
    {
        Clock::time_point now = Clock::now();
        SettleLocked(now);
        if (m_bGone)
            return -1;
        if (length == 0)
            return 0;
        if (m_nPos < m_Cmds.size() && m_Cmds[m_nPos].kind == Cmd::Packet)
        {
            const std::vector<unsigned char>& bytes = m_Cmds[m_nPos].bytes;
            size_t n = std::min(length, bytes.size());
            memcpy(data, bytes.data(), n);
            LogLocked("r", data, n);
            ++m_nPos;
            m_bArmed = false;
            SettleLocked(now);
            return static_cast<int>(n);
        }
        if (!forever && now >= end)
            return 0;

        Clock::time_point wake = forever ? now + std::chrono::hours(1) : end;
        if (m_nPos < m_Cmds.size())
        {
            const Cmd& cmd = m_Cmds[m_nPos];
            if ((cmd.kind == Cmd::Wait || cmd.kind == Cmd::Expect) && m_bArmed)
                wake = std::min(wake, m_Deadline);
            else if (cmd.kind == Cmd::Await)
                wake = std::min(wake, now + kAwaitPoll);
        }
        m_cv.wait_until(lk, wake);
    }
}

int CSimBoard::Write(bool hid, const unsigned char* data, size_t length)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    Clock::time_point now = Clock::now();
    SettleLocked(now);
    LogLocked("w", data, length);
    if (m_bGone)
        return -1;
    if (m_nPos < m_Cmds.size() && m_Cmds[m_nPos].kind == Cmd::Expect && MatchesExpect(hid, data, length))
    {
        ++m_nPos;
        m_bArmed = false;
        SettleLocked(now);
        m_cv.notify_all();
    }
    return static_cast<int>(length);
}

uint32_t CSimBoard::GetCflag()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_nCflag;
}

void CSimBoard::SetTermios(uint32_t cflag, int baud)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_nCflag = cflag;
    m_bTermiosSet = true;
    m_nLastCflag = cflag;
    m_nLastBaud = baud;
}

bool CSimBoard::LastTermios(uint32_t* cflag, int* baud)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    if (!m_bTermiosSet)
        return false;
    if (cflag)
        *cflag = m_nLastCflag;
    if (baud)
        *baud = m_nLastBaud;
    return true;
}

void CSimBoard::LogLocked(const char* tag, const unsigned char* data, size_t length)
{
    if (!m_pLog)
        return;
    std::string line = tag;
    char hex[4];
    for (size_t i = 0; i < length; ++i)
    {
        snprintf(hex, sizeof hex, " %02X", data[i]);
        line += hex;
    }
    LogTextLocked(line.c_str());
}

void CSimBoard::LogTextLocked(const char* text)
{
    if (!m_pLog)
        return;
    fprintf(m_pLog, "%s\n", text);
    fflush(m_pLog);
}
