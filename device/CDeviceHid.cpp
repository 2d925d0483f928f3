#include "device/CDeviceHid.h"

#include <wx/log.h>

#include <cstdio>
#include <cstring>

namespace
{
const int READ_TIMEOUT_MS = 500;
}

CDeviceHid::CDeviceHid(const DeviceDescriptor& desc) : CDeviceBase(desc)
{
}

bool CDeviceHid::Open()
{
    printf("in Open CDeviceHid::Open()\n");
    fflush(stdout);
    m_hDev = hid_open(static_cast<unsigned short>(m_Desc.vid), static_cast<unsigned short>(m_Desc.pid),
                      nullptr);
    if (!m_hDev)
        wxLogError("open hid device failed!");
    printf("out Open CDeviceHid::Open()\n");
    fflush(stdout);
    return m_hDev != nullptr;
}

bool CDeviceHid::Init()
{
    m_bInit = true;
    // The second header byte is the packet length of the board family.
    switch (m_Desc.style)
    {
    case 6:
    case 7:
        m_ReportHeader[0] = 0x02;
        m_ReportHeader[1] = 0x10;
        break;
    default:
        // 0, 1 and the placeholders 22..24; no other HID board is supported,
        // and the 8-byte framing is the common one.
        m_ReportHeader[0] = 0x02;
        m_ReportHeader[1] = 0x08;
        break;
    }
    return true;
}

void CDeviceHid::Close()
{
    m_bInit = false;
    if (m_hDev)
    {
        hid_close(m_hDev);
        m_hDev = nullptr;
        printf("[Server]close hid successfully!\n");
        fflush(stdout);
    }
}

int CDeviceHid::Write(const unsigned char* bytes, int n)
{
    if (!m_hDev || !m_bInit)
        return -1;
    // The report buffer holds at most MAX_PAYLOAD bytes after the header.
    if (n < 0 || n > MAX_PAYLOAD || (!bytes && n > 0))
        return -1;
    unsigned char report[REPORT_SIZE];
    report[0] = m_ReportHeader[0];
    report[1] = m_ReportHeader[1];
    if (n > 0)
        memcpy(report + 2, bytes, n);
    return hid_write(m_hDev, report, n + 2) - 2;
}

int CDeviceHid::Read(unsigned char* buffer, int n)
{
    if (!m_hDev || !m_bInit)
        return -1;
    if (n < 0 || n > MAX_PAYLOAD || (!buffer && n > 0))
        return -1;
    unsigned char report[REPORT_SIZE];
    memset(report, 0, sizeof report);
    int r = hid_read_timeout(m_hDev, report, n + 2, READ_TIMEOUT_MS);
    if (r < n + 2)
        return r;  // time-out, error or a short report: the caller's buffer stays as it was
    memcpy(buffer, report + 2, n);
    return n;
}

int CDeviceHid::ReadRaw(unsigned char* buffer, int n)
{
    if (!m_hDev || !m_bInit || n < 0)
        return -1;
    return hid_read_timeout(m_hDev, buffer, n, READ_TIMEOUT_MS);
}

int CDeviceHid::WriteRaw(const unsigned char* bytes, int n)
{
    if (!m_hDev || !m_bInit || n < 0)
        return -1;
    return hid_write(m_hDev, bytes, n);
}
