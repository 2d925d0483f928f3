#include "conversion/CConversion.h"

#include "FakeClock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using tavrin_test::CChdir;
using tavrin_test::CFakeClock;
using tavrin_test::CTempDir;

namespace
{
// Board units as an affine function of the screen pixel the user touches.
struct Relation
{
    const char* name;
    double ax, bx, cx;  // raw x = ax X + bx Y + cx
    double ay, by, cy;  // raw y = ay X + by Y + cy

    void Raw(double X, double Y, double out[2]) const
    {
        out[0] = ax * X + bx * Y + cx;
        out[1] = ay * X + by * Y + cy;
    }
    // Where the board says a raw point is.
    void Screen(const double raw[2], double* X, double* Y) const
    {
        const double det = ax * by - bx * ay;
        *X = (by * (raw[0] - cx) - bx * (raw[1] - cy)) / det;
        *Y = (ax * (raw[1] - cy) - ay * (raw[0] - cx)) / det;
    }
};

const Relation kStraight{"straight", 4.0, 0.0, 100.0, 0.0, 5.0, 200.0};
const Relation kSkewed{"skewed", 3.0, 0.4, 50.0, -0.3, 2.5, 800.0};
// ETPD boards count raw x down from 16384 towards the right.
const Relation kMirroredX{"mirroredX", -7.5, 0.2, 16000.0, 0.1, 12.0, 300.0};
const Relation kMirroredXY{"mirroredXY", -7.5, 0.0, 16000.0, 0.0, -12.0, 15000.0};

// Deterministic scatter of a few raw units, different for every point, so
// that the grid is no longer affine and only the right cell reproduces a
// calibration point.
double Jitter(int k, int axis)
{
    return static_cast<double>(((k * 37 + axis * 17) % 11) - 5) * 3.0;
}

// A calibration of `dotNum` points touched on a board with relation `rel`.
std::unique_ptr<CConversion> Calibrated(int dotNum, const Relation& rel, int W = 1920, int H = 1080,
                                        bool jitter = false)
{
    auto c = std::make_unique<CConversion>(L"TavrinWorkETPD", "coordinate");
    c->SetScreenSize(W, H);
    c->m_DotNum = dotNum;
    testing::internal::CaptureStdout();
    c->ReadPosition();
    testing::internal::GetCapturedStdout();
    for (int k = 0; k < dotNum; ++k)
    {
        rel.Raw(c->m_ScreenPoints[k][0], c->m_ScreenPoints[k][1], c->m_RawPoints[k]);
        if (jitter)
        {
            c->m_RawPoints[k][0] += Jitter(k, 0);
            c->m_RawPoints[k][1] += Jitter(k, 1);
        }
    }
    return c;
}

ScreenPoint MapScreen(const CConversion& c, const Relation& rel, double X, double Y)
{
    double raw[2];
    rel.Raw(X, Y, raw);
    return c.RawToScreen(raw);
}

std::vector<int> Cell(const CConversion& c, double x, double y)
{
    const double raw[2] = {x, y};
    int cell[4] = {-1, -1, -1, -1};
    EXPECT_TRUE(c.ChooseCell(raw, cell));
    return std::vector<int>(cell, cell + 4);
}

const int kShapes[] = {4, 9, 12, 20, 25};
const Relation* const kRelations[] = {&kStraight, &kSkewed, &kMirroredX, &kMirroredXY};
}  // namespace

TEST(ConversionRounding, TruncatesAndRoundsUpOnlyAboveHalf)
{
    const struct
    {
        double in;
        int32_t out;
    } cases[] = {
        {2.5, 2}, {2.51, 3}, {-0.7, 0}, {-3.6, -3}, {0.0, 0}, {959.9999999, 960}, {960.0000001, 960},
        {NAN, 0}, {INFINITY, 0}, {1e300, 1000000000}, {-1e300, -1000000000},
    };
    for (const auto& tc : cases)
        EXPECT_EQ(CConversionBase::RoundToPixel(tc.in), tc.out) << tc.in;
}

