#pragma once
// Process-level test support: a private X server, a temporary installation
// directory, and programs (the service, companions) started with their
// output captured.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavrin_test
{
// A private Xvfb on a free display number (chosen by the server itself
// through -displayfd); stopped on destruction.
class CXvfb
{
public:
    CXvfb() = default;
    ~CXvfb();
    // Starts the server; false (with a reason in Error()) when it cannot.
    bool Start(int width = 1024, int height = 768);
    void Stop();
    const std::string& Display() const { return m_display; }
    const std::string& Error() const { return m_error; }
    static bool Available();

private:
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_error;
};

// A child process with standard output and error captured into a file that
// can be read while it runs.
class CChildProcess
{
public:
    CChildProcess() = default;
    ~CChildProcess();
    // argv[0] is the program path; `env` entries are added to (or replace
    // entries of) the test's own environment. The child gets no stdin.
    bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& outputFile, const std::string& workDir = "");
    // Everything the child printed so far.
    std::string Output() const;
    // Waits until the output contains `text` (at or after byte `from`).
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0) const;
    // Waits for the child to end on its own; false on time-out.
    bool WaitExit(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after `grace`; returns once the child is reaped.
    void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    bool Running();
    int ExitStatus() const { return m_status; }  // raw wait status
    int ExitCode() const;                        // exit code, or -signal
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    std::string m_outFile;
};

// Everything a service run needs: an installation directory (VELUNOR_ETP_DIR)
// with a settings file, the message catalogues of the build, and the service
// started against a given X display, optionally with the simulated board.
class CServiceRun
{
public:
    CServiceRun();
    ~CServiceRun();
    const std::string& InstallDir() const { return m_dir; }
    // Writes Config/config.xml in the installation directory.
    void WriteSettings(const std::string& xml) const;
    std::string ReadSettings() const;
    // Copies the shipped default settings.
    void UseDefaultSettings() const;
    void RemoveSettings() const;
    // Path of a file in the installation directory.
    std::string PathOf(const std::string& rel) const { return m_dir + "/" + rel; }

    // Starts build/tavrin-etp. `env` adds variables (e.g. TAVRIN_SIM_SCRIPT,
    // LD_PRELOAD for a udev testbed). With `simulatedBoard` the simulated
    // bridge library replaces the real one (LD_LIBRARY_PATH=build/sim).
    bool Start(const std::string& display, const std::map<std::string, std::string>& env = {},
               bool simulatedBoard = true);
    CChildProcess& Process() { return m_proc; }
    std::string Output() const { return m_proc.Output(); }
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       size_t from = 0) const
    {
        return m_proc.WaitForOutput(text, timeout, from);
    }
    void Stop() { m_proc.Stop(); }

    static std::string BinaryDir();
    static std::string SourceDir();
    static std::string ServicePath();

private:
    std::string m_dir;
    CChildProcess m_proc;
};

// The TCP port is accepting connections on 127.0.0.1.
bool IsListeningLocal(int port);
// Local addresses on which something is listening on `port` (from /proc/net/tcp{,6}).
std::vector<std::string> ListeningAddresses(int port);
// Polls `pred` every 20 ms until it is true or `timeout` passes.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
}  // namespace tavrin_test
