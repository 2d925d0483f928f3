#pragma once
#include <wx/sckipc.h>

// Work-thread command that a command-server request stands for. code -1 means
// the request is accepted but has no effect.
struct IPCCommand
{
    int code;
    int value;
};

// The command table of the command server, as pure functions of the request.
IPCCommand StartAdviseCommand(const wxString& topic, const wxString& item);
IPCCommand StopAdviseCommand(const wxString& topic, const wxString& item);

// The command server's side of one client connection. Advise loops are the
// command verbs: the topic names the command family, the item carries the
// argument. Execute, request, poke and advise from the client keep the
// toolkit's refusing defaults.
class MyConnection : public wxTCPConnection
{
public:
    MyConnection();

    bool OnStartAdvise(const wxString& topic, const wxString& item) override;
    bool OnStopAdvise(const wxString& topic, const wxString& item) override;
    bool OnDisconnect() override;

    // Item of the last accepted start advise; empty before the first one.
    const wxString& GetItem() const { return m_strItem; }

private:
    wxString m_strItem;
};
