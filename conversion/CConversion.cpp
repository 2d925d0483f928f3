#include "conversion/CConversion.h"

#include <cmath>

namespace
{
// The calibration grid seen in screen orientation: u grows to the right and
// v downwards whichever way the board counts. Negation is exact, so on a
// board whose raw axes already follow the screen every comparison and every
// formula gives bit for bit the plain result.
struct Grid
{
    const double (*raw)[2];
    const double (*scr)[2];
    int rows;
    int cols;
    double sx;
    double sy;

    double U(int k) const { return sx * raw[k][0]; }
    double V(int k) const { return sy * raw[k][1]; }
    int At(int col, int row) const { return col * rows + row; }
};

bool ShapeOf(int dotNum, int* rows, int* cols)
{
    switch (dotNum)
    {
    case 4: *rows = 2; *cols = 2; return true;
    case 9: *rows = 3; *cols = 3; return true;
    case 12: *rows = 3; *cols = 4; return true;
    case 20: *rows = 4; *cols = 5; return true;
    case 25: *rows = 5; *cols = 5; return true;
    default: return false;
    }
}

Grid MakeGrid(const CConversionBase& c, int rows, int cols)
{
    Grid g{c.m_RawPoints, c.m_ScreenPoints, rows, cols, 1.0, 1.0};
    double dx = 0.0;
    for (int r = 0; r < rows; ++r)
        dx += c.m_RawPoints[g.At(cols - 1, r)][0] - c.m_RawPoints[g.At(0, r)][0];
    double dy = 0.0;
    for (int col = 0; col < cols; ++col)
        dy += c.m_RawPoints[g.At(col, rows - 1)][1] - c.m_RawPoints[g.At(col, 0)][1];
    g.sx = dx < 0 ? -1.0 : 1.0;
    g.sy = dy < 0 ? -1.0 : 1.0;
    return g;
}

void SetCell(const Grid& g, int col, int row, int cell[4])
{
    cell[0] = g.At(col, row);
    cell[1] = g.At(col, row + 1);
    cell[2] = g.At(col + 1, row);
    cell[3] = g.At(col + 1, row + 1);
}

// Value at `t` of the line through (t0, w0) and (t1, w1); the midpoint when
// the two share t.
double LineAt(double t, double t0, double w0, double t1, double w1)
{
    if (t1 == t0)
        return (w0 + w1) / 2;
    return w0 + (w1 - w0) * (t - t0) / (t1 - t0);
}

// Any grid shape: the cell whose edges enclose the point, the outer cells
// reaching to infinity. A point on an inner grid line belongs to the cell left
// of or above it. At most three column lines and three row lines are tested.
void GeneralCell(const Grid& g, double u, double v, int cell[4])
{
    int col = 0;
    for (int i = 1; i < g.cols - 1; ++i)
    {
        // The segment of column line i level with the point (end segments extended).
        int seg = 0;
        for (int k = 1; k < g.rows - 1; ++k)
            seg += v > g.V(g.At(i, k)) ? 1 : 0;
        const int p = g.At(i, seg);
        const int q = g.At(i, seg + 1);
        col += u > LineAt(v, g.V(p), g.U(p), g.V(q), g.U(q)) ? 1 : 0;
    }
    int row = 0;
    for (int k = 1; k < g.rows - 1; ++k)
    {
        const int p = g.At(col, k);
        const int q = g.At(col + 1, k);
        row += v > LineAt(u, g.U(p), g.V(p), g.U(q), g.V(q)) ? 1 : 0;
    }
    SetCell(g, col, row, cell);
}

void NineCell(const Grid& g, double u, double v, int cell[4])
{
    SetCell(g, u > g.U(4) ? 1 : 0, v > g.V(4) ? 1 : 0, cell);
}

// The fixed tests of the 4 x 5 grid; the first that holds names the cell.
// Points in the gaps a leaning grid leaves between them get the general rule.
void TwentyCell(const Grid& g, double u, double v, int cell[4])
{
    const double u5 = g.U(5), u6 = g.U(6), u9 = g.U(9), u10 = g.U(10), u13 = g.U(13), u14 = g.U(14);
    const double v5 = g.V(5), v6 = g.V(6), v9 = g.V(9), v10 = g.V(10), v13 = g.V(13), v14 = g.V(14);

    int col = -1;
    int row = -1;
    if (u < u5 && v < v5) { col = 0; row = 0; }
    else if (u < u5 && v5 <= v && v < v6) { col = 0; row = 1; }
    else if (u < u6 && v >= v6) { col = 0; row = 2; }
    else if (u5 <= u && u < u9 && v < v9) { col = 1; row = 0; }
    else if (u5 <= u && u < u9 && v9 <= v && v < v10) { col = 1; row = 1; }
    else if (u6 <= u && u < u10 && v >= v10) { col = 1; row = 2; }
    else if (u9 <= u && u < u13 && v < v13) { col = 2; row = 0; }
    else if (u9 <= u && u < u13 && v13 <= v && v < v14) { col = 2; row = 1; }
    else if (u10 <= u && u < u14 && v >= v14) { col = 2; row = 2; }
    else if (u >= u13 && v < v13) { col = 3; row = 0; }
    else if (u >= u13 && v13 <= v && v < v14) { col = 3; row = 1; }
    else if (u >= u14 && v >= v14) { col = 3; row = 2; }

    if (col < 0)
        GeneralCell(g, u, v, cell);
    else
        SetCell(g, col, row, cell);
}

void FindCell(const Grid& g, double u, double v, int cell[4])
{
    if (g.rows == 2 && g.cols == 2)
        SetCell(g, 0, 0, cell);
    else if (g.rows == 3 && g.cols == 3)
        NineCell(g, u, v, cell);
    else if (g.rows == 4 && g.cols == 5)
        TwentyCell(g, u, v, cell);
    else
        GeneralCell(g, u, v, cell);
}

// Interpolation inside the cell TL a, BL b, TR c, BR d: the screen x along the
// top and bottom edges by distance, the screen y linearly with the point's
// position between the two edges. False where the cell is unusable (not a
// convex quadrilateral, an edge without horizontal extent, two targets of an
// edge on the same screen x, or the point's vertical crossing both edges at
// one place).
bool Interpolate(const Grid& g, double x, double y, const int cell[4], double* outX, double* outY)
{
    const int a = cell[0], b = cell[1], c = cell[2], d = cell[3];
    const double xa = g.U(a), ya = g.V(a);
    const double xb = g.U(b), yb = g.V(b);
    const double xc = g.U(c), yc = g.V(c);
    const double xd = g.U(d), yd = g.V(d);
    const double Xa = g.scr[a][0], Ya = g.scr[a][1];
    const double Xb = g.scr[b][0];
    const double Xc = g.scr[c][0];
    const double Xd = g.scr[d][0], Yd = g.scr[d][1];

    // The corners must run round a convex cell (TL, TR, BR, BL turning the
    // same way); a crossed or collapsed cell comes from a calibration touched
    // at the wrong places and would fold the screen over itself.
    const double e[4][2] = {{xc - xa, yc - ya}, {xd - xc, yd - yc}, {xb - xd, yb - yd}, {xa - xb, ya - yb}};
    for (int i = 0; i < 4; ++i)
    {
        const double* p = e[i];
        const double* q = e[(i + 1) % 4];
        if (!(p[0] * q[1] - p[1] * q[0] > 0.0))
            return false;
    }
    if (xa - xc == 0.0 || xb - xd == 0.0)
        return false;
    const double spanT = std::fabs(Xa - Xc);
    const double spanB = std::fabs(Xd - Xb);
    if (spanT == 0.0 || spanB == 0.0)
        return false;

    const double yT = (ya - yc) / (xa - xc) * x + (yc * xa - xc * ya) / (xa - xc);
    const double yB = (yb - yd) / (xb - xd) * x + (xb * yd - xd * yb) / (xb - xd);

    const double sT = std::sqrt((xa - xc) * (xa - xc) + (ya - yc) * (ya - yc)) / spanT;
    const double sB = std::sqrt((xb - xd) * (xb - xd) + (yb - yd) * (yb - yd)) / spanB;
    if (!(sT > 0.0) || !(sB > 0.0))
        return false;

    const double dT = std::sqrt((x - xa) * (x - xa) + (yT - ya) * (yT - ya));
    const double XT = x >= xa ? Xa + dT / sT : Xa - dT / sT;
    const double dB = std::sqrt((x - xd) * (x - xd) + (yB - yd) * (yB - yd));
    const double XB = x >= xd ? Xd + dB / sB : Xd - dB / sB;

    double X, Y;
    if (y == yB)
    {
        X = XB;
        Y = Yd;
    }
    else
    {
        const double lambda = (y - yT) / (yB - y);
        const double den = 1 + lambda;
        if (den == 0.0)
            return false;
        X = (XB * lambda + XT) / den;
        Y = (Yd * lambda + Ya) / den;
    }
    if (!std::isfinite(X) || !std::isfinite(Y))
        return false;
    *outX = X;
    *outY = Y;
    return true;
}

// For a cell that cannot be interpolated: one straight map per axis from the
// mean raw position of the outer columns and rows onto their targets.
bool GridLinear(const Grid& g, double u, double v, double* outX, double* outY)
{
    double uLo = 0, uHi = 0;
    for (int r = 0; r < g.rows; ++r)
    {
        uLo += g.U(g.At(0, r));
        uHi += g.U(g.At(g.cols - 1, r));
    }
    uLo /= g.rows;
    uHi /= g.rows;
    double vLo = 0, vHi = 0;
    for (int col = 0; col < g.cols; ++col)
    {
        vLo += g.V(g.At(col, 0));
        vHi += g.V(g.At(col, g.rows - 1));
    }
    vLo /= g.cols;
    vHi /= g.cols;

    const double XLo = g.scr[g.At(0, 0)][0];
    const double XHi = g.scr[g.At(g.cols - 1, 0)][0];
    const double YLo = g.scr[g.At(0, 0)][1];
    const double YHi = g.scr[g.At(0, g.rows - 1)][1];

    const double X = LineAt(u, uLo, XLo, uHi, XHi);
    const double Y = LineAt(v, vLo, YLo, vHi, YHi);
    if (!std::isfinite(X) || !std::isfinite(Y))
        return false;
    *outX = X;
    *outY = Y;
    return true;
}

// Without calibration: the raw point taken as pixels, kept on the screen.
ScreenPoint Uncalibrated(const CConversionBase& c, const double* raw)
{
    auto clampTo = [](double v, int size) -> int32_t {
        if (!(v > 0.0) || size <= 0)  // also catches NaN
            return 0;
        if (v > size - 1)
            return size - 1;
        return CConversionBase::RoundToPixel(v);
    };
    return ScreenPoint{clampTo(raw[0], c.m_nScreenWidth), clampTo(raw[1], c.m_nScreenHeight)};
}
}  // namespace

CConversion::CConversion(const std::wstring& name, const char* key)
    : CConversionBase(name, key)
{
}

bool CConversion::ChooseCell(const double* raw, int cell[4]) const
{
    int rows = 0, cols = 0;
    if (!ShapeOf(m_DotNum, &rows, &cols))
        return false;
    const Grid g = MakeGrid(*this, rows, cols);
    FindCell(g, g.sx * raw[0], g.sy * raw[1], cell);
    return true;
}

ScreenPoint CConversion::RawToScreen(const double* raw) const
{
    int rows = 0, cols = 0;
    if (!ShapeOf(m_DotNum, &rows, &cols))
        return Uncalibrated(*this, raw);

    const Grid g = MakeGrid(*this, rows, cols);
    const double u = g.sx * raw[0];
    const double v = g.sy * raw[1];
    int cell[4];
    FindCell(g, u, v, cell);

    double X = 0, Y = 0;
    if (Interpolate(g, u, v, cell, &X, &Y) || GridLinear(g, u, v, &X, &Y))
        return ScreenPoint{RoundToPixel(X), RoundToPixel(Y)};
    return Uncalibrated(*this, raw);
}
