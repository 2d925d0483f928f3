// Cost of one board packet on its way from the device buffer to the pointer
// output, in pieces and as a whole. Every benchmark reports "allocs", the
// heap allocations per packet, which must stay 0.
//
// Run from any directory: it works in a temporary installation directory of
// its own (settings with a 9-point calibration) and removes it at the end.
#include "app/CAppServices.h"
#include "app/CClock.h"
#include "conversion/CConversion.h"
#include "device/CDeviceBase.h"
#include "mouse/CMouseCtrlBase.h"
#include "work/CTavrinWorkETPD.h"

#include <benchmark/benchmark.h>
#include <wx/init.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

namespace
{
std::atomic<long> g_nAllocs{0};
}

// Counting replacements of the global allocation functions. GCC cannot see
// that new and delete here pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n)
{
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace
{
// Pointer output that goes nowhere: only the logic is measured.
class CNullMouse : public CMouseCtrlBase
{
public:
    explicit CNullMouse(const std::wstring& tag) : CMouseCtrlBase(tag) {}
    void LeftDown() override {}
    void RightDown() override {}
    void LeftUp() override {}
    void RightUp() override {}
    void MoveTo(int x, int y) override { benchmark::DoNotOptimize(x + y); }
};

class CIdleDevice : public CDeviceBase
{
public:
    explicit CIdleDevice(const DeviceDescriptor& d) : CDeviceBase(d) {}
    bool Open() override { return true; }
    bool Init() override { return true; }
    void Close() override {}
    int Read(unsigned char*, int) override { return 0; }
    int Write(const unsigned char*, int n) override { return n; }
    int SendStartCommand() override { return 8; }
};

class CNoSleepClock : public CClock
{
public:
    void SleepMs(int) override {}
    void SleepUs(int) override {}
};

class CBenchWork : public CTavrinWorkETPD
{
public:
    CMouseCtrlBase* CreatePointerOutput() override { return new CNullMouse(m_strName); }
    void Load(const unsigned char* p) { memcpy(m_pBuf, p, 8); }
};

// ETPD packet at raw (x, y) with its checksum.
void MakePacket(unsigned char* p, unsigned char code, int x, int y)
{
    int vx = 16384 - x, vy = 16384 - y;
    unsigned char b[8] = {0xEE, 0, code, (unsigned char)((vx >> 7) & 0x7F), (unsigned char)(vx & 0x7F),
                          (unsigned char)((vy >> 7) & 0x7F), (unsigned char)(vy & 0x7F), 0};
    for (int i = 0; i < 7; ++i)
        b[7] ^= b[i];
    memcpy(p, b, 8);
}

// A mirrored board (raw falls to the right and downwards), slightly skewed.
void FillGrid(CConversionBase& c, int dotNum, int rows, int cols)
{
    c.m_DotNum = dotNum;
    for (int i = 0; i < cols; ++i)
        for (int j = 0; j < rows; ++j)
        {
            int k = i * rows + j;
            c.m_RawPoints[k][0] = 15000.0 - 13000.0 * i / (cols - 1) + 40.0 * j;
            c.m_RawPoints[k][1] = 15500.0 - 14000.0 * j / (rows - 1) - 25.0 * i;
        }
}

constexpr int PACKETS = 256;
unsigned char g_Packets[PACKETS][8];

void FillPackets(int pressEvery)
{
    for (int i = 0; i < PACKETS; ++i)
    {
        int x = 1500 + (i * 97) % 13000, y = 1200 + (i * 53) % 14000;
        MakePacket(g_Packets[i], (i % pressEvery == pressEvery - 1) ? 0x83 : 0x81, x, y);
    }
}

std::string g_strDir;
CBenchWork* g_pWork = nullptr;
CNoSleepClock g_Clock;

void WriteSettings()
{
    FILE* f = fopen("Config/config.xml", "w");
    if (!f)
        return;
    fprintf(f,
            "<?xml version=\"1.0\"?>\n<Config>\n <Global><Device path=\"\"/><CurrentRun TYPE=\"\"/></Global>\n"
            " <TavrinWorkETPD>\n  <Flag Is_Had_Hand=\"0\" Enable_Soft_Sidekey=\"1\"/>\n"
            "  <Constants LIMIT_COUNT=\"40\" LIMIT_MOVE=\"6\" RC1=\"0.6\" RC2=\"0.4\" SIDEKEY_POINT_SIZE=\"30\"/>\n"
            "  <ETPANSET Is_Default=\"1\"/>\n  <HOTKEY");
    // Soft keys along the top edge, outside the packets' area.
    for (int k = 0; k < 28; ++k)
        fprintf(f, " key%d=\"(%d.000000,16300.000000)\"", k, 600 + 500 * k);
    fprintf(f, "/>\n  <coordinate dotNum=\"9\"");
    CConversion grid(L"TavrinWorkETPD", "coordinate");
    FillGrid(grid, 9, 3, 3);
    for (int k = 0; k < 9; ++k)
        fprintf(f, " dot%d=\"(%lf,%lf)\"", k, grid.m_RawPoints[k][0], grid.m_RawPoints[k][1]);
    fprintf(f, "/>\n </TavrinWorkETPD>\n</Config>\n");
    fclose(f);
}

void Report(benchmark::State& state, long allocsBefore)
{
    state.counters["allocs"] =
        benchmark::Counter((double)(g_nAllocs.load() - allocsBefore), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

void BM_CheckDecodeType(benchmark::State& state)
{
    FillPackets(8);
    int i = 0;
    long before = g_nAllocs.load();
    for (auto _ : state)
    {
        g_pWork->Load(g_Packets[i++ & (PACKETS - 1)]);
        bool ok = g_pWork->CheckPacket() && g_pWork->DecodePoint();
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(g_pWork->GetPacketType());
    }
    Report(state, before);
}
BENCHMARK(BM_CheckDecodeType);

CConversion* g_pGrid9 = nullptr;
CConversion* g_pGrid20 = nullptr;

CConversion* MakeGrid(int dotNum, int rows, int cols)
{
    auto* c = new CConversion(L"TavrinWorkETPD", "coordinate");
    c->SetScreenSize(1920, 1080);
    FillGrid(*c, dotNum, rows, cols);
    c->ReadPosition();
    return c;
}

void BM_RawToScreen(benchmark::State& state)
{
    const CConversion& c = state.range(0) == 20 ? *g_pGrid20 : *g_pGrid9;
    double raw[PACKETS][2];
    for (int i = 0; i < PACKETS; ++i)
    {
        raw[i][0] = 1500 + (i * 97) % 13000;
        raw[i][1] = 1200 + (i * 53) % 14000;
    }
    int i = 0;
    long before = g_nAllocs.load();
    for (auto _ : state)
        benchmark::DoNotOptimize(c.RawToScreen(raw[i++ & (PACKETS - 1)]));
    Report(state, before);
}
BENCHMARK(BM_RawToScreen)->Arg(9)->Arg(20);

void BM_PointerLogic(benchmark::State& state)
{
    CNullMouse m(L"TavrinWorkETPD");
    m.SetLimits(40, 6);
    m.SetSmoothing(0.6f, 0.4f);
    int i = 0;
    long before = g_nAllocs.load();
    for (auto _ : state)
    {
        int n = i++;
        m.PointerEvent(300 + (n & 63), 200 + (n & 31), (n & 63) == 63 ? 0 : 1);
    }
    Report(state, before);
}
BENCHMARK(BM_PointerLogic);

// The whole path the read loop takes for a packet it has read: copy, check,
// decode, classify, soft-key test, mapping, pointer logic, under the
// handler lock. Contacts of 32 packets.
void BM_WholePacket(benchmark::State& state)
{
    FillPackets(32);
    int i = 0;
    long before = g_nAllocs.load();
    for (auto _ : state)
        g_pWork->HandleOnePacket(g_Packets[i++ & (PACKETS - 1)]);
    Report(state, before);
}
BENCHMARK(BM_WholePacket);
}  // namespace

int main(int argc, char** argv)
{
    wxInitializer wx;
    if (!wx.IsOk())
        return 1;
    char tmpl[] = "/tmp/tavrin-bench-XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0)
        return 1;
    g_strDir = tmpl;
    if (system("mkdir -p Config") != 0)
        return 1;
    WriteSettings();
    SetClock(&g_Clock);
    CConversionBase::OverrideScreenSize(1920, 1080);

    // Set-up chatter (settings, mapping) goes to stdout before the table.
    DeviceDescriptor d;
    d.kind = DEVICE_HID;
    d.style = 20;
    g_pWork = new CBenchWork();
    if (!g_pWork->SetDevice(new CIdleDevice(d)))
        return 1;
    g_pGrid9 = MakeGrid(9, 3, 3);
    g_pGrid20 = MakeGrid(20, 4, 5);
    // Set-up allocates plenty; a 0 here would mean the counter is not hooked in.
    printf("allocations during set-up: %ld\n", g_nAllocs.load());
    fflush(stdout);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    delete g_pGrid9;
    delete g_pGrid20;
    delete g_pWork;
    SetClock(nullptr);
    if (chdir("/") == 0)
    {
        std::string cmd = "rm -rf '" + g_strDir + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", g_strDir.c_str());
    }
    return 0;
}
