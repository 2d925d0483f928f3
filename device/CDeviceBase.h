#pragma once
#include "DeviceDescriptor.h"

// One attached board behind a transport-independent interface. Results are
// byte counts; -1 (and -2 for serial reads) are device errors.
class CDeviceBase
{
public:
    explicit CDeviceBase(const DeviceDescriptor& desc);
    virtual ~CDeviceBase();  // frees the path copy; does not close

    virtual bool Open() = 0;
    virtual bool Init() = 0;
    virtual void Close() = 0;
    virtual int Read(unsigned char* buffer, int n) = 0;
    virtual int Write(const unsigned char* bytes, int n) = 0;
    virtual int ReadRaw(unsigned char* buffer, int n);
    virtual int WriteRaw(const unsigned char* bytes, int n);
    virtual int SendStartCommand();
    virtual bool IsSameDevice(const DeviceDescriptor& other) const;
    virtual bool Identify();
    virtual void SetROI(int, int) {}

    const DeviceDescriptor& Descriptor() const { return m_Desc; }
    int Style() const { return m_Desc.style; }

    bool m_bIsHadHand = false;
    bool m_bInit = false;
    DeviceDescriptor m_Desc;
    int m_nTimeout = 500;

    CDeviceBase(const CDeviceBase&) = delete;
    CDeviceBase& operator=(const CDeviceBase&) = delete;
};

// kind 1 -> CDeviceHid, 2 -> CDeviceCom, anything else -> null.
CDeviceBase* CreateDevice(const DeviceDescriptor& desc);