TEST(ConversionTargets, SpanNinetyTwoPercentOfTheScreen)
{
    const struct
    {
        int W, H, dotNum, rows, cols;
        std::vector<int> xs, ys;
    } cases[] = {
        {1920, 1080, 9, 3, 3, {76, 960, 1843}, {43, 540, 1036}},
        {1920, 1080, 20, 4, 5, {76, 518, 960, 1401, 1843}, {43, 374, 705, 1036}},
        {1024, 768, 9, 3, 3, {40, 512, 983}, {30, 384, 737}},
        {1920, 1080, 0, 3, 3, {76, 960, 1843}, {43, 540, 1036}},
        {1920, 1080, 12, 3, 4, {76, 665, 1254, 1843}, {43, 540, 1036}},
    };
    for (const auto& tc : cases)
    {
        CConversion c(L"TavrinWorkPS", "coordinate");
        c.SetScreenSize(tc.W, tc.H);
        c.m_DotNum = tc.dotNum;
        testing::internal::CaptureStdout();
        c.ReadPosition();
        const std::string out = testing::internal::GetCapturedStdout();
        SCOPED_TRACE(std::to_string(tc.W) + "x" + std::to_string(tc.H) + " n=" + std::to_string(tc.dotNum));
        ASSERT_EQ(c.m_nRows, tc.rows);
        ASSERT_EQ(c.m_nCols, tc.cols);
        for (int i = 0; i < tc.cols; ++i)
        {
            for (int j = 0; j < tc.rows; ++j)
            {
                EXPECT_EQ(c.m_ScreenPoints[i * tc.rows + j][0], tc.xs[i]);
                EXPECT_EQ(c.m_ScreenPoints[i * tc.rows + j][1], tc.ys[j]);
            }
        }
        std::string expected = "In ReadPosition: m_DotNum = " + std::to_string(tc.dotNum) + "\n";
        for (int k = 0; k < tc.dotNum; ++k)
            expected += "(" + std::to_string(tc.xs[k / tc.rows]) + "," + std::to_string(tc.ys[k % tc.rows]) + ")\n";
        EXPECT_EQ(out, expected);
    }
}

// Every calibration point lands on its own target, for every grid shape and
// board orientation, also when the grid is not affine (only the cell that
// has the point as a corner reproduces it there).
TEST(ConversionMapping, CalibrationPointsMapOntoTheirTargets)
{
    for (int n : kShapes)
    {
        for (const Relation* rel : kRelations)
        {
            for (bool jitter : {false, true})
            {
                auto c = Calibrated(n, *rel, 1920, 1080, jitter);
                for (int k = 0; k < n; ++k)
                {
                    const ScreenPoint p = c->RawToScreen(c->m_RawPoints[k]);
                    EXPECT_EQ(p.x, c->m_ScreenPoints[k][0])
                        << "n=" << n << " " << rel->name << " jitter=" << jitter << " k=" << k;
                    EXPECT_EQ(p.y, c->m_ScreenPoints[k][1])
                        << "n=" << n << " " << rel->name << " jitter=" << jitter << " k=" << k;
                }
            }
        }
    }
}

// On an affine board the interpolation is exact anywhere, inside the grid and
// beyond it (outer cells reach to infinity).
TEST(ConversionMapping, AffineBoardMapsEveryPointInsideAndOutsideTheGrid)
{
    const double probes[][2] = {
        {500, 300}, {960, 540}, {1200.4, 900.6}, {100, 1000}, {1800, 60}, {300.5, 700.5},
        // beyond the calibrated 92 %
        {10, 10}, {1915, 1075}, {-200, 540}, {960, -150}, {2300, 1300}, {-40, 1200},
    };
    for (int n : kShapes)
    {
        for (const Relation* rel : kRelations)
        {
            for (int size = 0; size < 2; ++size)
            {
                const int W = size ? 1024 : 1920;
                const int H = size ? 768 : 1080;
                auto c = Calibrated(n, *rel, W, H);
                for (const auto& pr : probes)
                {
                    const double X = pr[0] * W / 1920.0;
                    const double Y = pr[1] * H / 1080.0;
                    double raw[2];
                    rel->Raw(X, Y, raw);
                    ScreenPoint p{0, 0};
                    EXPECT_TRUE(c->RawToScreenChecked(raw, &p));
                    EXPECT_NEAR(p.x, X, 1.0) << "n=" << n << " " << rel->name << " at " << X << "," << Y;
                    EXPECT_NEAR(p.y, Y, 1.0) << "n=" << n << " " << rel->name << " at " << X << "," << Y;
                }
            }
        }
    }
}

