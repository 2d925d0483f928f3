#include "sidekey/CSidekeyProcess.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "config/CConfigXML.h"

namespace
{
const wchar_t* const kActions[CSidekeyProcess::ACTION_COUNT] = {
    L"anew", L"save", L"prev", L"next", L"mous", L"bpen", L"rpen",
    L"lpen", L"gpen", L"eare", L"cust", L"cusp", L"orient", L"board",
};

// Actions that name a pen tool of one user: in dual mode the second user's
// are marked so the whiteboard application applies them to that user.
const wchar_t* const kUserTools[] = {
    L"mous", L"bpen", L"rpen", L"lpen", L"gpen", L"eare",
    L"bped", L"rped", L"lped", L"gped",
};

bool IsUserTool(const std::wstring& action)
{
    for (const wchar_t* tool : kUserTools)
        if (action == tool)
            return true;
    return false;
}

// Double-press datagram of a pen colour, or null.
const wchar_t* PenDouble(const std::wstring& action)
{
    if (action == L"bpen")
        return L"bped";
    if (action == L"rpen")
        return L"rped";
    if (action == L"lpen")
        return L"lped";
    if (action == L"gpen")
        return L"gped";
    return nullptr;
}

int TruncToInt(double v)
{
    if (!(v == v))
        return 0;
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(v);
}

enum
{
    OP_SEND,
    OP_POST,
    OP_STOP_WINDOW,
    OP_RIGHT_CLICK,
};
}  // namespace

// Calls into the application collected under the lock, run after it.
struct CSidekeyProcess::COps
{
    enum
    {
        MAX_OPS = 8,
        MAX_TEXT = 14,
    };
    struct Op
    {
        int type;
        int request;
        int length;
        char text[MAX_TEXT + 1];
    };
    Op ops[MAX_OPS];
    int count = 0;

    Op* Add(int type)
    {
        // A DoAction needs at most six; never overrun.
        if (count >= MAX_OPS)
            return nullptr;
        Op* op = &ops[count++];
        op->type = type;
        op->request = 0;
        op->length = 0;
        op->text[0] = '\0';
        return op;
    }
    void Post(int request)
    {
        if (Op* op = Add(OP_POST))
            op->request = request;
    }
};

CSidekeyProcess::CSidekeyProcess(bool bHadHand, const std::wstring& tag)
    : m_strTag(tag), m_bHadHand(bHadHand)
{
    for (int i = 0; i < ACTION_COUNT; ++i)
        m_Actions[i] = kActions[i];
}

CSidekeyProcess::~CSidekeyProcess() = default;

std::string CSidekeyProcess::Section() const
{
    return SectionName(m_strTag);
}

void CSidekeyProcess::LoadKeys()
{
    const std::string section = Section();
    // A key missing from the file keeps its previous centre.
    double keys[KEY_COUNT][2];
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        memcpy(keys, m_KeyPoints, sizeof(keys));
    }
    int pointSize = 0;
    int enable = 0;
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.GetPointsD(section.c_str(), "HOTKEY", "key", KEY_COUNT, keys);
            cfg.GetInt(section.c_str(), "Constants", "SIDEKEY_POINT_SIZE", &pointSize, 0);
            cfg.GetInt(section.c_str(), "Flag", "Enable_Soft_Sidekey", &enable, 0);
        }
        cfg.Close();
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        memcpy(m_KeyPoints, keys, sizeof(keys));
        m_nPointSize = pointSize;
        m_bEnabled = !m_bHadHand && enable != 0;
    }
    if (m_strTag == L"TavrinWorkIRX" || m_strTag == L"TavrinWorkPSD")
        ComputePointSize();
}

void CSidekeyProcess::RefreshEnable()
{
    int enable = 0;
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
            cfg.GetInt(Section().c_str(), "Flag", "Enable_Soft_Sidekey", &enable, 0);
        cfg.Close();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bEnabled = !m_bHadHand && enable != 0;
}

void CSidekeyProcess::ComputePointSize()
{
    int size;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const double (*k)[2] = m_KeyPoints;
        const double sum = (k[1][1] - k[0][1]) + (k[12][1] - k[11][1]) + (k[6][1] - k[5][1]) +
                           (k[16][1] - k[15][1]) + (k[27][1] - k[26][1]);
        size = TruncToInt(sum / 9);
        m_nPointSize = size;
    }
    printf("......SIDEKEY_POINT_SIZE=%d\n", size);
    fflush(stdout);
}

int CSidekeyProcess::HitTest(int x, int y)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_bEnabled)
        return -1;
    for (int i = 0; i < KEY_COUNT; ++i)
    {
        if (std::fabs(m_KeyPoints[i][0] - x) < m_nPointSize &&
            std::fabs(m_KeyPoints[i][1] - y) < m_nPointSize)
            return i;
    }
    return -1;
}

void CSidekeyProcess::FireKey(int index, int pressType)
{
    if (index < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_nPressType = pressType;
    }
    DoAction(m_Actions[index % ACTION_COUNT]);
}

