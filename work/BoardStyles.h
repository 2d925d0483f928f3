#pragma once

class CTavrinWorkBase;

// Board styles 0..20 as reported by board identification. 22..24 are
// placeholders of the supported-device table and never name a board.
enum
{
    BOARD_STYLE_MIN = 0,
    BOARD_STYLE_MAX = 20,
};

// "StyleET" .. "StyleETPD"; null outside 0..20. The datagram channel sends
// these names to the whiteboard application.
const char* BoardStyleName(int style);

// The work thread serving `style` (a new detached wxThread, not yet created
// or run), or null when the style has no board class. The caller owns it
// until Run succeeds; after that it deletes itself when its loop ends.
CTavrinWorkBase* CreateWorkThread(int style);
