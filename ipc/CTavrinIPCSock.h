#pragma once
#include <atomic>
#include <mutex>

#include <netinet/in.h>

class wxDatagramSocket;
class wxEvtHandler;

// Status datagrams exchanged with the whiteboard application over UDP on the
// local host: bound to 127.0.0.1:9999, sending to 127.0.0.1:10000.
//
// Receiving happens on the main thread (socket event, ReadDatagram,
// OnReceive). Sending happens on the main thread, the hot-plug monitor and
// the work thread; it goes straight to the descriptor under m_Mutex so that
// no toolkit socket state is touched off the main thread.
class CTavrinIPCSock
{
public:
    // Socket event id under which input is reported to the handler given to
    // Open (the application's ID_IPC_SOCKET).
    static constexpr int SOCKET_EVENT_ID = 2000;

    CTavrinIPCSock();
    virtual ~CTavrinIPCSock();

    // Binds the socket and makes `handler` receive its input events with id
    // SOCKET_EVENT_ID. Always true; a failed bind is only reported on stdout.
    virtual bool Open(wxEvtHandler* handler);
    // Acts on one received text (NUL-terminated).
    virtual void OnReceive(char* text);
    virtual void SendRaw(const char* bytes, int length);

    // Sends "#VQ@<word>[@<style name>]" for index 0..4, "#VQ" otherwise.
    int SendMessage(unsigned index);
    void SetStyle(int style) { m_nStyle = style; }
    int GetStyle() const { return m_nStyle; }

    // Reads one pending datagram (at most `max` bytes) into `buf`. Returns the
    // byte count; 0 when nothing was pending, the datagram was empty or it
    // came from anywhere but the local host (dropped).
    int ReadDatagram(char* buf, int max);

    // Index 0..10 of the received word (see OnReceive), or -1. Sets
    // g_nDualPort for the dual-mode words and forwards "WorkRect".
    int ParseMessage(const char* text);

    // "StyleET".."StyleETPD" for 0..20, null otherwise.
    static const char* StyleName(int style);

    // The socket is bound (Open succeeded in binding).
    bool IsOpen() const;

private:
    wxDatagramSocket* m_pSocket = nullptr;
    // Descriptor of m_pSocket while it is usable, else -1; senders use it
    // directly (see the class comment).
    int m_nFd = -1;
    sockaddr_in m_Dest{};
    std::atomic<int> m_nStyle{-1};
    // Guards m_pSocket and m_nFd against concurrent senders, the reader and
    // destruction, and keeps the "OnSend:" lines of two threads apart.
    mutable std::mutex m_Mutex;

    CTavrinIPCSock(const CTavrinIPCSock&) = delete;
    CTavrinIPCSock& operator=(const CTavrinIPCSock&) = delete;
};
