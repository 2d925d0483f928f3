#include "ipc/CTavrinDriverIPC.h"

#include "app/CAppServices.h"
#include "app/CClock.h"
#include "ipc/CIpcGate.h"
#include "ipc/MyConnection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{
// How long the camera viewer's connection waits after the served board was
// released, so the camera is free when the viewer opens it.
constexpr int CAMVIEWER_RELEASE_WAIT_MS = 2000;

bool IsCommandTopic(const wxString& topic)
{
    return topic == "Orient" || topic == "SideKey" || topic == "PENSET" || topic == "DriversSet" ||
           topic == "SetSpeed";
}

const char DIR_PREFIX[] = "tavrin-ipc-";
const char SOCKET_NAME[] = "command";
// A directory of ours this old without a listening socket was left by a
// process that was killed; younger ones may belong to a server starting up.
constexpr time_t STALE_AFTER_S = 60;

// Paths of the Unix sockets bound on this host; false when that cannot be
// told.
bool BoundUnixPaths(std::set<std::string>* paths)
{
    std::ifstream in("/proc/net/unix");
    std::string line;
    if (!std::getline(in, line))
        return false;
    while (std::getline(in, line))
    {
        // Num RefCount Protocol Flags Type St Inode [Path]; the path may hold blanks.
        std::istringstream fields(line);
        std::string skip;
        int n = 0;
        while (n < 7 && fields >> skip)
            ++n;
        std::string path;
        if (n == 7 && std::getline(fields >> std::ws, path) && !path.empty())
            paths->insert(path);
    }
    return true;
}

// Removes the directories of servers that did not get to clean up (a killed
// service), so they do not pile up in the temporary directory.
void RemoveStaleDirs(const std::string& base)
{
    DIR* d = opendir(base.c_str());
    if (!d)
        return;
    std::set<std::string> bound;
    bool boundRead = false;
    bool boundKnown = false;
    const time_t now = time(nullptr);
    while (dirent* e = readdir(d))
    {
        if (std::strncmp(e->d_name, DIR_PREFIX, sizeof(DIR_PREFIX) - 1) != 0)
            continue;
        const std::string dir = base + "/" + e->d_name;
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & 07777) != 0700 || now - st.st_mtime < STALE_AFTER_S)
            continue;
        if (!boundRead)
        {
            boundKnown = BoundUnixPaths(&bound);
            boundRead = true;
        }
        const std::string sock = dir + "/" + SOCKET_NAME;
        if (!boundKnown || bound.count(sock))
            continue;
        unlink(sock.c_str());
        rmdir(dir.c_str());
    }
    closedir(d);
}

// A fresh directory only this user can enter (mode 0700), under $TMPDIR or
// else /tmp, short enough for a Unix socket path inside it; empty on failure.
std::string MakePrivateDir()
{
    std::vector<std::string> bases;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp)
        bases.emplace_back(tmp);
    bases.emplace_back("/tmp");
    for (const std::string& base : bases)
    {
        // The path goes through the toolkit's string conversions: keep to ASCII.
        if (std::any_of(base.begin(), base.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            continue;
        RemoveStaleDirs(base);
        std::string templ = base + "/" + DIR_PREFIX + "XXXXXX";
        if (templ.size() + sizeof(SOCKET_NAME) >= sizeof(sockaddr_un::sun_path))
            continue;
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            return buf.data();
    }
    return {};
}
} // namespace

CTavrinDriverIPC::CTavrinDriverIPC() = default;

CTavrinDriverIPC::~CTavrinDriverIPC()
{
    DropConnection();
    // Stopping the gate passes the goodbye just sent on to the client.
    m_pGate.reset();
    CloseLocalServer();
}

bool CTavrinDriverIPC::Create(const wxString& service)
{
    // A name with a '/' would make the toolkit listen on a path of the
    // client's choosing; only a decimal port is a valid service here.
    unsigned long port = 0;
    if (service.empty() || service.find_first_not_of("0123456789") != wxString::npos ||
        !service.ToULong(&port) || port > 65535)
        return false;
    m_pGate.reset();
    CloseLocalServer();

    m_strSocketDir = MakePrivateDir();
    if (m_strSocketDir.empty())
        return false;
    const std::string path = m_strSocketDir + "/" + SOCKET_NAME;
    auto gate = std::make_unique<CIpcGate>();
    if (!wxTCPServer::Create(wxString::FromUTF8(path)) || !gate->Start(static_cast<uint16_t>(port), path))
    {
        CloseLocalServer();
        return false;
    }
    m_pGate = std::move(gate);
    return true;
}

void CTavrinDriverIPC::CloseLocalServer()
{
    if (m_server)
    {
        m_server->SetClientData(nullptr);
        m_server->Destroy();
        m_server = nullptr;
    }
    if (!m_filename.empty())
    {
        std::remove(m_filename.fn_str());
        m_filename.clear();
    }
    if (!m_strSocketDir.empty())
    {
        rmdir(m_strSocketDir.c_str());
        m_strSocketDir.clear();
    }
}

int CTavrinDriverIPC::GetPort() const
{
    return m_pGate ? m_pGate->GetPort() : 0;
}

void CTavrinDriverIPC::DropConnection()
{
    if (!m_pConnection)
        return;
    m_pConnection->Disconnect();
    delete m_pConnection;
    m_pConnection = nullptr;
}

wxConnectionBase* CTavrinDriverIPC::OnAcceptConnection(const wxString& topic)
{
    DropConnection();

    if (IsCommandTopic(topic))
    {
        m_pConnection = new MyConnection;
        return m_pConnection;
    }
    if (topic == "CAMVIEWER")
    {
        m_pConnection = new MyConnection;
        if (AppServices().IsBoardConnected() && AppServices().HasWorkThread())
            AppServices().ReleaseServedBoard();
        Clock().SleepMs(CAMVIEWER_RELEASE_WAIT_MS);
        return m_pConnection;
    }
    return nullptr;
}

void CTavrinDriverIPC::MakeAdviseBlock(const wxString& text, char block[ADVISE_SIZE])
{
    std::memset(block, 0, ADVISE_SIZE);
    wxCharBuffer mb = text.mb_str(*wxConvCurrent);
    if (mb.data())
    {
        size_t n = std::min(std::strlen(mb.data()), ADVISE_SIZE);
        std::memcpy(block, mb.data(), n);
    }
    block[ADVISE_SIZE - 1] = 0;
}

void CTavrinDriverIPC::AdviseClient(const wxString& text)
{
    if (!m_pConnection || m_pConnection->GetItem().empty())
        return;
    char block[ADVISE_SIZE];
    MakeAdviseBlock(text, block);
    m_pConnection->Advise(m_pConnection->GetItem(), block, ADVISE_SIZE, wxIPC_PRIVATE);
}
