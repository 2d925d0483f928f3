#include "ProcessFixture.h"

#include "TempDir.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace tavrin_test
{
namespace
{
std::string MakeTempDir(const char* what)
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavrin-" + what + "-XXXXXX";
    char* p = mkdtemp(tmpl.data());
    return p ? std::string(p) : std::string();
}

bool WaitChild(pid_t pid, int* status, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return true;  // already reaped
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
}  // namespace

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------------------

CXvfb::~CXvfb() { Stop(); }

bool CXvfb::Available() { return access("/usr/bin/Xvfb", X_OK) == 0; }

bool CXvfb::Start(int width, int height)
{
    int fds[2];
    if (pipe(fds) != 0)
    {
        m_error = "pipe failed";
        return false;
    }
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::string fdArg = std::to_string(fds[1]);
    m_pid = fork();
    if (m_pid == 0)
    {
        close(fds[0]);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fdArg.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
              "tcp", "-noreset", "+extension", "XTEST", "+extension", "XInputExtension", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    if (m_pid < 0)
    {
        close(fds[0]);
        m_error = "fork failed";
        return false;
    }
    std::string number;
    struct pollfd p = {fds[0], POLLIN, 0};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end)
    {
        if (poll(&p, 1, 200) > 0)
        {
            char c;
            ssize_t n = read(fds[0], &c, 1);
            if (n <= 0)
                break;
            if (c == '\n')
                break;
            number += c;
        }
    }
    close(fds[0]);
    if (number.empty())
    {
        m_error = "Xvfb did not report a display";
        Stop();
        return false;
    }
    m_display = ":" + number;
    return true;
}

void CXvfb::Stop()
{
    if (m_pid > 0)
    {
        kill(m_pid, SIGTERM);
        int status;
        if (!WaitChild(m_pid, &status, std::chrono::seconds(5)))
        {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
}

// ---------------------------------------------------------------------------

CChildProcess::~CChildProcess() { Stop(std::chrono::milliseconds(2000)); }

bool CChildProcess::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                          const std::string& outputFile, const std::string& workDir)
{
    m_outFile = outputFile;
    std::map<std::string, std::string> full;
    for (char** e = environ; *e; ++e)
    {
        const char* eq = strchr(*e, '=');
        if (eq)
            full[std::string(*e, eq - *e)] = eq + 1;
    }
    for (const auto& kv : env)
        full[kv.first] = kv.second;
    std::vector<std::string> envStrings;
    for (const auto& kv : full)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp, args;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    m_pid = fork();
    if (m_pid == 0)
    {
        setpgid(0, 0);
        int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return m_pid > 0;
}

std::string CChildProcess::Output() const { return ReadWholeFile(m_outFile); }

bool CChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t from) const
{
    return WaitUntil(
        [&] {
            std::string out = Output();
            return out.size() > from && out.find(text, from) != std::string::npos;
        },
        timeout);
}

bool CChildProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0)
        return true;
    if (!WaitChild(m_pid, &m_status, timeout))
        return false;
    m_pid = -1;
    return true;
}

bool CChildProcess::Running()
{
    if (m_pid <= 0)
        return false;
    if (waitpid(m_pid, &m_status, WNOHANG) == m_pid)
    {
        m_pid = -1;
        return false;
    }
    return true;
}

void CChildProcess::Stop(std::chrono::milliseconds grace)
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    if (!WaitChild(m_pid, &m_status, grace))
    {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
    }
    m_pid = -1;
}

int CChildProcess::ExitCode() const
{
    if (WIFEXITED(m_status))
        return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status))
        return -WTERMSIG(m_status);
    return -1000;
}

// ---------------------------------------------------------------------------

std::string CServiceRun::BinaryDir() { return TAVRIN_BINARY_DIR; }
std::string CServiceRun::SourceDir() { return TAVRIN_SOURCE_DIR; }
std::string CServiceRun::ServicePath() { return BinaryDir() + "/tavrin-etp"; }

CServiceRun::CServiceRun() : m_dir(MakeTempDir("etp"))
{
    std::error_code ec;
    fs::create_directories(m_dir + "/Config", ec);
    fs::copy(BinaryDir() + "/etp/LANG", m_dir + "/LANG", fs::copy_options::recursive, ec);
}

CServiceRun::~CServiceRun()
{
    m_proc.Stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

void CServiceRun::WriteSettings(const std::string& xml) const
{
    std::ofstream out(m_dir + "/Config/config.xml", std::ios::trunc);
    out << xml;
}

std::string CServiceRun::ReadSettings() const { return ReadWholeFile(m_dir + "/Config/config.xml"); }

void CServiceRun::UseDefaultSettings() const
{
    WriteSettings(ReadWholeFile(SourceDir() + "/Config/config.xml"));
}

void CServiceRun::RemoveSettings() const
{
    std::error_code ec;
    fs::remove(m_dir + "/Config/config.xml", ec);
}

bool CServiceRun::Start(const std::string& display, const std::map<std::string, std::string>& env,
                        bool simulatedBoard)
{
    std::map<std::string, std::string> full = {
        {"DISPLAY", display},
        {"VELUNOR_ETP_DIR", m_dir},
        {"VELUNOR_ETP_MESSAGE_TIMEOUT_MS", "1500"},
        {"LANG", "en_US.UTF-8"},
        {"NO_AT_BRIDGE", "1"},
    };
    if (simulatedBoard)
        full["LD_LIBRARY_PATH"] = BinaryDir() + "/sim";
    for (const auto& kv : env)
        full[kv.first] = kv.second;
    return m_proc.Start({ServicePath()}, full, m_dir + "/service.log");
}

bool IsListeningLocal(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, (sockaddr*)&a, sizeof a) == 0;
    close(s);
    return ok;
}

std::vector<std::string> ListeningAddresses(int port)
{
    std::vector<std::string> found;
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"})
    {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line))
        {
            std::istringstream ss(line);
            std::string slot, local, remote, state;
            ss >> slot >> local >> remote >> state;
            if (state != "0A")  // LISTEN
                continue;
            auto colon = local.rfind(':');
            if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
                continue;
            std::string hex = local.substr(0, colon);
            if (hex.size() == 8)
            {
                in_addr addr;
                addr.s_addr = (in_addr_t)std::stoul(hex, nullptr, 16);
                found.push_back(inet_ntoa(addr));
            }
            else
            {
                found.push_back(hex == "00000000000000000000000000000000" ? "::" : hex);
            }
        }
    }
    return found;
}
}  // namespace tavrin_test
