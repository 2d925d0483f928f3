#include "work/CTavrinWorkETPD.h"

#include "app/AppGlobals.h"
#include "app/CAppServices.h"
#include "app/CClock.h"
#include "config/CConfigXML.h"
#include "conversion/COrientProcess.h"
#include "mouse/CMouseCtrlBase.h"
#include "sidekey/CSidekeyProcess.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr unsigned char SOURCE_T = 0xEE;
constexpr unsigned char SOURCE_S = 0xAA;

constexpr unsigned char CODE_PRESS = 0x81;
constexpr unsigned char CODE_RELEASE = 0x83;
constexpr unsigned char CODE_FRONT = 0x85;
constexpr unsigned char CODE_BACK = 0x87;
// ET boards' press and release; the release carries its position.
constexpr unsigned char CODE_ET_PRESS = 0x51;
constexpr unsigned char CODE_ET_RELEASE = 0x61;

// Keys 0..13 are the first user's half of the soft keys in dual mode.
constexpr int FIRST_HALF_KEYS = 14;

const wchar_t* const s_PenButtons[] = {
    L"anew", L"save", L"prev", L"next", L"moue", L"pend", L"earh", L"pend", L"pend", L"pend", L"pend",
};
constexpr int PEN_BUTTON_COUNT = sizeof s_PenButtons / sizeof s_PenButtons[0];

// Hot-key actions and their codes in the board's two key sets.
struct HotKey
{
    const wchar_t* action;
    unsigned char first;
    unsigned char second;
};
const HotKey s_HotKeys[] = {
    {L"anew", 0xFA, 0xDA}, {L"save", 0xFB, 0xDB}, {L"prev", 0xFC, 0xDC},   {L"next", 0xFD, 0xDD},
    {L"mous", 0xFE, 0xDE}, {L"bpen", 0xFF, 0xDF}, {L"rpen", 0xF2, 0xD2},   {L"lpen", 0xF3, 0xD3},
    {L"gpen", 0xF4, 0xD4}, {L"eare", 0xF5, 0xD5}, {L"cust", 0xF6, 0xD6},   {L"cusp", 0xF7, 0xD7},
    {L"orient", 0xF8, 0xD8}, {L"board", 0xF9, 0xD9},
};

// Built once so the button handlers pass existing strings (these names are
// too long for the short-string buffer and would allocate per press).
const std::wstring& FrontAction()
{
    static const std::wstring s(L"front");
    return s;
}
const std::wstring& BackAction()
{
    static const std::wstring s(L"back");
    return s;
}
}  // namespace

CTavrinWorkETPD::CTavrinWorkETPD()
{
    m_strName = L"TavrinWorkETPD";
    for (const HotKey& k : s_HotKeys)
    {
        m_HotKeyMap[k.first] = k.action;
        m_HotKeyMap[k.second] = k.action;
    }
}

CTavrinWorkETPD::~CTavrinWorkETPD()
{
    AppServices().CloseDualChannel();
}

const wchar_t* CTavrinWorkETPD::PenButtonAction(int index)
{
    if (index < 0 || index >= PEN_BUTTON_COUNT)
        return nullptr;
    return s_PenButtons[index];
}

bool CTavrinWorkETPD::SetDevice(CDeviceBase* pDev)
{
    if (!CTavrinWorkBase::SetDevice(pDev))
        return false;
    return LoadPenSettings();
}

int CTavrinWorkETPD::GetPacketType()
{
    const unsigned char source = m_pBuf[0];
    switch (m_pBuf[2])
    {
    case CODE_PRESS:
        return source == SOURCE_S ? PACKET_PRESS_S : PACKET_PRESS_T;
    case CODE_RELEASE:
        return source == SOURCE_S ? PACKET_RELEASE_S : PACKET_RELEASE_T;
    case CODE_FRONT:
        return PACKET_FRONT_KEY;
    case CODE_BACK:
        return PACKET_BACK_KEY;
    default:
        return PACKET_OTHER;
    }
}

