#pragma once
#include <wx/sckipc.h>

// Makes CCtlConnection the connection class of the command client.
class CCtlClient : public wxTCPClient
{
public:
    wxConnectionBase* OnMakeConnection() override;
};