// A stroke across a non-affine grid moves the pointer without jumps: every
// raw point finds a cell next to it, on cell borders too.
TEST(ConversionMapping, StrokesAcrossAnUnevenGridHaveNoJumps)
{
    for (int n : kShapes)
    {
        for (const Relation* rel : kRelations)
        {
            auto c = Calibrated(n, *rel, 1920, 1080, true);
            for (double Y = -50; Y <= 1130; Y += 97)
            {
                ScreenPoint prev = MapScreen(*c, *rel, -50, Y);
                for (double X = -48; X <= 1970; X += 2)
                {
                    const ScreenPoint p = MapScreen(*c, *rel, X, Y);
                    ASSERT_LE(std::abs(p.x - prev.x), 8) << "n=" << n << " " << rel->name << " at " << X << "," << Y;
                    ASSERT_LE(std::abs(p.y - prev.y), 8) << "n=" << n << " " << rel->name << " at " << X << "," << Y;
                    ASSERT_NEAR(p.x, X, 25);
                    ASSERT_NEAR(p.y, Y, 25);
                    prev = p;
                }
            }
        }
    }
}

TEST(ConversionCells, NinePointBoundariesGoLeftAndUp)
{
    for (const Relation* rel : {&kStraight, &kMirroredX, &kMirroredXY})
    {
        auto c = Calibrated(9, *rel);
        const double x4 = c->m_RawPoints[4][0];
        const double y4 = c->m_RawPoints[4][1];
        // sign of the raw direction of the screen's right / bottom
        const double right = rel->ax > 0 ? 1 : -1;
        const double down = rel->by > 0 ? 1 : -1;
        SCOPED_TRACE(rel->name);
        EXPECT_EQ(Cell(*c, x4, y4 - 50 * down), (std::vector<int>{0, 1, 3, 4}));
        EXPECT_EQ(Cell(*c, x4 + 0.01 * right, y4 - 50 * down), (std::vector<int>{3, 4, 6, 7}));
        EXPECT_EQ(Cell(*c, x4 - 50 * right, y4), (std::vector<int>{0, 1, 3, 4}));
        EXPECT_EQ(Cell(*c, x4 - 50 * right, y4 + 0.01 * down), (std::vector<int>{1, 2, 4, 5}));
        EXPECT_EQ(Cell(*c, x4, y4), (std::vector<int>{0, 1, 3, 4}));
    }
}

TEST(ConversionCells, TwentyPointXOnX5GoesToTheSecondColumn)
{
    for (const Relation* rel : {&kStraight, &kMirroredX})
    {
        auto c = Calibrated(20, *rel);
        const double x5 = c->m_RawPoints[5][0];
        const double y5 = c->m_RawPoints[5][1];
        const double right = rel->ax > 0 ? 1 : -1;
        SCOPED_TRACE(rel->name);
        EXPECT_EQ(Cell(*c, x5, y5 - 30), (std::vector<int>{4, 5, 8, 9}));
        EXPECT_EQ(Cell(*c, x5 - 0.01 * right, y5 - 30), (std::vector<int>{0, 1, 4, 5}));
        // below the last inner row, right of the last inner column
        EXPECT_EQ(Cell(*c, c->m_RawPoints[14][0] + 100 * right, c->m_RawPoints[14][1] + 100),
                  (std::vector<int>{14, 15, 18, 19}));
    }
}

// A grid whose columns lean leaves raw points that pass none of the twelve
// tests of the 4 x 5 grid; they still get the enclosing cell.
TEST(ConversionCells, TwentyPointGapInALeaningGridGetsTheEnclosingCell)
{
    // Column lines lean left going down, row lines fall to the right.
    const Relation leaning{"leaning", 4.0, -1.5, 3000.0, 0.2, 3.0, 200.0};
    auto c = Calibrated(20, leaning);
    const auto& r = c->m_RawPoints;
    const double raw[2] = {(r[6][0] + r[5][0]) / 2, (r[6][1] + r[10][1]) / 2};
    // x6 < x < x5 and y6 <= y < y10: none of the twelve tests holds.
    ASSERT_LT(r[6][0], raw[0]);
    ASSERT_LT(raw[0], r[5][0]);
    ASSERT_LE(r[6][1], raw[1]);
    ASSERT_LT(raw[1], r[10][1]);

    EXPECT_EQ(Cell(*c, raw[0], raw[1]), (std::vector<int>{6, 7, 10, 11}));
    double X, Y;
    leaning.Screen(raw, &X, &Y);
    const ScreenPoint p = c->RawToScreen(raw);
    EXPECT_NEAR(p.x, X, 1.0);
    EXPECT_NEAR(p.y, Y, 1.0);
}

