#include "mouse/CMouseCtrlBase.h"

#include <charconv>
#include <cstdio>

#include "Linux/CMouseCtrlLinux.h"
#include "app/CAppServices.h"
#include "app/CClock.h"
#include "config/CConfigXML.h"

namespace
{
// Dual-mode record events.
enum
{
    DUAL_PRESS = 0,
    DUAL_MOVE = 1,
    DUAL_RELEASE = 2,
    DUAL_DOUBLE = 3,
};

// Decimal text to float in the "C" format whatever the process locale
// (leading blanks and a '+' sign allowed, trailing text ignored, 0 on junk).
float ParseFloat(const std::string& text)
{
    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    if (p < end && *p == '+')
        ++p;
    double value = 0.0;
    if (std::from_chars(p, end, value).ec != std::errc())
        return 0.0f;
    return static_cast<float>(value);
}

// Distance on one axis, without overflow for extreme points.
int64_t Dist(int a, int b)
{
    const int64_t d = static_cast<int64_t>(a) - b;
    return d < 0 ? -d : d;
}

// (a + b) / 2 + |b - a| / 2 with truncating division: the larger of the two.
int Larger(int a, int b)
{
    return static_cast<int>((static_cast<int64_t>(a) + b) / 2 + Dist(b, a) / 2);
}

// Truncation toward zero; out-of-range results (absurd weights in the
// settings) are clamped instead of being undefined.
int Trunc(double v)
{
    if (!(v == v))
        return 0;
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(v);
}

// Damping filter: two first-order stages shared by every pointer output of
// the process (one PSD board is served at a time). Guarded by its own mutex,
// taken only after a pointer output's m_Mutex, never the other way round.
struct DampStage
{
    bool bPrimed = false;
    int x = 0;
    int y = 0;
};
std::mutex g_DampMutex;
DampStage g_Damp1;
DampStage g_Damp2;

void DampingFilter(int x, int y, int* outX, int* outY)
{
    std::lock_guard<std::mutex> lock(g_DampMutex);
    if (!g_Damp1.bPrimed)
    {
        g_Damp1.bPrimed = true;
        g_Damp1.x = x;
        g_Damp1.y = y;
        *outX = x;
        *outY = y;
        return;
    }
    const int x1 = Trunc(0.2 * x + 0.8 * g_Damp1.x);
    const int y1 = Trunc(0.2 * y + 0.8 * g_Damp1.y);
    g_Damp1.x = x1;
    g_Damp1.y = y1;
    if (!g_Damp2.bPrimed)
    {
        g_Damp2.bPrimed = true;
        g_Damp2.x = x1;
        g_Damp2.y = y1;
        *outX = x1;
        *outY = y1;
        return;
    }
    g_Damp2.x = Trunc(0.5 * x1 + 0.5 * g_Damp2.x);
    g_Damp2.y = Trunc(0.5 * y1 + 0.5 * g_Damp2.y);
    *outX = g_Damp2.x;
    *outY = g_Damp2.y;
}
}  // namespace

CMouseCtrlBase::CMouseCtrlBase(const std::wstring& tag)
    : m_strTag(tag)
{
}

CMouseCtrlBase::~CMouseCtrlBase() = default;

void CMouseCtrlBase::LoadLimits()
{
    // Tags are ASCII class names.
    const std::string section = SectionName(m_strTag);
    int count = 0;
    int move = 0;
    std::string rc1;
    std::string rc2;
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.GetInt(section.c_str(), "Constants", "LIMIT_COUNT", &count, 0);
            cfg.GetInt(section.c_str(), "Constants", "LIMIT_MOVE", &move, 0);
            if (!cfg.GetAttribute(section.c_str(), "Constants", "RC1", &rc1))
                rc1.clear();
            if (!cfg.GetAttribute(section.c_str(), "Constants", "RC2", &rc2))
                rc2.clear();
        }
        cfg.Close();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_nLimitCount = count;
    m_nLimitMove = move;
    m_fRC1 = ParseFloat(rc1);
    m_fRC2 = ParseFloat(rc2);
}

void CMouseCtrlBase::SetLimits(int limitCount, int limitMove)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_nLimitCount = limitCount;
    m_nLimitMove = limitMove;
}

void CMouseCtrlBase::SetSmoothing(float rc1, float rc2)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_fRC1 = rc1;
    m_fRC2 = rc2;
}

int CMouseCtrlBase::GetLimitCount() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nLimitCount;
}

int CMouseCtrlBase::GetLimitMove() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nLimitMove;
}

float CMouseCtrlBase::GetRC1() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_fRC1;
}

float CMouseCtrlBase::GetRC2() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_fRC2;
}

void CMouseCtrlBase::ResetDampingFilter()
{
    std::lock_guard<std::mutex> lock(g_DampMutex);
    g_Damp1.bPrimed = false;
    g_Damp2.bPrimed = false;
}

