#pragma once
#include "bridge/Cp210xHid.h"
#include "device/CDeviceBase.h"

// A board behind the USB HID bridge. Packets travel as reports framed with
// a two-byte header (report number, packet length).
class CDeviceHid : public CDeviceBase
{
public:
    explicit CDeviceHid(const DeviceDescriptor& desc);

    bool Open() override;
    bool Init() override;
    void Close() override;
    int Read(unsigned char* buffer, int n) override;
    int Write(const unsigned char* bytes, int n) override;
    int ReadRaw(unsigned char* buffer, int n) override;
    int WriteRaw(const unsigned char* bytes, int n) override;

    // Room of one framed report: header plus the largest payload.
    static const int REPORT_SIZE = 50;
    static const int MAX_PAYLOAD = REPORT_SIZE - 2;

    hid_device* m_hDev = nullptr;
    unsigned char m_ReportHeader[2] = {0x02, 0x08};
};
