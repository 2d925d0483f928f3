#include "ipc/CTavrinIPCSock.h"

#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "ipc/LocalSocket.h"

#include <wx/app.h>
#include <wx/socket.h>
#include <wx/thread.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>

namespace
{
constexpr unsigned short LOCAL_PORT = 9999;
constexpr unsigned short PEER_PORT = 10000;

const char* const s_StyleNames[] = {
    "StyleET",   "StyleETD",   "StylePS",   "StylePSG",  "StylePSD",  "StylePSDG", "StyleIR",
    "StyleIRG",  "StyleIRD",   "StyleIRDG", "StyleIRXG", "StyleIRXDG", "StyleIRQ", "StyleUI",
    "StyleLT",   "StyleLTFD",  "StyleLTTD", "StyleDVT",  "StyleOI",   "StyleETP",  "StyleETPD",
};
constexpr int STYLE_COUNT = sizeof(s_StyleNames) / sizeof(s_StyleNames[0]);

// Words the service sends, by SendMessage index.
const char* const s_SentWords[] = {"DisConnect", "Connect", "EnableGuesture", "DisableGuesture", "IsStart"};

// Words the whiteboard application sends, by ParseMessage result.
const char* const s_ReceivedWords[] = {
    "Start", "Close", "StartDualSplit", "StartDual", "ShutDownDual", "WorkRect",
    "Earea", "Mouse", "Pen",   "InBoardFrm", "NotInBoardFrm",
};

bool HasPrefix(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The number that follows `word` and one separator character; 0 when the
// text ends before it.
int NumberAfter(const char* rest, const char* word)
{
    size_t skip = std::strlen(word);
    if (std::strlen(rest) <= skip)
        return 0;
    return LeadingInt(rest + skip + 1);
}
} // namespace

CTavrinIPCSock::CTavrinIPCSock() = default;

CTavrinIPCSock::~CTavrinIPCSock()
{
    wxDatagramSocket* sock;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        sock = m_pSocket;
        m_pSocket = nullptr;
        m_nFd = -1;
    }
    if (!sock)
        return;
    // The toolkit's socket belongs to the main thread's event loop; the
    // application may delete the channel on the hot-plug monitor thread.
    // The console application object is enough here (and all there is in a
    // console program); wxTheApp would downcast it to the GUI application.
    wxAppConsole* app = wxAppConsole::GetInstance();
    if (wxIsMainThread() || !app)
        sock->Destroy();
    else
        app->CallAfter([sock] { sock->Destroy(); });
}

const char* CTavrinIPCSock::StyleName(int style)
{
    return (style >= 0 && style < STYLE_COUNT) ? s_StyleNames[style] : nullptr;
}

bool CTavrinIPCSock::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nFd >= 0;
}

bool CTavrinIPCSock::Open(wxEvtHandler* handler)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pSocket)
    {
        m_pSocket->Destroy();
        m_pSocket = nullptr;
        m_nFd = -1;
    }

    wxIPV4address local;
    local.Hostname("127.0.0.1");
    local.Service(LOCAL_PORT);
    m_pSocket = new wxDatagramSocket(local, wxSOCKET_NOWAIT | wxSOCKET_REUSEADDR);
    if (handler)
    {
        m_pSocket->SetEventHandler(*handler, SOCKET_EVENT_ID);
        m_pSocket->SetNotify(wxSOCKET_INPUT_FLAG);
        m_pSocket->Notify(true);
    }

    if (m_pSocket->IsOk())
    {
        m_nFd = static_cast<int>(m_pSocket->GetSocket());
        // Programs the service starts (whiteboard, calibration) must not
        // inherit the status port.
        fcntl(m_nFd, F_SETFD, fcntl(m_nFd, F_GETFD) | FD_CLOEXEC);
        printf("_________socket is ok %d\n", m_pSocket->Error() ? 1 : 0);
    }
    else
    {
        // No implementation object is left after a failed bind, so there is
        // no error state to ask for.
        printf("_________socket is not ok %d\n", 1);
    }
    fflush(stdout);

    LoopbackAddress(&m_Dest, PEER_PORT);
    return true;
}

