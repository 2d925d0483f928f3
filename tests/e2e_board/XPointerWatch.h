#pragma once
// What the X server did with the pointer, seen by a client of the test's own:
// the pointer position and button state (XQueryPointer), and the button
// events delivered to a window that covers the screen.
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace tavrin_test
{
class CXPointerWatch
{
public:
    struct State
    {
        int x = -1;
        int y = -1;
        unsigned mask = 0;
    };
    struct ButtonEvent
    {
        bool press;
        unsigned button;
        int x;
        int y;
    };

    CXPointerWatch() = default;
    ~CXPointerWatch();
    CXPointerWatch(const CXPointerWatch&) = delete;
    CXPointerWatch& operator=(const CXPointerWatch&) = delete;

    // Connects to `display` and maps the watching window; false when either fails.
    bool Open(const std::string& display);
    State Query();
    static bool Button1Down(const State& s);
    // Button events delivered so far, oldest first.
    const std::vector<ButtonEvent>& Buttons();
    // Presses of `button` delivered so far.
    int PressCount(unsigned button);

private:
    Display* m_pDisplay = nullptr;
    unsigned long m_Window = 0;
    std::vector<ButtonEvent> m_Buttons;
};
}  // namespace tavrin_test
