#pragma once
#include "work/CTavrinWorkBase.h"

#include <string>

// Boards of styles 1, 19 and 20: 8-byte packets from two pointer sources,
// T (header 0xEE, always the X pointer) and S (header 0xAA, the X pointer too
// except in dual modes, where it feeds the dual-mode channel), pen front and
// back buttons and hardware hot keys.
class CTavrinWorkETPD : public CTavrinWorkBase
{
public:
    CTavrinWorkETPD();
    ~CTavrinWorkETPD() override;

    bool SetDevice(CDeviceBase* pDev) override;
    int GetPacketType() override;
    bool DecodePoint() override;
    bool LoadPenSettings() override;
    void OnPressT() override;
    void OnPressS() override;
    void OnReleaseT() override;
    void OnReleaseS() override;
    void OnFrontKey() override;
    void OnBackKey() override;
    bool HandleSoftKey(int x, int y, int pressType) override;
    bool OnCommand(int command, int value) override;

    const std::wstring& GetFrontText() const { return m_strFront; }
    const std::wstring& GetBackText() const { return m_strBack; }

    // Action of pen-button setting 0..10; null outside.
    static const wchar_t* PenButtonAction(int index);

protected:
    // After the completing calibration point: wait, leave the pointer there
    // without a click, swallow the rest of the contact, then back to normal.
    void FinishCalibration(int mode);
    // Reads and discards packets until one carries neither press code; ends
    // early on a failed or short read and when the thread is asked to stop.
    void DrainPressPackets();

    std::wstring m_strFront;
    std::wstring m_strBack;
};