TEST(ConversionCells, GeneralRuleForTwelveAndTwentyFivePoints)
{
    for (const Relation* rel : {&kStraight, &kMirroredXY})
    {
        auto c12 = Calibrated(12, *rel);
        auto c25 = Calibrated(25, *rel);
        const struct
        {
            CConversion* c;
            double X, Y;
            std::vector<int> cell;
        } cases[] = {
            // 3 rows x 4 columns
            {c12.get(), 300, 200, {0, 1, 3, 4}},
            {c12.get(), 700, 800, {4, 5, 7, 8}},
            {c12.get(), 1900, 1070, {7, 8, 10, 11}},
            {c12.get(), -500, -500, {0, 1, 3, 4}},
            // 5 rows x 5 columns
            {c25.get(), 100, 100, {0, 1, 5, 6}},
            {c25.get(), 1000, 600, {12, 13, 17, 18}},
            {c25.get(), 1900, 1070, {18, 19, 23, 24}},
            {c25.get(), 5000, -300, {15, 16, 20, 21}},
        };
        for (const auto& tc : cases)
        {
            double raw[2];
            rel->Raw(tc.X, tc.Y, raw);
            EXPECT_EQ(Cell(*tc.c, raw[0], raw[1]), tc.cell) << rel->name << " at " << tc.X << "," << tc.Y;
        }
        // Grid points on inner lines belong to the cell left of and above them.
        EXPECT_EQ(Cell(*c25, c25->m_RawPoints[12][0], c25->m_RawPoints[12][1]), (std::vector<int>{6, 7, 11, 12}))
            << rel->name;
    }
}

// Without calibration the raw point is used as pixels, held on the screen.
// Stored counts that are no grid shape are treated the same way.
TEST(ConversionMapping, WithoutCalibrationRawIsTakenAsPixelsOnScreen)
{
    const struct
    {
        double x, y;
        int32_t ex, ey;
    } cases[] = {
        {500.4, 300.6, 500, 301}, {-5, 99999, 0, 1079}, {1e300, -1e300, 1919, 0},
        {NAN, INFINITY, 0, 1079}, {0, 0, 0, 0}, {1919.9, 1079.2, 1919, 1079},
    };
    for (int dotNum : {0, -1, 7, 26, 30, 1000000})
    {
        CConversion c(L"TavrinWorkPS", "coordinate");
        c.SetScreenSize(1920, 1080);
        c.m_DotNum = dotNum;
        testing::internal::CaptureStdout();
        c.ReadPosition();
        testing::internal::GetCapturedStdout();
        int cell[4];
        const double any[2] = {1, 1};
        EXPECT_FALSE(c.ChooseCell(any, cell));
        for (const auto& tc : cases)
        {
            const double raw[2] = {tc.x, tc.y};
            const ScreenPoint p = c.RawToScreen(raw);
            EXPECT_EQ(p.x, tc.ex) << "dotNum=" << dotNum << " x=" << tc.x;
            EXPECT_EQ(p.y, tc.ey) << "dotNum=" << dotNum << " y=" << tc.y;
        }
    }
}

// Grids that make the cell formulas divide by zero give a point near where
// the rest of the grid puts it, never garbage.
TEST(ConversionMapping, DegenerateGridsStayOnSaneCoordinates)
{
    struct Case
    {
        const char* name;
        int dotNum;
        int W, H;
        void (*damage)(CConversion&);
    };
    const Case cases[] = {
        {"all points equal", 9, 1920, 1080,
         [](CConversion& c) {
             for (int k = 0; k < 9; ++k)
             {
                 c.m_RawPoints[k][0] = 500;
                 c.m_RawPoints[k][1] = 500;
             }
         }},
        {"all points zero", 25, 1920, 1080,
         [](CConversion& c) {
             for (auto& p : c.m_RawPoints)
                 p[0] = p[1] = 0;
         }},
        {"top edge vertical", 9, 1920, 1080, [](CConversion& c) { c.m_RawPoints[3][0] = c.m_RawPoints[0][0]; }},
        {"bottom edge vertical", 4, 1920, 1080, [](CConversion& c) { c.m_RawPoints[3][0] = c.m_RawPoints[1][0]; }},
        {"edges cross", 4, 1920, 1080,
         [](CConversion& c) {
             std::swap(c.m_RawPoints[0][1], c.m_RawPoints[1][1]);
         }},
        {"1x1 screen", 9, 1, 1, [](CConversion&) {}},
        {"zero screen", 20, 0, 0, [](CConversion&) {}},
        {"huge raw", 9, 1920, 1080, [](CConversion& c) { c.m_RawPoints[8][0] = 1e200; }},
    };
    for (const auto& tc : cases)
    {
        auto c = Calibrated(tc.dotNum, kStraight, tc.W, tc.H);
        tc.damage(*c);
        const int W = tc.W > 0 ? tc.W : 1;
        const int H = tc.H > 0 ? tc.H : 1;
        for (double X = -0.2 * W; X <= 1.2 * W; X += 0.1 * W)
        {
            for (double Y = -0.2 * H; Y <= 1.2 * H; Y += 0.1 * H)
            {
                const ScreenPoint p = MapScreen(*c, kStraight, X, Y);
                // within a few screens of the point
                EXPECT_LE(std::abs(p.x - X), 3.0 * W + 2) << tc.name << " at " << X << "," << Y;
                EXPECT_LE(std::abs(p.y - Y), 3.0 * H + 2) << tc.name << " at " << X << "," << Y;
            }
        }
    }
}

