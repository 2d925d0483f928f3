#pragma once
#include "work/CTavrinWorkETPD.h"

// Style 0: the ETPD protocol with 12-bit, unmirrored coordinates and its own
// press (0x51) and release (0x61) codes; the release carries its position.
class CTavrinWorkET : public CTavrinWorkETPD
{
public:
    CTavrinWorkET() = default;

    int GetPacketType() override;
    bool DecodePoint() override;
};