bool CTavrinWorkETPD::DecodePoint()
{
    // 14 bits per axis, mirrored: the board counts from the opposite corner.
    m_RawX = 16384 - ((m_pBuf[3] & 0x7F) * 128 + (m_pBuf[4] & 0x7F));
    m_RawY = 16384 - ((m_pBuf[5] & 0x7F) * 128 + (m_pBuf[6] & 0x7F));
    return true;
}

bool CTavrinWorkETPD::LoadPenSettings()
{
    std::string section = Section();
    int isDefault = 0, front = 0, back = 0;
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.GetInt(section.c_str(), "ETPANSET", "Is_Default", &isDefault, 0);
            if (isDefault == 0)
            {
                cfg.GetInt(section.c_str(), "ETPANSET", "FRONT", &front, 0);
                cfg.GetInt(section.c_str(), "ETPANSET", "BACK", &back, 0);
            }
        }
        cfg.Close();
    }

    if (isDefault == 1)
    {
        m_strFront = L"elfc";
        m_strBack = L"elbc";
    }
    else if (isDefault == 0)
    {
        const wchar_t* f = PenButtonAction(front);
        const wchar_t* b = PenButtonAction(back);
        if (f && b)
        {
            m_strFront = f;
            m_strBack = b;
        }
    }

    printf("front:%ls back:%ls\n", m_strFront.c_str(), m_strBack.c_str());
    fflush(stdout);
    if (m_pSidekey)
    {
        m_pSidekey->SetFrontAction(m_strFront);
        m_pSidekey->SetBackAction(m_strBack);
    }
    return true;
}

void CTavrinWorkETPD::OnPressT()
{
    const int mode = m_nMode;
    if (mode == WORK_MODE_NORMAL)
    {
        if (HandleSoftKey((int)m_RawX, (int)m_RawY, 1))
            return;
        MapPoint();
        if (m_pMouse)
            m_pMouse->PointerEvent(m_Point.x, m_Point.y, 1);
    }
    else if (mode == WORK_MODE_CALIBRATE || mode == WORK_MODE_SIDEKEY)
    {
        if (m_pOrient && m_pOrient->AddSample((int)m_RawX, (int)m_RawY))
            FinishCalibration(mode);
    }
}

void CTavrinWorkETPD::FinishCalibration(int mode)
{
    printf("....return true\n");
    fflush(stdout);
    SleepUnlocked(1000);
    MapPoint();
    if (m_pMouse)
        m_pMouse->PointerEvent(m_Point.x, m_Point.y, 4);
    // The pen is still down on the last target: nothing may act on this
    // contact any more.
    DrainPressPackets();
    if (mode == WORK_MODE_CALIBRATE)
    {
        if (m_pConversion)
            m_pConversion->Update();
    }
    else if (m_pSidekey)
    {
        m_pSidekey->LoadKeys();
    }
    // A calibration the companion program started again meanwhile stays on.
    int expected = mode;
    m_nMode.compare_exchange_strong(expected, WORK_MODE_NORMAL);
}

void CTavrinWorkETPD::DrainPressPackets()
{
    unsigned char* buf = ReadBuffer();
    if (!buf)
        return;
    CHandlerUnlock unlock(this);
    while (!IsStopRequested())
    {
        memset(buf, 0, m_nBufLen);
        if (ReadPacket(buf, m_nBufLen) != m_nBufLen)
            return;  // silence or a pulled board: the contact is over
        if (buf[2] != CODE_ET_PRESS && buf[2] != CODE_PRESS)
            return;
    }
}

void CTavrinWorkETPD::OnPressS()
{
    if (!m_bDual && !m_bDualSplit)
    {
        OnPressT();
        return;
    }
    MapPoint();
    if (HandleSoftKey((int)m_RawX, (int)m_RawY, 2))
        return;
    if (m_pMouse)
        m_pMouse->DualPointerEvent(m_Point.x, m_Point.y, 1);
}

