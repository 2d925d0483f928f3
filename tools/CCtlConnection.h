#pragma once
#include <wx/sckipc.h>

// Client side of the command connection: prints every answer the service
// pushes on the advise loop as one line and counts them.
class CCtlConnection : public wxTCPConnection
{
public:
    bool OnAdvise(const wxString& topic, const wxString& item, const void* data, size_t size,
                  wxIPCFormat format) override;
    // The service went away; the object stays with its owner.
    bool OnDisconnect() override;

    int GetAnswers() const { return m_nAnswers; }
    bool IsLost() const { return m_bLost; }

private:
    int m_nAnswers = 0;
    bool m_bLost = false;
};
