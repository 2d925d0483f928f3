// The service as a process: start-up on a private X server, the command port,
// the single-instance guard.
#include "ProcessFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tavrin_test;
using namespace std::chrono_literals;

namespace
{
class ServiceStart : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CXvfb::Available()) << "Xvfb is not installed";
        ASSERT_TRUE(xvfb.Start()) << xvfb.Error();
    }
    CXvfb xvfb;
};

std::string SettingsWithPort(const char* port)
{
    return std::string("<?xml version=\"1.0\"?>\n<Config>\n    <Global>\n        <port num=\"") + port +
           "\"/>\n    </Global>\n</Config>\n";
}

TEST_F(ServiceStart, ListensOnTheConfiguredPortForTheLocalHostOnly)
{
    CServiceRun run;
    run.WriteSettings(SettingsWithPort("4975"));
    ASSERT_TRUE(run.Start(xvfb.Display()));
    ASSERT_TRUE(run.WaitForOutput("port 4975\n")) << run.Output();
    ASSERT_TRUE(WaitUntil([] { return IsListeningLocal(4975); }, 10s)) << run.Output();
    std::vector<std::string> addrs = ListeningAddresses(4975);
    ASSERT_FALSE(addrs.empty());
    for (const std::string& a : addrs)
        EXPECT_EQ("127.0.0.1", a) << "the command server must not listen on other addresses";
    EXPECT_TRUE(run.Process().Running());
}

TEST_F(ServiceStart, StopsCleanlyOnSigterm)
{
    CServiceRun run;
    run.WriteSettings(SettingsWithPort("4974"));
    ASSERT_TRUE(run.Start(xvfb.Display()));
    ASSERT_TRUE(WaitUntil([] { return IsListeningLocal(4974); }, 10s)) << run.Output();
    kill(run.Process().Pid(), SIGTERM);
    ASSERT_TRUE(run.Process().WaitExit(10s)) << run.Output();
    EXPECT_EQ(0, run.Process().ExitCode()) << run.Output();
    EXPECT_FALSE(IsListeningLocal(4974));
}

TEST_F(ServiceStart, FallsBackToPort4869WithoutSettings)
{
    struct Case
    {
        const char* name;
        bool writeFile;
        std::string xml;
    } cases[] = {
        {"no settings file", false, ""},
        {"no port key", true, "<?xml version=\"1.0\"?>\n<Config>\n    <Global/>\n</Config>\n"},
        {"no Global section", true, "<?xml version=\"1.0\"?>\n<Config>\n    <Other/>\n</Config>\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CServiceRun run;
        if (c.writeFile)
            run.WriteSettings(c.xml);
        else
            run.RemoveSettings();
        ASSERT_TRUE(run.Start(xvfb.Display()));
        // A missing file is retried for about 3 s before the default applies.
        ASSERT_TRUE(run.WaitForOutput("port 4869\n", 15s)) << run.Output();
        EXPECT_TRUE(WaitUntil([] { return IsListeningLocal(4869); }, 10s)) << run.Output();
        run.Stop();
    }
}

TEST_F(ServiceStart, SecondInstanceReportsAndExitsWhileTheFirstKeepsRunning)
{
    CServiceRun first;
    first.WriteSettings(SettingsWithPort("4976"));
    ASSERT_TRUE(first.Start(xvfb.Display()));
    ASSERT_TRUE(WaitUntil([] { return IsListeningLocal(4976); }, 10s)) << first.Output();

    CServiceRun second;
    second.WriteSettings(SettingsWithPort("4977"));
    ASSERT_TRUE(second.Start(xvfb.Display()));
    ASSERT_TRUE(second.WaitForOutput("TavrinEP service is already running! ", 10s)) << second.Output();
    ASSERT_TRUE(second.Process().WaitExit(15s)) << "the second instance must not stay";
    EXPECT_NE(0, second.Process().ExitCode());
    EXPECT_EQ(std::string::npos, second.Output().find("port ")) << "the second instance must not start a server";

    EXPECT_TRUE(first.Process().Running());
    EXPECT_TRUE(IsListeningLocal(4976));
}

TEST_F(ServiceStart, ChineseLocaleShowsTheMessageFromTheChineseCatalogue)
{
    CServiceRun first;
    first.WriteSettings(SettingsWithPort("4978"));
    ASSERT_TRUE(first.Start(xvfb.Display()));
    ASSERT_TRUE(WaitUntil([] { return IsListeningLocal(4978); }, 10s)) << first.Output();

    CServiceRun second;
    ASSERT_TRUE(second.Start(xvfb.Display(), {{"LANG", "zh_CN.UTF-8"}, {"LC_ALL", "zh_CN.UTF-8"}}));
    ASSERT_TRUE(second.Process().WaitExit(15s));
    EXPECT_NE(std::string::npos, second.Output().find("TavrinEP服务已经在运行! ")) << second.Output();
}

TEST_F(ServiceStart, BusyCommandPortEndsStartUp)
{
    CServiceRun first;
    first.WriteSettings(SettingsWithPort("4979"));
    ASSERT_TRUE(first.Start(xvfb.Display()));
    ASSERT_TRUE(WaitUntil([] { return IsListeningLocal(4979); }, 10s)) << first.Output();
    first.Stop();
    // The lock is gone with the first process; a port held by another
    // program makes the start-up fail.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(4979);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(0, bind(s, (sockaddr*)&a, sizeof a));
    ASSERT_EQ(0, listen(s, 1));

    CServiceRun second;
    second.WriteSettings(SettingsWithPort("4979"));
    ASSERT_TRUE(second.Start(xvfb.Display()));
    EXPECT_TRUE(second.Process().WaitExit(15s)) << second.Output();
    EXPECT_NE(0, second.Process().ExitCode());
    close(s);
}
}  // namespace
