#pragma once
#include "ipc/CIpcMessageFilter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// The command port as clients see it: listens on 127.0.0.1 and relays each
// client to the toolkit's IPC server, which listens on a Unix socket. Client
// bytes pass only as complete, well-formed messages (CIpcMessageFilter); the
// server's bytes pass unchanged. A client that breaks the protocol loses its
// connection (the server sees a disconnect); one that has not named its topic
// within CONNECT_TIMEOUT_MS is dropped before the server ever hears of it.
// All of this runs on the gate's own thread, so no client can stall the
// thread that serves the toolkit.
class CIpcGate
{
public:
    static constexpr int MAX_CLIENTS = 8;
    static constexpr int CONNECT_TIMEOUT_MS = 5000;

    CIpcGate();
    ~CIpcGate();
    CIpcGate(const CIpcGate&) = delete;
    CIpcGate& operator=(const CIpcGate&) = delete;

    // Listens on 127.0.0.1:port (0: any free port) and starts relaying to the
    // Unix socket at `target`. False, with nothing left open, when the port is
    // taken or anything else fails.
    bool Start(uint16_t port, const std::string& target);
    // Passes on what the server has already sent, then closes every client.
    void Stop();

    // Port listened on, 0 when not running.
    int GetPort() const { return m_nPort; }

private:
    struct CPair;

    void Run();
    // Takes every waiting client; false when out of descriptors or memory.
    bool Accept();
    void Step(CPair& p, short tcpEvents, short uxEvents);
    void ConnectServer(CPair& p);
    // Moves the client's buffered bytes through the filter; true when at
    // least one message was queued for the server.
    bool Filter(CPair& p);
    void ReadClient(CPair& p);
    void ReadServer(CPair& p);
    void WriteClient(CPair& p);
    void WriteServer(CPair& p);
    void ClientGone(CPair& p);
    void ServerGone(CPair& p);
    // Closes what is finished; frees the slot when both sides are closed.
    void Settle(CPair& p);
    void Release(CPair& p);
    void FinalFlush(CPair& p);
    void CloseAll();

    std::unique_ptr<CPair[]> m_pPairs;
    std::string m_strTarget;
    int m_nListen = -1;
    int m_nWake = -1;
    int m_nPort = 0;
    std::thread m_Thread;
};
