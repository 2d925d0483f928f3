#pragma once
#include <cstdint>
#include <string>

// A point in pixels of the whole X screen (all monitors together).
struct ScreenPoint
{
    int32_t x;
    int32_t y;
};

// Calibration grid of one board: the raw positions at which the user touched
// the targets, the targets themselves (recomputed from the screen size) and
// the grid shape. Subclasses turn a raw board point into a screen point.
//
// Grid order: point k lies in column k / m_nRows and row k % m_nRows, i.e.
// down the leftmost column from the top, then down the next column.
//
// A mapping belongs to one work thread; nothing here is locked.
class CConversionBase
{
public:
    // `name` is the owning work thread's class tag (settings section),
    // `key` the element holding the calibration ("coordinate").
    CConversionBase(const std::wstring& name, const char* key);
    virtual ~CConversionBase();

    // ReadScreenSize, then Update.
    void Initialize();
    // Size of the default X screen, taken from Xlib (never GTK: mappings are
    // built on the hot-plug and work threads). Falls back to 1920x1080 when no
    // display can be opened, or to the size installed by OverrideScreenSize.
    void ReadScreenSize();
    // Uses the given size instead of asking the display (ReadScreenSize then
    // keeps it); call before Initialize or Update.
    void SetScreenSize(int width, int height);
    // Process-wide replacement for the display query of ReadScreenSize (for
    // tests that build mappings through Initialize). 0,0 removes it.
    static void OverrideScreenSize(int width, int height);

    // LoadConfig, ReadPosition and, for the camera thread, ComputeCameraArea.
    virtual void Update();
    // `raw` points at an x, y pair of board units (the work thread's
    // m_RawX/m_RawY). Allocation-free; never fails.
    virtual ScreenPoint RawToScreen(const double* raw) const = 0;
    // Base version: *out = RawToScreen(raw), true.
    virtual bool RawToScreenChecked(const double* raw, ScreenPoint* out) const;
    // Reads dotNum and dot0.. from the settings file. A count that is not a
    // grid shape (4, 9, 12, 20, 25) or a non-finite point leaves the mapping
    // uncalibrated (m_DotNum 0); the file is not touched.
    virtual void LoadConfig();
    // Grid shape from m_DotNum and the screen targets from the screen size.
    void ReadPosition();
    // Working rectangle of camera boards in camera pixels (right, left, top,
    // bottom); four ints.
    const int* GetCameraArea() const { return m_CameraArea; }
    void ComputeCameraArea();

    // Truncates toward zero and adds one when the dropped part exceeds 0.5
    // (2.5 -> 2, 2.51 -> 3, -0.7 -> 0, -3.6 -> -3). Non-finite gives 0, huge
    // values are limited so the conversion to int is always defined.
    static int32_t RoundToPixel(double v);

    static bool IsGridShape(int dotNum);

    double m_RawPoints[25][2];
    int m_DotNum;
    double m_ScreenPoints[25][2];
    std::string m_strSection;
    std::string m_strKey;
    int m_nScreenWidth;
    int m_nScreenHeight;
    int m_nRows;
    int m_nCols;
    int m_CameraArea[4];  // right, left, top, bottom

protected:
    bool m_bScreenSizeSet = false;

private:
    CConversionBase(const CConversionBase&) = delete;
    CConversionBase& operator=(const CConversionBase&) = delete;
};

// New mapping for the work thread `name` (owned by the caller); `key` is the
// calibration element, "coordinate".
CConversionBase* CreateConversion(const std::wstring& name, const char* key);
