#include "tools/CCtlConnection.h"

#include <cstdio>

bool CCtlConnection::OnAdvise(const wxString&, const wxString&, const void* data, size_t size, wxIPCFormat)
{
    // An answer is a short text block, ended by its first NUL or its size.
    const char* text = static_cast<const char*>(data);
    size_t n = 0;
    while (text && n < size && text[n])
        ++n;
    if (n)
        fwrite(text, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    ++m_nAnswers;
    return true;
}

bool CCtlConnection::OnDisconnect()
{
    m_bLost = true;
    return true;
}
