#pragma once
#include <cstdint>

struct sockaddr_in;

// Small helpers shared by the channels: every socket of the service talks to
// the local host only.

// True when `addr` is an IPv4 loopback address (127.0.0.0/8).
bool IsLoopback(const sockaddr_in& addr);

// Fills `addr` with 127.0.0.1:port.
void LoopbackAddress(sockaddr_in* addr, uint16_t port);

// Reads the leading decimal integer of `text` like atoi (optional blanks and
// sign, digits up to the first non-digit, 0 when there are none), but clamps
// to the int range instead of overflowing. `end`, when given, receives the
// first character after the number (or `text` when nothing was read).
int LeadingInt(const char* text, const char** end = nullptr);
