#include "work/BoardStyles.h"

#include "work/CTavrinWorkET.h"
#include "work/CTavrinWorkETPD.h"

namespace
{
const char* const s_StyleNames[BOARD_STYLE_MAX + 1] = {
    "StyleET",    "StyleETD",   "StylePS",    "StylePSG",   "StylePSD",  "StylePSDG", "StyleIR",
    "StyleIRG",   "StyleIRD",   "StyleIRDG",  "StyleIRXG",  "StyleIRXDG", "StyleIRQ", "StyleUI",
    "StyleLT",    "StyleLTFD",  "StyleLTTD",  "StyleDVT",   "StyleOI",   "StyleETP",  "StyleETPD",
};
}  // namespace

const char* BoardStyleName(int style)
{
    if (style < BOARD_STYLE_MIN || style > BOARD_STYLE_MAX)
        return nullptr;
    return s_StyleNames[style];
}

CTavrinWorkBase* CreateWorkThread(int style)
{
    switch (style)
    {
    case 0:
        return new CTavrinWorkET();
    case 1:
    case 19:
    case 20:
        return new CTavrinWorkETPD();
    // PS (2), PSD (4), IR (7), IRX (10, 11), UI (13), LT (14, 15) and
    // DVT (17) have no board class in this build yet; every other style
    // never had one.
    default:
        return nullptr;
    }
}
