#pragma once
#include <cstdint>
#include <mutex>

// Forwards the second pointer's events in dual-user mode as 20-byte records
// (-1, -1, kind, x, y; host byte order) over TCP to a listener on the local
// host that the whiteboard application names.
//
// ConnectTo and destruction run on the main thread (or a work thread's
// destructor), SendPoint on the work thread for every forwarded event. The
// listener may stop reading or go away at any time: sending never blocks and
// never raises SIGPIPE; records that do not fit are dropped whole.
class CTavrinDualSock
{
public:
    // A connect that neither succeeds nor fails within this time is given up.
    static constexpr int CONNECT_TIMEOUT_MS = 1000;
    static constexpr int RECORD_SIZE = 20;

    CTavrinDualSock();
    virtual ~CTavrinDualSock();

    // Connects to 127.0.0.1:port (port taken as unsigned 16-bit).
    bool ConnectTo(int port);
    void SendPoint(int kind, int x, int y);
    bool IsConnected() const;

private:
    void CloseLocked();

    mutable std::mutex m_Mutex;
    int m_nFd = -1;
    // Unsent tail of a record the socket took only in part; sent before any
    // new record so the listener never sees a record cut in two.
    unsigned char m_Pending[RECORD_SIZE];
    int m_nPending = 0;

    CTavrinDualSock(const CTavrinDualSock&) = delete;
    CTavrinDualSock& operator=(const CTavrinDualSock&) = delete;
};
