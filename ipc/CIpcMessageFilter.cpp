#include "ipc/CIpcMessageFilter.h"

#include <algorithm>
#include <cstring>

const CIpcMessageFilter::Field* CIpcMessageFilter::LayoutOf(uint8_t code)
{
    static const Field execute[] = {F_FORMAT, F_DATA, F_END};
    static const Field request[] = {F_STRING, F_FORMAT, F_END};
    static const Field poke[] = {F_STRING, F_FORMAT, F_DATA, F_END};
    static const Field item[] = {F_STRING, F_END};
    static const Field none[] = {F_END};
    switch (code)
    {
    case 1: // execute
        return execute;
    case 2: // request
        return request;
    case 3: // poke
    case 6: // advise
        return poke;
    case 4: // advise start
    case 7: // advise stop
    case IPC_CONNECT:
        return item;
    case IPC_DISCONNECT:
        return none;
    default: // replies of the server (5, 8, 9) and unknown codes
        return nullptr;
    }
}

void CIpcMessageFilter::Reset()
{
    m_nLen = 0;
    m_ePhase = PH_CODE;
    m_pField = nullptr;
    m_nLength = 0;
    m_nLengthBytes = 0;
    m_nRemaining = 0;
    m_bComplete = false;
    m_bConnected = false;
    m_bDisconnected = false;
}

bool CIpcMessageFilter::EnterField()
{
    switch (*m_pField)
    {
    case F_STRING:
    case F_DATA:
        m_ePhase = PH_LENGTH;
        m_nLength = 0;
        m_nLengthBytes = 0;
        return false;
    case F_FORMAT:
        m_ePhase = PH_FORMAT;
        return false;
    case F_END:
        break;
    }
    m_bComplete = true;
    m_ePhase = PH_CODE;
    if (m_Buf[0] == IPC_CONNECT)
        m_bConnected = true;
    else if (m_Buf[0] == IPC_DISCONNECT)
        m_bDisconnected = true;
    return true;
}

CIpcMessageFilter::Result CIpcMessageFilter::Feed(const uint8_t* data, size_t size, size_t* used)
{
    size_t i = 0;
    *used = 0;
    if (m_ePhase == PH_FAULT)
        return FAULT;
    if (m_bComplete)
    {
        m_bComplete = false;
        m_nLen = 0;
    }
    while (i < size)
    {
        switch (m_ePhase)
        {
        case PH_CODE:
        {
            const uint8_t code = data[i++];
            m_pField = LayoutOf(code);
            // CONNECT comes first and once; nothing may follow DISCONNECT.
            if (!m_pField || m_bDisconnected || (code == IPC_CONNECT) == m_bConnected)
            {
                m_ePhase = PH_FAULT;
                *used = i;
                return FAULT;
            }
            m_Buf[m_nLen++] = code;
            break;
        }
        case PH_LENGTH:
            m_Buf[m_nLen++] = data[i];
            m_nLength |= static_cast<uint32_t>(data[i++]) << (8 * m_nLengthBytes);
            if (++m_nLengthBytes < 4)
                continue;
            // Checked before a single byte of the payload is taken, so a huge
            // length costs nothing.
            if (m_nLength > (*m_pField == F_STRING ? MAX_STRING : MAX_DATA))
            {
                m_ePhase = PH_FAULT;
                *used = i;
                return FAULT;
            }
            m_nRemaining = m_nLength;
            if (m_nRemaining > 0)
            {
                m_ePhase = PH_BYTES;
                continue;
            }
            break;
        case PH_FORMAT:
            m_Buf[m_nLen++] = data[i++];
            break;
        case PH_BYTES:
        {
            const size_t n = std::min<size_t>(m_nRemaining, size - i);
            std::memcpy(m_Buf + m_nLen, data + i, n);
            m_nLen += n;
            i += n;
            m_nRemaining -= static_cast<uint32_t>(n);
            if (m_nRemaining > 0)
                continue;
            break;
        }
        case PH_FAULT:
            *used = i;
            return FAULT;
        }
        // The current field (or the code) is done: on to the next one.
        if (m_ePhase != PH_CODE)
            ++m_pField;
        if (EnterField())
        {
            *used = i;
            return MESSAGE;
        }
    }
    *used = i;
    return NEED_MORE;
}