void CMouseCtrlBase::RightClick()
{
    LeftUp();
    Clock().SleepUs(500);
    RightDown();
    Clock().SleepUs(500);
    RightUp();
}

void CMouseCtrlBase::PointerEvent(int x, int y, int kind)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    PointerEventLocked(x, y, kind);
}

void CMouseCtrlBase::PointerEventLocked(int x, int y, int kind)
{
    switch (kind)
    {
    case 0:
        m_nStillCount = 0;
        if (m_bPressed)
            LeftUp();
        m_bPressed = false;
        m_bRightDone = false;
        break;
    case 1:
    {
        if (!m_bPressed)
        {
            m_PressX = m_LastX = x;
            m_PressY = m_LastY = y;
            MoveTo(x, y);
            LeftDown();
            m_bPressed = true;
            break;
        }
        if (Dist(x, m_PressX) < m_nLimitMove && Dist(y, m_PressY) < m_nLimitMove)
            ++m_nStillCount;
        if (m_nLimitCount > 0 && m_nStillCount > m_nLimitCount && !m_bRightDone)
        {
            m_bRightDone = true;
            m_nStillCount = 0;
            RightClick();
        }
        const float fx = static_cast<float>(x) * m_fRC1 + static_cast<float>(m_LastX) * m_fRC2;
        const float fy = static_cast<float>(y) * m_fRC1 + static_cast<float>(m_LastY) * m_fRC2;
        const int nx = Trunc(fx);
        const int ny = Trunc(fy);
        MoveTo(nx, ny);
        m_LastX = nx;
        m_LastY = ny;
        break;
    }
    case 2:
        RightClick();
        break;
    case 3:
        LeftDown();
        LeftUp();
        break;
    case 4:
        MoveTo(x, y);
        break;
    case 5:
        if (m_bPressed)
        {
            LeftUp();
            LeftDown();
        }
        break;
    default:
        break;
    }
}

void CMouseCtrlBase::PointerEventAveraged(int x, int y, int kind)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (kind == 0)
    {
        m_nStillCount = 0;
        if (m_bPressed)
            LeftUp();
        m_bPressed = false;
        m_bRightDone = false;
        // The still mode and its reference point carry over to the next contact.
        m_nSmoothStage = 0;
        m_nWarmup = 0;
        m_nPhase = 0;
        m_nGroup = 0;
        return;
    }
    if (kind != 1 || !m_bPressed)
    {
        PointerEventLocked(x, y, kind);
        return;
    }
    if (Dist(x, m_PressX) < m_nLimitMove && Dist(y, m_PressY) < m_nLimitMove)
        ++m_nStillCount;
    if (m_nLimitCount > 0 && m_nStillCount > m_nLimitCount && !m_bRightDone)
    {
        m_bRightDone = true;
        m_nStillCount = 0;
        RightClick();
    }
    AveragingFilter(x, y);
}

void CMouseCtrlBase::AveragingFilter(int x, int y)
{
    if (m_nWarmup == 0)
    {
        m_nWarmup = 1;
        MoveTo(x, y);
        ++m_nGroup;
        return;
    }
    if (m_nGroup == 1)
    {
        m_RefX = x;
        m_RefY = y;
    }
    else if (m_nGroup == 10)
    {
        m_nGroup = 0;
        m_bStillMode = Dist(x, m_RefX) <= 19 && Dist(y, m_RefY) <= 19;
    }
    if (m_bStillMode)
    {
        switch (m_nPhase)
        {
        case 0:
            m_FirstX = x;
            m_FirstY = y;
            m_nPhase = 1;
            break;
        case 1:
        case 2:
            ++m_nPhase;
            break;
        default:
            m_FourthX = x;
            m_FourthY = y;
            Smoother(Larger(m_FirstX, m_FourthX), Larger(m_FirstY, m_FourthY));
            m_nPhase = 0;
            break;
        }
    }
    else
    {
        m_nPhase = 0;
        Smoother(x, y);
    }
    ++m_nGroup;
}

void CMouseCtrlBase::Smoother(int x, int y)
{
    const double a = 0.5;
    int ox;
    int oy;
    switch (m_nSmoothStage)
    {
    case 0:
        ox = x;
        oy = y;
        m_X2 = x;
        m_Y2 = y;
        m_nSmoothStage = 1;
        break;
    case 1:
        ox = Trunc(a * x + (1 - a) * m_X2);
        oy = Trunc(a * y + (1 - a) * m_Y2);
        m_X1 = x;
        m_Y1 = y;
        m_nSmoothStage = 2;
        break;
    default:
    {
        const double h = (1 - a) / 2;
        ox = Trunc(a * x + h * m_X1 + h * m_X2);
        oy = Trunc(a * y + h * m_Y1 + h * m_Y2);
        m_X2 = m_X1;
        m_Y2 = m_Y1;
        m_X1 = ox;
        m_Y1 = oy;
        break;
    }
    }
    MoveTo(ox, oy);
}

