#include "ipc/MyConnection.h"

#include "app/CAppServices.h"
#include "ipc/LocalSocket.h"

#include <cstdio>

namespace
{
int ItemNumber(const wxString& item)
{
    return LeadingInt(item.utf8_str().data());
}
} // namespace

IPCCommand StartAdviseCommand(const wxString& topic, const wxString& item)
{
    if (topic == "Orient")
        return {1, ItemNumber(item)};
    if (topic == "SideKey")
    {
        int n = ItemNumber(item);
        return n >= 1 ? IPCCommand{2, n} : IPCCommand{3, 0};
    }
    if (topic == "PENSET")
        return {4, 0};
    if (topic == "SetSpeed")
        return {12, ItemNumber(item)};
    if (topic == "DriversSet")
    {
        if (item == "save")
            return {5, 0};
        if (item == "data")
            return {6, 1};
        static const char* const autos[] = {"auto0", "auto1", "auto2", "auto3"};
        for (int i = 0; i < 4; ++i)
        {
            if (item == autos[i])
                return {7, i};
        }
    }
    return {-1, 0};
}

IPCCommand StopAdviseCommand(const wxString& topic, const wxString& item)
{
    if (topic == "Orient" || topic == "SideKey")
        return {0, 0};
    if (topic == "DriversSet" && item == "data")
        return {6, 0};
    return {-1, 0};
}

MyConnection::MyConnection() = default;

bool MyConnection::OnStartAdvise(const wxString& topic, const wxString& item)
{
    if (!AppServices().IsBoardConnected())
        return false;
    IPCCommand cmd = StartAdviseCommand(topic, item);
    if (topic == "DriversSet" && item == "auto1")
    {
        printf("auto1\n");
        fflush(stdout);
    }
    if (cmd.code >= 0)
        AppServices().SendWorkCommand(cmd.code, cmd.value);
    m_strItem = item;
    return true;
}

bool MyConnection::OnStopAdvise(const wxString& topic, const wxString& item)
{
    if (AppServices().IsBoardConnected())
    {
        IPCCommand cmd = StopAdviseCommand(topic, item);
        if (cmd.code >= 0)
            AppServices().SendWorkCommand(cmd.code, cmd.value);
    }
    return true;
}

bool MyConnection::OnDisconnect()
{
    if (AppServices().IsBoardConnected())
    {
        AppServices().SendWorkCommand(0, 0);
        AppServices().SendWorkCommand(6, 0);
    }
    else
    {
        AppServices().RescanCameras();
    }
    return true;
}
