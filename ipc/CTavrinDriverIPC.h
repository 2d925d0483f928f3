#pragma once
#include <wx/sckipc.h>

#include <memory>
#include <string>

class CIpcGate;
class MyConnection;

// Command server for the companion user interface: the toolkit's TCP IPC
// protocol on 127.0.0.1, at most one client at a time (a new client replaces
// the old one). The toolkit's server listens on a Unix socket in a private
// directory; clients reach it only through a CIpcGate on the TCP port, which
// passes nothing but complete, well-formed messages.
class CTavrinDriverIPC : public wxTCPServer
{
public:
    // Size and format of every answer sent to the client.
    static constexpr size_t ADVISE_SIZE = 4;

    CTavrinDriverIPC();
    ~CTavrinDriverIPC() override;

    // Listens on 127.0.0.1 at the port given as decimal text ("0" picks a
    // free port). False, with nothing left behind, when the port is in use or
    // anything else fails.
    bool Create(const wxString& service) override;
    wxConnectionBase* OnAcceptConnection(const wxString& topic) override;

    void DropConnection();
    // Sends the first three characters of `text` to the client on the item of
    // its last accepted advise loop; nothing without one.
    void AdviseClient(const wxString& text);

    // The answer block: up to three bytes of `text` in the system's
    // multibyte encoding, zero-filled to four bytes.
    static void MakeAdviseBlock(const wxString& text, char block[ADVISE_SIZE]);

    // Port actually listened on, 0 when not listening.
    int GetPort() const;
    MyConnection* GetConnection() const { return m_pConnection; }

private:
    // Closes the toolkit's listener and removes its socket and directory.
    void CloseLocalServer();

    MyConnection* m_pConnection = nullptr;
    std::unique_ptr<CIpcGate> m_pGate;
    std::string m_strSocketDir;
};