void CMouseCtrlBase::PointerEventDamped(int x, int y, int kind)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    switch (kind)
    {
    case 0:
        m_nStillCount = 0;
        if (m_bPressed)
        {
            m_bPressed = false;
            LeftUp();
            ResetDampingFilter();
        }
        m_bPressed = false;
        m_bRightDone = false;
        break;
    case 1:
    {
        if (!m_bPressed)
        {
            m_PressX = x;
            m_PressY = y;
            MoveTo(x, y);
            LeftDown();
            m_bPressed = true;
            break;
        }
        if (Dist(x, m_PressX) < m_nLimitMove && Dist(y, m_PressY) < m_nLimitMove)
            ++m_nStillCount;
        // No LIMIT_COUNT > 0 condition here: with 0 the first still move
        // right-clicks.
        if (m_nStillCount > m_nLimitCount && !m_bRightDone)
        {
            m_bRightDone = true;
            m_nStillCount = 0;
            RightClick();
        }
        int dx;
        int dy;
        DampingFilter(x, y, &dx, &dy);
        MoveTo(dx, dy);
        break;
    }
    case 2:
    case 3:
    case 4:
        PointerEventLocked(x, y, kind);
        break;
    default:
        break;
    }
}

void CMouseCtrlBase::DualPointerEvent(int x, int y, int kind)
{
    // Records go out after the lock is released, so the channel's own
    // locking never nests inside ours. Only the work thread sends them, so
    // their order is kept.
    DualRecords out;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DualPointerEventLocked(x, y, kind, out);
    }
    CAppServices& app = AppServices();
    for (int i = 0; i < out.nCount; ++i)
        app.SendDualPoint(out.rec[i][0], out.rec[i][1], out.rec[i][2]);
}

void CMouseCtrlBase::DualPointerEventLocked(int x, int y, int kind, DualRecords& out)
{
    switch (kind)
    {
    case 0:
    {
        if (!m_bPressed2)
            break;
        m_bPressed2 = false;
        m_bRightDone2 = false;
        m_nStillCount2 = 0;
        out.Add(DUAL_RELEASE, m_LastX2, m_LastY2);
        if (m_bStill2)
        {
            const int64_t now = Clock().NowMs();
            if (now - m_nPrevStillTime2 <= 499 && m_bPrevClickStill2)
            {
                const int64_t near = 4 * static_cast<int64_t>(m_nLimitMove);
                if (Dist(m_PressX2, m_PrevPressX2) < near && Dist(m_PressY2, m_PrevPressY2) < near)
                    out.Add(DUAL_DOUBLE, x, y);
            }
            else
            {
                printf("single click\n");
                fflush(stdout);
            }
            m_bPrevClickStill2 = m_bStill2;
            m_nPrevStillTime2 = now;
            m_PrevPressX2 = m_PressX2;
            m_PrevPressY2 = m_PressY2;
        }
        m_bStill2 = false;
        break;
    }
    case 1:
    {
        if (!m_bPressed2)
        {
            m_PressX2 = m_LastX2 = x;
            m_PressY2 = m_LastY2 = y;
            out.Add(DUAL_MOVE, x, y);
            out.Add(DUAL_PRESS, x, y);
            m_bPressed2 = true;
            break;
        }
        m_bStill2 = true;
        if (Dist(x, m_PressX2) < m_nLimitMove && Dist(y, m_PressY2) < m_nLimitMove)
            ++m_nStillCount2;
        else
            m_bStill2 = false;
        if (m_nStillCount2 > 20)
            m_bStill2 = false;
        if (m_nLimitCount > 0 && m_nStillCount2 > m_nLimitCount && !m_bRightDone2)
        {
            // No record stands for the hold: only the state moves on.
            m_bRightDone2 = true;
            m_nStillCount2 = 0;
        }
        const float fx = static_cast<float>(x) * m_fRC1 + static_cast<float>(m_LastX2) * m_fRC2;
        const float fy = static_cast<float>(y) * m_fRC1 + static_cast<float>(m_LastY2) * m_fRC2;
        const int nx = Trunc(fx);
        const int ny = Trunc(fy);
        out.Add(DUAL_MOVE, nx, ny);
        m_LastX2 = nx;
        m_LastY2 = ny;
        break;
    }
    case 3:
        out.Add(DUAL_PRESS, x, y);
        out.Add(DUAL_RELEASE, x, y);
        break;
    case 4:
        out.Add(DUAL_MOVE, x, y);
        break;
    default:
        break;
    }
}

CMouseCtrlBase* CreateMouseCtrl(const std::wstring& tag)
{
    return new CMouseCtrlLinux(tag);
}
