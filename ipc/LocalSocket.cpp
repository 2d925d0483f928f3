#include "ipc/LocalSocket.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <cstring>
#include <netinet/in.h>

bool IsLoopback(const sockaddr_in& addr)
{
    return addr.sin_family == AF_INET && (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
}

void LoopbackAddress(sockaddr_in* addr, uint16_t port)
{
    std::memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

int LeadingInt(const char* text, const char** end)
{
    if (end)
        *end = text;
    if (!text)
        return 0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool neg = false;
    if (*p == '+' || *p == '-')
        neg = (*p++ == '-');
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
    {
        if (v <= static_cast<long long>(INT_MAX) + 1)
            v = v * 10 + (*p - '0');
    }
    if (end)
        *end = p;
    if (neg)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}
