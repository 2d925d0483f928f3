#include "work/CTavrinWorkET.h"

int CTavrinWorkET::GetPacketType()
{
    // The source byte does not matter: ET boards have one pointer source.
    switch (m_pBuf[2])
    {
    case 0x51:
        return PACKET_PRESS_T;
    case 0x61:
        return PACKET_RELEASE_T;
    case 0x85:
        return PACKET_FRONT_KEY;
    case 0x87:
        return PACKET_BACK_KEY;
    default:
        return PACKET_OTHER;
    }
}

bool CTavrinWorkET::DecodePoint()
{
    m_RawX = (m_pBuf[3] & 0x3F) * 64 + (m_pBuf[4] & 0x3F);
    m_RawY = (m_pBuf[5] & 0x3F) * 64 + (m_pBuf[6] & 0x3F);
    return true;
}
