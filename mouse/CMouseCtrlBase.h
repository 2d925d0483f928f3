#pragma once
#include <cstdint>
#include <mutex>
#include <string>

// Pointer output of one work thread: turns mapped screen points and event
// kinds into button and motion primitives, decides when a press held still
// becomes a right click, smooths motion, and forwards the second pointer of
// dual mode to the dual-mode channel instead of X.
//
// Event kinds: 0 release, 1 press or move while pressed, 2 right click,
// 3 left click, 4 move without button, 5 re-press. Other kinds are ignored.
//
// Threading: the work thread drives every entry point; the main thread uses
// PointerEvent kind 2 for the deferred back-button right click. Each entry
// point holds m_Mutex for its whole run, so the two threads never interleave
// primitives or touch the pointer state at the same time (kind 2 itself reads
// and writes no state, but it must not split a work-thread sequence such as
// LeftUp/RightDown/RightUp). The primitives themselves are not locked here;
// implementations guard their own connection.
class CMouseCtrlBase
{
public:
    explicit CMouseCtrlBase(const std::wstring& tag);
    virtual ~CMouseCtrlBase();

    // Primitives, implemented per platform.
    virtual void LeftDown() = 0;
    virtual void RightDown() = 0;
    virtual void LeftUp() = 0;
    virtual void RightUp() = 0;
    virtual void MoveTo(int x, int y) = 0;

    // Reads LIMIT_COUNT, LIMIT_MOVE, RC1 and RC2 from the tag's Constants key.
    void LoadLimits();

    void PointerEvent(int x, int y, int kind);
    // Kind 1 motion through the averaging filter (IR boards).
    void PointerEventAveraged(int x, int y, int kind);
    // Kinds 0..4, kind 1 motion through the process-wide damping filter.
    void PointerEventDamped(int x, int y, int kind);
    // Second pointer: records (event, x, y) to the dual-mode channel.
    void DualPointerEvent(int x, int y, int kind);

    // Limits, also set directly by boards that compute their own weights.
    void SetLimits(int limitCount, int limitMove);
    void SetSmoothing(float rc1, float rc2);
    int GetLimitCount() const;
    int GetLimitMove() const;
    float GetRC1() const;
    float GetRC2() const;
    const std::wstring& GetTag() const { return m_strTag; }

    // Clears both stages of the process-wide damping filter.
    static void ResetDampingFilter();

protected:
    void RightClick();

private:
    struct DualRecords
    {
        int rec[2][3];
        int nCount = 0;
        void Add(int event, int x, int y)
        {
            rec[nCount][0] = event;
            rec[nCount][1] = x;
            rec[nCount][2] = y;
            ++nCount;
        }
    };

    // The *Locked operations run with m_Mutex held.
    void PointerEventLocked(int x, int y, int kind);
    void DualPointerEventLocked(int x, int y, int kind, DualRecords& out);
    void AveragingFilter(int x, int y);
    void Smoother(int x, int y);

    std::wstring m_strTag;
    mutable std::mutex m_Mutex;

    int m_nLimitCount = 0;
    int m_nLimitMove = 0;
    float m_fRC1 = 0.0f;
    float m_fRC2 = 0.0f;

    // First pointer.
    bool m_bPressed = false;
    bool m_bRightDone = false;
    int m_nStillCount = 0;
    int m_PressX = 0, m_PressY = 0;
    int m_LastX = 0, m_LastY = 0;

    // Second pointer.
    bool m_bPressed2 = false;
    bool m_bRightDone2 = false;
    int m_nStillCount2 = 0;
    int m_PressX2 = 0, m_PressY2 = 0;
    int m_LastX2 = 0, m_LastY2 = 0;
    bool m_bStill2 = false;
    bool m_bPrevClickStill2 = false;
    int m_PrevPressX2 = 0, m_PrevPressY2 = 0;
    int64_t m_nPrevStillTime2 = 0;

    // Averaging filter.
    int m_nWarmup = 0;
    int m_nGroup = 0;
    int m_nPhase = 0;
    int m_RefX = 0, m_RefY = 0;
    int m_FirstX = 0, m_FirstY = 0;
    int m_FourthX = 0, m_FourthY = 0;
    bool m_bStillMode = false;
    int m_nSmoothStage = 0;
    int m_X1 = 0, m_Y1 = 0, m_X2 = 0, m_Y2 = 0;

    CMouseCtrlBase(const CMouseCtrlBase&) = delete;
    CMouseCtrlBase& operator=(const CMouseCtrlBase&) = delete;
};

// The platform pointer output for a work thread's tag (opens the X display).
CMouseCtrlBase* CreateMouseCtrl(const std::wstring& tag);
