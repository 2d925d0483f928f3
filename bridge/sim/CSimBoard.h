#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// The one scripted board behind the simulated bridge library. See
// SimBridge.cpp for the script language and the environment it reads.
class CSimBoard
{
public:
    static CSimBoard& Instance();

    // Loads the script on first use; false when there is none to load.
    bool Open();
    // timeoutMs < 0 waits without limit. `hid` selects how writes are
    // matched against `expect` lines (the report header may be left out).
    int Read(bool hid, unsigned char* data, size_t length, int timeoutMs);
    int Write(bool hid, const unsigned char* data, size_t length);

    uint32_t GetCflag();
    void SetTermios(uint32_t cflag, int baud);
    bool LastTermios(uint32_t* cflag, int* baud);

    void Reset();

private:
    using Clock = std::chrono::steady_clock;

    struct Cmd
    {
        enum Kind { Expect, Packet, Wait, Gone, Back, Await } kind;
        std::vector<unsigned char> bytes;
        int ms = 0;
        std::string path;
    };

    bool LoadLocked();
    bool ParseLine(const std::string& line, Cmd* cmd);
    void SettleLocked(Clock::time_point now);
    bool MatchesExpect(bool hid, const unsigned char* data, size_t length) const;
    void LogLocked(const char* tag, const unsigned char* data, size_t length);
    void LogTextLocked(const char* text);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bLoaded = false;
    std::vector<Cmd> m_Cmds;
    size_t m_nPos = 0;
    // A deadline for the current `wait` or `expect` line, set when the
    // script first reaches it.
    bool m_bArmed = false;
    Clock::time_point m_Deadline;
    bool m_bGone = false;
    FILE* m_pLog = nullptr;
    int m_nExpectMs = 5000;
    uint32_t m_nCflag = 0;
    bool m_bTermiosSet = false;
    uint32_t m_nLastCflag = 0;
    int m_nLastBaud = 0;
};
