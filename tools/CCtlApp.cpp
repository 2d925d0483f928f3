#include "tools/CCtlApp.h"

#include "app/AppGlobals.h"
#include "config/CConfigXML.h"
#include "tools/CCtlClient.h"
#include "tools/CCtlConnection.h"

#include <wx/apptrait.h>
#include <wx/evtloop.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

wxIMPLEMENT_APP_CONSOLE(CCtlApp);

namespace
{
constexpr int DEFAULT_PORT = 4869;

enum
{
    EXIT_OK = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_INTERRUPTED = 130,
};

const char USAGE[] =
    "Usage: tavrin-etp-ctl [--port N] COMMAND\n"
    "\n"
    "Drives the running tavrin-etp service through its command port (default:\n"
    "Global/port/num of $VELUNOR_ETP_DIR/Config/config.xml, else 4869).\n"
    "\n"
    "Commands:\n"
    "  orient N        calibrate with N points; prints each answer (\"fin\") and\n"
    "                  ends after N answers\n"
    "  sidekey N       locate N soft keys the same way (N <= 0: re-read the\n"
    "                  soft-key switch)\n"
    "  penset          reload the pen settings\n"
    "  speed N         set the speed value N\n"
    "  drivers save    save the driver settings\n"
    "  drivers data    print the values the board reports until interrupted\n"
    "  drivers autoL   size measurement level L (0 to 3)\n"
    "  camviewer       take the camera away from the service until interrupted\n"
    "\n"
    "Options:\n"
    "  --port N        command port of the service\n"
    "  --help          this text\n";

volatile sig_atomic_t s_bStop = 0;

extern "C" void OnStopSignal(int)
{
    s_bStop = 1;
}

struct CtlRequest
{
    wxString topic;
    wxString item;
    // Answers to wait for; -1 waits until interrupted.
    int answers = 0;
    // Start an advise loop (every command but camviewer).
    bool advise = true;
};

bool ParseInt(const char* text, int* out)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || v < -1000000 || v > 1000000)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int UsageError(const char* what)
{
    fprintf(stderr, "tavrin-etp-ctl: %s\n\n%s", what, USAGE);
    return EXIT_USAGE;
}

int ConfiguredPort()
{
    std::string path = std::string(InstallDir()) + "/Config/config.xml";
    int port = DEFAULT_PORT;
    // Load retries for seconds on a missing file; a missing file just means
    // the default port.
    if (access(path.c_str(), R_OK) != 0)
        return port;
    CConfigXML cfg;
    if (cfg.Load(path.c_str()))
        cfg.GetInt("Global", "port", "num", &port, DEFAULT_PORT);
    cfg.Close();
    return port;
}

// Runs the event loop for up to `ms` so socket events reach the connection.
void Pump(wxEventLoopBase* loop, int ms)
{
    loop->DispatchTimeout(ms);
    // A console application: wxTheApp would downcast it to the GUI one.
    wxAppConsole::GetInstance()->ProcessPendingEvents();
}
} // namespace

int CCtlApp::OnRun()
{
    int port = -1;
    int i = 1;
    for (; i < argc; ++i)
    {
        wxString a = argv[i];
        if (a == "--help" || a == "-h")
        {
            fputs(USAGE, stdout);
            return EXIT_OK;
        }
        if (a == "--port")
        {
            if (i + 1 >= argc || !ParseInt(argv[i + 1].utf8_str(), &port) || port < 1 || port > 65535)
                return UsageError("--port needs a port number (1 to 65535)");
            ++i;
            continue;
        }
        break;
    }
    if (i >= argc)
        return UsageError("no command given");

    const wxString cmd = argv[i];
    const int nargs = argc - i - 1;
    const std::string argText = nargs > 0 ? std::string(argv[i + 1].utf8_str().data()) : std::string();
    CtlRequest req;
    int n = 0;
    if ((cmd == "orient" || cmd == "sidekey") && nargs == 1)
    {
        if (!ParseInt(argText.c_str(), &n))
            return UsageError("the number of points must be a whole number");
        req.topic = cmd == "orient" ? "Orient" : "SideKey";
        req.item = wxString::Format("%d", n);
        req.answers = n > 0 ? n : 0;
    }
    else if (cmd == "penset" && nargs == 0)
    {
        req.topic = "PENSET";
        req.item = "1";
    }
    else if (cmd == "speed" && nargs == 1)
    {
        if (!ParseInt(argText.c_str(), &n))
            return UsageError("the speed must be a whole number");
        req.topic = "SetSpeed";
        req.item = wxString::Format("%d", n);
    }
    else if (cmd == "drivers" && nargs == 1)
    {
        static const char* const items[] = {"save", "data", "auto0", "auto1", "auto2", "auto3"};
        bool known = false;
        for (const char* it : items)
            known = known || argText == it;
        if (!known)
            return UsageError("drivers takes save, data, auto0, auto1, auto2 or auto3");
        req.topic = "DriversSet";
        req.item = wxString::FromUTF8(argText.c_str());
        req.answers = argText == "data" ? -1 : 0;
    }
    else if (cmd == "camviewer" && nargs == 0)
    {
        req.topic = "CAMVIEWER";
        req.advise = false;
        req.answers = -1;
    }
    else
    {
        return UsageError("unknown command or wrong number of arguments");
    }

    if (port < 0)
        port = ConfiguredPort();

    std::unique_ptr<wxEventLoopBase> loop(GetTraits()->CreateEventLoop());
    wxEventLoopActivator activate(loop.get());

    CCtlClient client;
    std::unique_ptr<CCtlConnection> conn(static_cast<CCtlConnection*>(
        client.MakeConnection("127.0.0.1", wxString::Format("%d", port), req.topic)));
    if (!conn)
    {
        fprintf(stderr, "tavrin-etp-ctl: cannot connect to the service on port %d\n", port);
        return EXIT_FAILED;
    }

    if (req.advise && !conn->StartAdvise(req.item))
    {
        if (conn->IsLost())
            fprintf(stderr, "tavrin-etp-ctl: the service closed the connection\n");
        else
            fprintf(stderr, "tavrin-etp-ctl: no board attached\n");
        conn->Disconnect();
        return EXIT_FAILED;
    }

    // From here on an interrupt ends the command cleanly (stop advise,
    // disconnect); a second one ends the program at once.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    while (!s_bStop && !conn->IsLost() && (req.answers < 0 || conn->GetAnswers() < req.answers))
        Pump(loop.get(), 100);

    if (conn->IsLost())
    {
        fprintf(stderr, "tavrin-etp-ctl: the service closed the connection\n");
        return EXIT_FAILED;
    }
    if (req.advise)
        conn->StopAdvise(req.item);
    conn->Disconnect();

    if (s_bStop && req.answers > 0 && conn->GetAnswers() < req.answers)
        return EXIT_INTERRUPTED;
    return EXIT_OK;
}