void CSidekeyProcess::DoAction(const std::wstring& action)
{
    COps ops;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto stopWindow = [&]() {
            ops.Add(OP_STOP_WINDOW);
            m_bArmed = false;
        };
        auto startWindow = [&]() {
            ops.Post(REQ_START_TIMER_LONG);
            m_bArmed = true;
        };

        if (m_bArmed && action == m_strPending)
        {
            // Second press within the window.
            const wchar_t* doubled = PenDouble(action);
            if (action == L"front" && m_strFront == L"elfc")
            {
                m_strPending.clear();
                SendActionLocked(ops, L"elfd", true);
                stopWindow();
            }
            else if (action == L"back")
            {
                stopWindow();
                if (m_strBack == L"elbc")
                {
                    m_strPending.clear();
                    SendActionLocked(ops, L"elbd", true);
                }
                else
                {
                    SendActionLocked(ops, m_strBack, true);
                    SendActionLocked(ops, m_strBack, true);
                    m_strPending.clear();
                }
                ops.Post(REQ_RUN_WHITEBOARD);
            }
            else if (doubled)
            {
                m_strPending.clear();
                SendActionLocked(ops, doubled, false);
                stopWindow();
            }
            else
            {
                // Two single presses: the first completes now, the second waits.
                stopWindow();
                EndActionLocked(ops);
                m_strPending = action;
                startWindow();
            }
        }
        else
        {
            if (m_bArmed)
            {
                // Another action ends the earlier one as a single press.
                stopWindow();
                EndActionLocked(ops);
            }
            if (action == L"front" && m_strFront == L"elfc")
                SendActionLocked(ops, L"elfc", true);
            else if (action == L"back" && m_strBack == L"elbc")
                SendActionLocked(ops, L"elbc", true);
            m_strPending = action;
            startWindow();
        }
    }
    RunOps(ops);
}

void CSidekeyProcess::EndAction()
{
    COps ops;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        // An expiry that arrives after this side already closed the window
        // (a double press or another key raced the timer) has nothing left
        // to finish; acting on it would send the action a second time.
        if (!m_bArmed)
            return;
        m_bArmed = false;
        EndActionLocked(ops);
    }
    RunOps(ops);
}

void CSidekeyProcess::EndActionLocked(COps& ops)
{
    const std::wstring& pending = m_strPending;
    if (pending.empty())
        return;
    if (pending == L"orient")
    {
        ops.Post(REQ_RUN_ORIENT);
    }
    else if (pending == L"board")
    {
        ops.Post(REQ_RUN_WHITEBOARD);
    }
    else if (pending == L"front")
    {
        // The default's datagram went out with the press.
        if (m_strFront != L"elfc")
            SendActionLocked(ops, m_strFront, true);
    }
    else if (pending == L"back")
    {
        if (!g_bInBoardFrame)
            ops.Add(OP_RIGHT_CLICK);
        if (m_strBack != L"elbc")
            SendActionLocked(ops, m_strBack, true);
    }
    else
    {
        SendActionLocked(ops, pending, false);
    }
}

void CSidekeyProcess::SendAction(const std::wstring& action, bool raw)
{
    COps ops;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        SendActionLocked(ops, action, raw);
    }
    RunOps(ops);
}

void CSidekeyProcess::SendActionLocked(COps& ops, const std::wstring& action, bool raw)
{
    COps::Op* op = ops.Add(OP_SEND);
    if (!op)
        return;
    int n = 0;
    if (!raw && m_nPressType == 2 && IsUserTool(action))
        n = snprintf(op->text, sizeof(op->text), "#%s@Stu", "VQ");
    for (size_t i = 0; i < action.size() && i < 4 && n < COps::MAX_TEXT; ++i)
    {
        const wchar_t c = action[i];
        op->text[n++] = (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    }
    op->text[n] = '\0';
    op->length = n;
}

void CSidekeyProcess::RunOps(const COps& ops)
{
    CAppServices& app = AppServices();
    for (int i = 0; i < ops.count; ++i)
    {
        const COps::Op& op = ops.ops[i];
        switch (op.type)
        {
        case OP_SEND:
            app.SendDatagram(op.text, op.length);
            break;
        case OP_POST:
            app.PostAppRequest(op.request);
            break;
        case OP_STOP_WINDOW:
            app.StopLongTimer();
            break;
        case OP_RIGHT_CLICK:
            app.RightClickAtWorkPoint();
            break;
        default:
            break;
        }
    }
}

void CSidekeyProcess::SetFrontAction(const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_strFront = text;
}

void CSidekeyProcess::SetBackAction(const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_strBack = text;
}

std::wstring CSidekeyProcess::GetFrontAction() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strFront;
}

std::wstring CSidekeyProcess::GetBackAction() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strBack;
}

bool CSidekeyProcess::IsEnabled() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bEnabled;
}

int CSidekeyProcess::GetPointSize() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nPointSize;
}

void CSidekeyProcess::GetKeyPoint(int index, double* x, double* y) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (index < 0 || index >= KEY_COUNT)
    {
        *x = *y = 0.0;
        return;
    }
    *x = m_KeyPoints[index][0];
    *y = m_KeyPoints[index][1];
}

std::wstring CSidekeyProcess::GetPendingAction() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strPending;
}

int CSidekeyProcess::GetPressType() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nPressType;
}
