#include "device/CDeviceCom.h"

#include <cstdint>
#include <cstdio>

namespace
{
// Control-flag bits (termios c_cflag layout) cleared before the line is set
// up: character size, stop bits, receiver enable, parity, odd parity, local
// line, hardware flow control. Hang-up and speed bits are kept.
const uint32_t LINE_KEEP_MASK = 0x7FFFF40F;
// 8 data bits, receiver enabled, local line.
const uint32_t LINE_SET_BITS = 0x8B0;
}

CDeviceCom::CDeviceCom(const DeviceDescriptor& desc) : CDeviceBase(desc)
{
}

bool CDeviceCom::Open()
{
    m_hDev = cp210x_open(static_cast<unsigned short>(m_Desc.vid), static_cast<unsigned short>(m_Desc.pid), 0);
    return m_hDev != nullptr;
}

bool CDeviceCom::Init()
{
    cp210x_set_IFC(m_hDev, 1);
    uint32_t cflag = 0;
    cp210x_get_termios(m_hDev, &cflag);
    cflag = (cflag & LINE_KEEP_MASK) | LINE_SET_BITS;
    cp210x_set_termios(m_hDev, cflag, m_Desc.baud);
    m_bInit = true;
    return true;
}

void CDeviceCom::Close()
{
    m_bInit = false;
    if (m_hDev)
    {
        cp210x_close(m_hDev);
        m_hDev = nullptr;
        printf("[Server].........com closed!\n");
        fflush(stdout);
    }
}

int CDeviceCom::Read(unsigned char* buffer, int n)
{
    if (!m_hDev || !m_bInit)
    {
        printf("[Server]can not read:com not open or init\n");
        fflush(stdout);
        return -2;
    }
    if (n < 0)
        return -2;
    return cp210x_read(m_hDev, buffer, n);
}

int CDeviceCom::Write(const unsigned char* bytes, int n)
{
    if (!m_hDev || !m_bInit)
    {
        printf("[Server]can not write:com not open or init\n");
        fflush(stdout);
        return -1;
    }
    if (n < 0)
        return -1;
    return cp210x_write(m_hDev, bytes, n);
}
