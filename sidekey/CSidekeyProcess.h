#pragma once
#include <mutex>
#include <string>

// Side keys: soft keys printed on the board (recognised by position),
// hardware hot keys and the pen's front and back buttons. A 500 ms window
// owned by the application tells a single press from a double press; the
// resulting actions go to the whiteboard application as datagrams, or start
// a program, or right-click the pointer.
//
// Threading: HitTest, FireKey and DoAction run on the work thread, EndAction
// (window expiry) and RefreshEnable on the main thread. All state is guarded
// by m_Mutex; the calls into the application are made after it is released.
class CSidekeyProcess
{
public:
    enum
    {
        KEY_COUNT = 28,
        ACTION_COUNT = 14,
    };

    CSidekeyProcess(bool bHadHand, const std::wstring& tag);
    virtual ~CSidekeyProcess();

    // Key centres, key size and the enable flag from the tag's section.
    void LoadKeys();
    // Re-reads Enable_Soft_Sidekey.
    void RefreshEnable();
    // Key size from the configured key centres (IRX and PSD boards).
    void ComputePointSize();

    // Soft key index 0..27 under the raw point, or -1.
    int HitTest(int x, int y);
    // Runs the action of soft key `index` (index mod 14) for press type
    // 1 (first source) or 2 (second source in dual mode).
    void FireKey(int index, int pressType);
    // Runs a named action: soft-key and hot-key actions, "front", "back".
    void DoAction(const std::wstring& action);
    // Completes the pending action as a single press. Called inside DoAction
    // and on the main thread when the window expires.
    void EndAction();
    // Sends one datagram: the first four characters of `action`, prefixed
    // for second-source pen tools unless `raw`.
    void SendAction(const std::wstring& action, bool raw);

    void SetFrontAction(const std::wstring& text);
    void SetBackAction(const std::wstring& text);
    std::wstring GetFrontAction() const;
    std::wstring GetBackAction() const;

    bool IsEnabled() const;
    int GetPointSize() const;
    void GetKeyPoint(int index, double* x, double* y) const;
    std::wstring GetPendingAction() const;
    int GetPressType() const;
    const std::wstring& GetAction(int index) const { return m_Actions[index % ACTION_COUNT]; }

private:
    struct COps;
    std::string Section() const;
    // Decisions are taken under m_Mutex into `ops`; the calls to the
    // application run afterwards, in order, without the lock held.
    void EndActionLocked(COps& ops);
    void SendActionLocked(COps& ops, const std::wstring& action, bool raw);
    static void RunOps(const COps& ops);

    std::wstring m_Actions[ACTION_COUNT];
    std::wstring m_strTag;
    bool m_bHadHand;

    mutable std::mutex m_Mutex;
    double m_KeyPoints[KEY_COUNT][2] = {};
    bool m_bEnabled = false;
    int m_nPointSize = 0;
    std::wstring m_strPending;
    int m_nPressType = 0;
    std::wstring m_strFront = L"elfc";
    std::wstring m_strBack = L"elbc";
    // The double-press window as this processor sees it. The application's
    // timer starts only when the main thread handles the posted request, so
    // right after a press it may not run yet; a second press in that gap must
    // still count as a double press. Set when a start is posted, cleared when
    // the window is stopped here or expires (EndAction from the main thread).
    bool m_bArmed = false;

    CSidekeyProcess(const CSidekeyProcess&) = delete;
    CSidekeyProcess& operator=(const CSidekeyProcess&) = delete;
};