void CTavrinIPCSock::SendRaw(const char* bytes, int length)
{
    if (!bytes || length < 0)
        return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nFd >= 0)
    {
        // The result is not examined: nobody may be listening, and a status
        // message that gets lost is superseded by the next one.
        (void)sendto(m_nFd, bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&m_Dest), sizeof(m_Dest));
    }
    fputs("OnSend:", stdout);
    fwrite(bytes, 1, static_cast<size_t>(length), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int CTavrinIPCSock::SendMessage(unsigned index)
{
    char text[64];
    int n;
    const char* style = StyleName(m_nStyle);
    if (index <= 1 && style)
        n = snprintf(text, sizeof(text), "#VQ@%s@%s", s_SentWords[index], style);
    else if (index <= 4)
        n = snprintf(text, sizeof(text), "#VQ@%s", s_SentWords[index]);
    else
        n = snprintf(text, sizeof(text), "#VQ");
    SendRaw(text, n);
    return 0;
}

int CTavrinIPCSock::ReadDatagram(char* buf, int max)
{
    if (!buf || max <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pSocket || m_nFd < 0)
        return 0;

    wxIPV4address peer;
    m_pSocket->RecvFrom(peer, buf, static_cast<wxUint32>(max));
    int n = static_cast<int>(m_pSocket->LastCount());
    if (n <= 0)
        return 0;
    if (!peer.IPAddress().StartsWith("127."))
    {
        std::memset(buf, 0, static_cast<size_t>(n));
        return 0;
    }
    return n;
}

int CTavrinIPCSock::ParseMessage(const char* text)
{
    if (!text)
        return -1;
    size_t len = std::strlen(text);
    // Character 0 is not examined; a text without the tag counts as "Start".
    if (len < 3 || text[1] != 'V' || text[2] != 'Q')
        return 0;
    const char* rest = text + (len < 4 ? len : 4);

    if (HasPrefix(rest, "StartDualSplit"))
    {
        g_nDualPort = NumberAfter(rest, "StartDualSplit");
        return 2;
    }
    if (HasPrefix(rest, "StartDual"))
    {
        g_nDualPort = NumberAfter(rest, "StartDual");
        return 3;
    }
    if (HasPrefix(rest, "ShutDownDual"))
        return 4;
    if (HasPrefix(rest, "WorkRect"))
    {
        // x,y,width,height; whatever does not parse stays 0, and so does
        // everything after it.
        int v[4] = {0, 0, 0, 0};
        if (std::strlen(rest) > 8)
        {
            const char* p = rest + 9;
            for (int i = 0; i < 4; ++i)
            {
                const char* end;
                int n = LeadingInt(p, &end);
                if (end == p)
                    break;
                v[i] = n;
                if (*end != ',')
                    break;
                p = end + 1;
            }
        }
        long long mid = static_cast<long long>(v[0]) + v[2] / 2;
        if (mid > INT_MAX)
            mid = INT_MAX;
        if (mid < INT_MIN)
            mid = INT_MIN;
        printf("str=%s  (%d, %d, %d, %d) mid = %d\n", rest, v[0], v[1], v[2], v[3], static_cast<int>(mid));
        fflush(stdout);
        AppServices().SendWorkCommand(11, static_cast<int>(mid));
        printf("hehe3\n");
        fflush(stdout);
        return 5;
    }

    for (int i = 0; i < static_cast<int>(sizeof(s_ReceivedWords) / sizeof(s_ReceivedWords[0])); ++i)
    {
        if (std::strcmp(rest, s_ReceivedWords[i]) == 0)
            return i;
    }
    return -1;
}

void CTavrinIPCSock::OnReceive(char* text)
{
    switch (ParseMessage(text))
    {
    case 0:
        g_bAppStarted = true;
        SendMessage(StyleName(m_nStyle) ? 1 : 0);
        break;
    case 1:
        g_bAppStarted = false;
        AppServices().SendWorkCommand(10, 0);
        break;
    case 2:
        AppServices().SendWorkCommand(9, g_nDualPort);
        printf("hehe2\n");
        fflush(stdout);
        break;
    case 3:
        AppServices().SendWorkCommand(8, g_nDualPort);
        printf("hehe1\n");
        fflush(stdout);
        break;
    case 4:
        AppServices().SendWorkCommand(10, 0);
        break;
    case 9:
        g_bInBoardFrame = true;
        break;
    case 10:
        g_bInBoardFrame = false;
        break;
    default:
        break;
    }
}
