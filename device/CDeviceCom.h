#pragma once
#include "bridge/Cp210xHid.h"
#include "device/CDeviceBase.h"

// A board behind the CP210x USB-to-serial bridge; packets are the raw byte
// stream.
class CDeviceCom : public CDeviceBase
{
public:
    explicit CDeviceCom(const DeviceDescriptor& desc);

    bool Open() override;
    bool Init() override;
    void Close() override;
    int Read(unsigned char* buffer, int n) override;
    int Write(const unsigned char* bytes, int n) override;

    cp210x_device* m_hDev = nullptr;
};
