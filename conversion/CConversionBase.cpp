#include "conversion/CConversionBase.h"

#include "config/CConfigXML.h"
#include "conversion/CConversion.h"

#include <X11/Xlib.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace
{
// Size used when no X display can be opened.
constexpr int kFallbackWidth = 1920;
constexpr int kFallbackHeight = 1080;

// Raw coordinates of every board stay far below this; anything larger in the
// settings file is damage, not a calibration.
constexpr double kMaxRawMagnitude = 1e9;

std::atomic<int> g_nOverrideWidth{0};
std::atomic<int> g_nOverrideHeight{0};


// Truncation toward zero that stays defined for any double.
int TruncToInt(double v)
{
    if (!std::isfinite(v))
        return 0;
    if (v > 2147483647.0)
        return 2147483647;
    if (v < -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(v);
}

// Whole number divided by ten, rounded half away from zero.
int TenthRounded(int v)
{
    return static_cast<int>(std::lround(v / 10.0));
}
}  // namespace

CConversionBase::CConversionBase(const std::wstring& name, const char* key)
    : m_DotNum(0),
      m_strSection(SectionName(name)),
      m_strKey(key ? key : ""),
      m_nScreenWidth(0),
      m_nScreenHeight(0),
      m_nRows(0),
      m_nCols(0)
{
    std::memset(m_RawPoints, 0, sizeof(m_RawPoints));
    std::memset(m_ScreenPoints, 0, sizeof(m_ScreenPoints));
    std::memset(m_CameraArea, 0, sizeof(m_CameraArea));
}

CConversionBase::~CConversionBase() = default;

void CConversionBase::Initialize()
{
    ReadScreenSize();
    Update();
}

void CConversionBase::OverrideScreenSize(int width, int height)
{
    g_nOverrideWidth = width;
    g_nOverrideHeight = height;
}

void CConversionBase::SetScreenSize(int width, int height)
{
    m_nScreenWidth = width;
    m_nScreenHeight = height;
    m_bScreenSizeSet = true;
}

void CConversionBase::ReadScreenSize()
{
    if (m_bScreenSizeSet)
        return;
    const int ow = g_nOverrideWidth;
    const int oh = g_nOverrideHeight;
    if (ow > 0 && oh > 0)
    {
        m_nScreenWidth = ow;
        m_nScreenHeight = oh;
        return;
    }

    int w = 0;
    int h = 0;
    // A private connection: this runs on the hot-plug or work thread, where
    // neither GTK nor another thread's Display may be touched.
    if (Display* dpy = XOpenDisplay(nullptr))
    {
        const int scr = DefaultScreen(dpy);
        w = DisplayWidth(dpy, scr);
        h = DisplayHeight(dpy, scr);
        XCloseDisplay(dpy);
    }
    if (w <= 0 || h <= 0)
    {
        printf("ReadScreenSize: no X display, using %dx%d\n", kFallbackWidth, kFallbackHeight);
        fflush(stdout);
        w = kFallbackWidth;
        h = kFallbackHeight;
    }
    m_nScreenWidth = w;
    m_nScreenHeight = h;
}

void CConversionBase::Update()
{
    LoadConfig();
    ReadPosition();
    if (m_strSection == "TavrinWorkLT")
        ComputeCameraArea();
}

bool CConversionBase::RawToScreenChecked(const double* raw, ScreenPoint* out) const
{
    *out = RawToScreen(raw);
    return true;
}

bool CConversionBase::IsGridShape(int dotNum)
{
    return dotNum == 4 || dotNum == 9 || dotNum == 12 || dotNum == 20 || dotNum == 25;
}

void CConversionBase::LoadConfig()
{
    CConfigXML cfg;
    if (!cfg.Load(CONFIG_FILE))
        return;

    printf("%s\n", m_strSection.c_str());
    fflush(stdout);

    const char* section = m_strSection.c_str();
    const char* key = m_strKey.c_str();
    int dotNum = m_DotNum;
    cfg.GetInt(section, key, "dotNum", &dotNum, 0);

    if (dotNum != 0 && !IsGridShape(dotNum))
    {
        printf("CConversion: stored dotNum %d is not a calibration grid, ignoring the calibration\n", dotNum);
        fflush(stdout);
        dotNum = 0;
    }

    if (dotNum > 0)
    {
        // Read into a copy so a damaged entry leaves nothing half-applied.
        double pts[25][2];
        std::memcpy(pts, m_RawPoints, sizeof(pts));
        cfg.GetPointsD(section, key, "dot", dotNum, pts);
        bool sane = true;
        for (int k = 0; k < dotNum; ++k)
        {
            for (int a = 0; a < 2; ++a)
            {
                if (!std::isfinite(pts[k][a]) || std::fabs(pts[k][a]) > kMaxRawMagnitude)
                    sane = false;
            }
        }
        if (sane)
        {
            std::memcpy(m_RawPoints, pts, sizeof(pts));
        }
        else
        {
            printf("CConversion: stored calibration points are out of range, ignoring the calibration\n");
            fflush(stdout);
            dotNum = 0;
        }
    }
    m_DotNum = dotNum;
    cfg.Close();
}

void CConversionBase::ReadPosition()
{
    printf("In ReadPosition: m_DotNum = %d\n", m_DotNum);
    fflush(stdout);

    switch (m_DotNum)
    {
    case 4:
        m_nRows = 2;
        m_nCols = 2;
        break;
    case 12:
        m_nRows = 3;
        m_nCols = 4;
        break;
    case 20:
        m_nRows = 4;
        m_nCols = 5;
        break;
    case 25:
        m_nRows = 5;
        m_nCols = 5;
        break;
    default:
        m_nRows = 3;
        m_nCols = 3;
        break;
    }

    const double W = m_nScreenWidth;
    const double H = m_nScreenHeight;
    const int colDiv = m_nCols - 1;
    const int rowDiv = m_nRows - 1;
    for (int i = 0; i < m_nCols; ++i)
    {
        for (int j = 0; j < m_nRows; ++j)
        {
            const int k = i * m_nRows + j;
            m_ScreenPoints[k][0] = TruncToInt(W * 0.92 / colDiv * i + W * 0.04);
            m_ScreenPoints[k][1] = TruncToInt(H * 0.92 / rowDiv * j + H * 0.04);
        }
    }

    // m_DotNum is 0 or a grid shape here, so it never exceeds the targets laid out.
    const int shown = (m_DotNum > 0 && m_DotNum <= m_nRows * m_nCols) ? m_DotNum : 0;
    for (int k = 0; k < shown; ++k)
        std::cout << "(" << m_ScreenPoints[k][0] << "," << m_ScreenPoints[k][1] << ")" << std::endl;
}

void CConversionBase::ComputeCameraArea()
{
    const int R = m_nRows;
    const int K = m_nCols;
    if (R < 2 || K < 2 || R * K > 25)
        return;
    const int last = R * K - 1;

    int minX = 65535, maxX = 0, minY = 65535, maxY = 0;

    // Columns and rows whose raw values hold the low and high extremes; a grid
    // whose raw axes run opposite to the screen swaps them.
    const bool xRising = m_RawPoints[last][0] > m_RawPoints[0][0];
    const int lowCol = xRising ? 0 : K - 1;
    const int highCol = xRising ? K - 1 : 0;
    for (int r = 0; r < R; ++r)
    {
        const int lo = TruncToInt(m_RawPoints[lowCol * R + r][0]);
        const int hi = TruncToInt(m_RawPoints[highCol * R + r][0]);
        if (lo < minX)
            minX = lo;
        if (hi > maxX)
            maxX = hi;
    }

    const bool yRising = m_RawPoints[last][1] > m_RawPoints[0][1];
    const int lowRow = yRising ? 0 : R - 1;
    const int highRow = yRising ? R - 1 : 0;
    for (int c = 0; c < K; ++c)
    {
        const int lo = TruncToInt(m_RawPoints[c * R + lowRow][1]);
        const int hi = TruncToInt(m_RawPoints[c * R + highRow][1]);
        if (lo < minY)
            minY = lo;
        if (hi > maxY)
            maxY = hi;
    }

    const double mY = std::fabs(static_cast<double>(maxY) - minY) / 0.92 * 0.04 * 2.5;
    const double mX = std::fabs(static_cast<double>(maxX) - minX) / 0.92 * 0.04 * 2.3;

    const double top = minY - mY;
    const double bottom = maxY + mY;
    const double left = minX - mX;
    const double right = maxX + mX;

    m_CameraArea[2] = top > 0 ? TenthRounded(TruncToInt(top)) : 0;
    m_CameraArea[3] = bottom < 2400 ? TenthRounded(TruncToInt(bottom)) : 240;
    m_CameraArea[1] = left > 0 ? TenthRounded(TruncToInt(left)) : 0;
    m_CameraArea[0] = right < 3200 ? TenthRounded(TruncToInt(right)) : 320;
}

int32_t CConversionBase::RoundToPixel(double v)
{
    if (!std::isfinite(v))
        return 0;
    // Far beyond any screen; keeps the conversion defined for wild extrapolation.
    constexpr double kLimit = 1e9;
    if (v > kLimit)
        v = kLimit;
    else if (v < -kLimit)
        v = -kLimit;
    const double t = std::trunc(v);
    int32_t r = static_cast<int32_t>(t);
    if (v - t > 0.5)
        ++r;
    return r;
}

CConversionBase* CreateConversion(const std::wstring& name, const char* key)
{
    // Camera boards get their own projective mapping once it exists; until
    // then they share the grid interpolation.
    return new CConversion(name, key);
}
