#pragma once
#include "conversion/CConversionBase.h"

// Grid mapping of every non-camera board: the raw point is placed in one cell
// of the calibration grid and interpolated along the cell's top and bottom
// edges.
//
// Boards whose raw axes run opposite to the screen (raw x falling to the
// right, raw y falling downwards) are handled by comparing in screen
// orientation, so the cell rules and boundary choices mean the same thing on
// either kind of board.
//
// Without a usable calibration (m_DotNum 0) the raw point is taken as pixels
// and clamped to the screen, so an uncalibrated board still moves the pointer
// somewhere sane and can be calibrated.
class CConversion : public CConversionBase
{
public:
    CConversion(const std::wstring& name, const char* key);

    ScreenPoint RawToScreen(const double* raw) const override;

    // Corner indices (TL, BL, TR, BR) of the cell used for `raw`. False when
    // there is no calibration to choose from.
    bool ChooseCell(const double* raw, int cell[4]) const;
};
