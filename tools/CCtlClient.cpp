#include "tools/CCtlClient.h"

#include "tools/CCtlConnection.h"

wxConnectionBase* CCtlClient::OnMakeConnection()
{
    return new CCtlConnection;
}