TEST(ConversionCameraArea, AddsMarginsAndClipsToTheFrame)
{
    const struct
    {
        const char* name;
        double xs[3], ys[3];  // raw x of each column, raw y of each row
        int area[4];          // right, left, top, bottom
    } cases[] = {
        {"inside", {400, 1600, 2800}, {300, 1200, 2100}, {304, 16, 10, 230}},
        {"mirrored", {2800, 1600, 400}, {2100, 1200, 300}, {304, 16, 10, 230}},
        {"to the frame's edges", {50, 1600, 3150}, {20, 1200, 2380}, {320, 0, 0, 240}},
    };
    for (const auto& tc : cases)
    {
        CConversion c(L"TavrinWorkLT", "coordinate");
        c.m_DotNum = 9;
        c.m_nRows = 3;
        c.m_nCols = 3;
        for (int col = 0; col < 3; ++col)
        {
            for (int row = 0; row < 3; ++row)
            {
                c.m_RawPoints[col * 3 + row][0] = tc.xs[col];
                c.m_RawPoints[col * 3 + row][1] = tc.ys[row];
            }
        }
        c.ComputeCameraArea();
        const int* a = c.GetCameraArea();
        EXPECT_EQ(std::vector<int>(a, a + 4), std::vector<int>(tc.area, tc.area + 4)) << tc.name;
    }
}

class ConversionSettings : public testing::Test
{
protected:
    void WriteConfig(const std::string& board)
    {
        m_dir.WriteFile("Config/config.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n" + board +
                                                 "</Config>\n");
    }
    std::string Update(CConversion& c)
    {
        testing::internal::CaptureStdout();
        c.Update();
        return testing::internal::GetCapturedStdout();
    }

    CFakeClock m_clock;
    CTempDir m_dir;
    CChdir m_cd{m_dir.Path()};
};

TEST_F(ConversionSettings, LoadsTheStoredCalibration)
{
    WriteConfig(
        "<TavrinWorkIR><coordinate dotNum=\"4\" dot0=\"(812.250000,655.750000)\" dot1=\"(812.000000,3400.5)\" "
        "dot2=\"(3600.000000,650.000000)\" dot3=\"(3610.000000,3390.000000)\"/></TavrinWorkIR>\n");
    CConversion c(L"TavrinWorkIR", "coordinate");
    c.SetScreenSize(1920, 1080);
    const std::string out = Update(c);
    EXPECT_EQ(out, "TavrinWorkIR\nIn ReadPosition: m_DotNum = 4\n(76,43)\n(76,1036)\n(1843,43)\n(1843,1036)\n");
    ASSERT_EQ(c.m_DotNum, 4);
    EXPECT_EQ(c.m_nRows, 2);
    EXPECT_EQ(c.m_nCols, 2);
    EXPECT_DOUBLE_EQ(c.m_RawPoints[0][0], 812.25);
    EXPECT_DOUBLE_EQ(c.m_RawPoints[0][1], 655.75);
    EXPECT_DOUBLE_EQ(c.m_RawPoints[1][1], 3400.5);
    const ScreenPoint p = c.RawToScreen(c.m_RawPoints[3]);
    EXPECT_EQ(p.x, 1843);
    EXPECT_EQ(p.y, 1036);
}