void CTavrinWorkETPD::OnReleaseT()
{
    if (m_pOrient)
        m_pOrient->ResetPoint();
    m_bKeyFired = 0;
    if (m_pMouse)
        m_pMouse->PointerEvent(m_Point.x, m_Point.y, 0);
    if (m_pBuf && m_pBuf[2] == CODE_ET_RELEASE && m_nMode == WORK_MODE_NORMAL)
    {
        MapPoint();
        if (m_pMouse)
            m_pMouse->PointerEvent(m_Point.x, m_Point.y, 4);
    }
}

void CTavrinWorkETPD::OnReleaseS()
{
    if (!m_bDual && !m_bDualSplit)
    {
        OnReleaseT();
        return;
    }
    m_bKeyFired2 = 0;
    MapPoint();
    if (m_pMouse)
        m_pMouse->DualPointerEvent(m_Point.x, m_Point.y, 0);
    if (m_pBuf[2] == CODE_ET_RELEASE && m_nMode == WORK_MODE_NORMAL && m_pMouse)
        m_pMouse->DualPointerEvent(m_Point.x, m_Point.y, 4);
}

void CTavrinWorkETPD::OnFrontKey()
{
    if (m_pBuf[0] != SOURCE_T || m_bKeyFired)
        return;
    g_bInBoardFrame = false;
    MapPoint();
    // The pointer goes to the pen first, so both the board-frame question and
    // the click concern where the pen is, not where the last contact ended.
    if (m_pMouse)
        m_pMouse->PointerEvent(m_Point.x, m_Point.y, 4);
    RunSideKeyAction(FrontAction());
    bool click = true;
    if (g_bAppStarted)
    {
        // The whiteboard application answers whether the pen is over its
        // board frame; inside it, the application handles the button itself.
        AppServices().SendDatagram("bard", 4);
        Clock().SleepMs(20);
        click = !g_bInBoardFrame;
    }
    if (click && m_pMouse)
        m_pMouse->PointerEvent(m_Point.x, m_Point.y, 3);
    m_bKeyFired = 1;
}

void CTavrinWorkETPD::OnBackKey()
{
    if (m_pBuf[0] != SOURCE_T || m_bKeyFired)
        return;
    g_bInBoardFrame = false;
    if (g_bAppStarted)
    {
        AppServices().SendDatagram("bard", 4);
        Clock().SleepMs(20);
    }
    // The right click happens when the double-press window closes, and only
    // if the answer said the pen is outside the board frame.
    RunSideKeyAction(BackAction());
    m_bKeyFired = 1;
}

bool CTavrinWorkETPD::HandleSoftKey(int x, int y, int pressType)
{
    if (!m_pSidekey)
        return false;
    int k = m_pSidekey->HitTest(x, y);
    if (k < 0)
        return false;
    if (!m_bDual)
    {
        if (!m_bKeyFired)
        {
            FireSideKey(k, 1);
            m_bKeyFired = 1;
        }
        return true;
    }
    // Dual mode: each user owns one half of the keys.
    if (k >= FIRST_HALF_KEYS)
    {
        if (pressType == 2 && !m_bKeyFired2)
        {
            FireSideKey(k, 2);
            m_bKeyFired2 = 1;
        }
    }
    else if (pressType == 1 && !m_bKeyFired)
    {
        FireSideKey(k, 1);
        m_bKeyFired = 1;
    }
    return true;
}

bool CTavrinWorkETPD::OnCommand(int command, int value)
{
    switch (command)
    {
    case 4:
    {
        std::lock_guard<std::recursive_mutex> lk(m_HandlerMutex);
        LoadPenSettings();
        return true;
    }
    case 8:
        m_bDual = true;
        printf("type == START_DUAL\n");
        fflush(stdout);
        AppServices().OpenDualChannel(value);
        return true;
    case 9:
        m_bDualSplit = true;
        AppServices().OpenDualChannel(value);
        return true;
    case 10:
        AppServices().CloseDualChannel();
        m_bDualSplit = false;
        m_bDual = false;
        return true;
    default:
        return CTavrinWorkBase::OnCommand(command, value);
    }
}