TEST_F(ConversionSettings, MissingElementOrFileLeavesTheBoardUncalibrated)
{
    WriteConfig("<TavrinWorkIR><Constants/></TavrinWorkIR>\n");
    CConversion c(L"TavrinWorkIR", "coordinate");
    c.SetScreenSize(1920, 1080);
    EXPECT_EQ(Update(c), "TavrinWorkIR\nIn ReadPosition: m_DotNum = 0\n");
    EXPECT_EQ(c.m_DotNum, 0);
    EXPECT_EQ(c.m_nRows, 3);
    EXPECT_EQ(c.m_nCols, 3);
    EXPECT_EQ(c.m_ScreenPoints[8][0], 1843);

    CConversion other(L"TavrinWorkPS", "coordinate");
    other.SetScreenSize(1920, 1080);
    EXPECT_EQ(Update(other), "TavrinWorkPS\nIn ReadPosition: m_DotNum = 0\n");
}

// Damaged calibrations are ignored (the board maps as uncalibrated) and the
// file is not rewritten.
TEST_F(ConversionSettings, DamagedCalibrationIsIgnoredAndTheFileKept)
{
    const struct
    {
        const char* name;
        std::string element;
    } cases[] = {
        {"count above 25", "<coordinate dotNum=\"30\" dot0=\"(1,1)\" dot29=\"(5,5)\"/>"},
        {"negative count", "<coordinate dotNum=\"-4\"/>"},
        {"count of no grid", "<coordinate dotNum=\"6\" dot0=\"(1,1)\"/>"},
        {"huge count", "<coordinate dotNum=\"2147483647\"/>"},
        {"nan point", "<coordinate dotNum=\"4\" dot0=\"(nan,1)\" dot1=\"(1,2)\" dot2=\"(3,4)\" dot3=\"(5,6)\"/>"},
        {"infinite point", "<coordinate dotNum=\"4\" dot0=\"(1,1)\" dot1=\"(1,inf)\" dot2=\"(3,4)\" dot3=\"(5,6)\"/>"},
        {"absurd point", "<coordinate dotNum=\"4\" dot0=\"(1e300,1)\" dot1=\"(1,2)\" dot2=\"(3,4)\" dot3=\"(5,6)\"/>"},
    };
    for (const auto& tc : cases)
    {
        WriteConfig("<TavrinWorkPS>" + tc.element + "</TavrinWorkPS>\n");
        const std::string before = m_dir.ReadFile("Config/config.xml");
        CConversion c(L"TavrinWorkPS", "coordinate");
        c.SetScreenSize(1920, 1080);
        const std::string out = Update(c);
        EXPECT_EQ(c.m_DotNum, 0) << tc.name;
        EXPECT_NE(out.find("In ReadPosition: m_DotNum = 0\n"), std::string::npos) << tc.name;
        const double raw[2] = {700, 400};
        const ScreenPoint p = c.RawToScreen(raw);
        EXPECT_EQ(p.x, 700) << tc.name;
        EXPECT_EQ(p.y, 400) << tc.name;
        EXPECT_EQ(m_dir.ReadFile("Config/config.xml"), before) << tc.name;
    }
}

TEST(ConversionScreen, SizeComesFromOverrideOrFallsBackWithoutDisplay)
{
    CConversionBase::OverrideScreenSize(1280, 1024);
    {
        std::unique_ptr<CConversionBase> c(CreateConversion(L"TavrinWorkETPD", "coordinate"));
        c->ReadScreenSize();
        EXPECT_EQ(c->m_nScreenWidth, 1280);
        EXPECT_EQ(c->m_nScreenHeight, 1024);
        EXPECT_EQ(c->m_strSection, "TavrinWorkETPD");
        EXPECT_EQ(c->m_strKey, "coordinate");
    }
    CConversionBase::OverrideScreenSize(0, 0);

    const char* display = getenv("DISPLAY");
    const std::string saved = display ? display : "";
    unsetenv("DISPLAY");
    {
        CConversion c(L"TavrinWorkETPD", "coordinate");
        testing::internal::CaptureStdout();
        c.ReadScreenSize();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.m_nScreenWidth, 1920);
        EXPECT_EQ(c.m_nScreenHeight, 1080);
        EXPECT_EQ(out, "ReadScreenSize: no X display, using 1920x1080\n");

        // A size set by hand wins over the display.
        c.SetScreenSize(800, 600);
        c.ReadScreenSize();
        EXPECT_EQ(c.m_nScreenWidth, 800);
    }
    if (display)
        setenv("DISPLAY", saved.c_str(), 1);
}
