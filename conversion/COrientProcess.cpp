#include "conversion/COrientProcess.h"

#include "app/CAppServices.h"
#include "app/CClock.h"
#include "config/CConfigXML.h"

#include <cstdio>
#include <cstring>
#include <iostream>

COrientProcess::COrientProcess(const std::wstring& name)
    : m_strSection(SectionName(name)), m_strKey("coordinate")
{
    m_nSkip = (m_strSection == "TavrinWorkIR") ? 12 : 8;
    std::memset(m_Points, 0, sizeof(m_Points));
    std::memset(m_Samples, 0, sizeof(m_Samples));
}

COrientProcess::~COrientProcess() = default;

void COrientProcess::Start(int count, int mode)
{
    // The file is read before taking the lock so samples arriving meanwhile
    // are not held up by disk access.
    int size = 0;
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.GetInt(m_strSection.c_str(), "Constants", "ORIENT_RECV_DATA_SIZE", &size, 0);
            cfg.Close();
        }
    }
    if (size < MIN_SAMPLE_SIZE || size > MAX_SAMPLES)
    {
        const int used = size < MIN_SAMPLE_SIZE ? static_cast<int>(MIN_SAMPLE_SIZE) : static_cast<int>(MAX_SAMPLES);
        printf("COrientProcess: ORIENT_RECV_DATA_SIZE %d out of range %d..%d, using %d\n", size,
               static_cast<int>(MIN_SAMPLE_SIZE), static_cast<int>(MAX_SAMPLES), used);
        fflush(stdout);
        size = used;
    }
    if (count < 0 || count > MAX_POINTS)
    {
        const int used = count < 0 ? 0 : static_cast<int>(MAX_POINTS);
        printf("COrientProcess: point count %d out of range 0..%d, using %d\n", count,
               static_cast<int>(MAX_POINTS), used);
        fflush(stdout);
        count = used;
    }

    std::lock_guard<std::mutex> lock(m_Mutex);
    std::memset(m_Points, 0, sizeof(m_Points));
    std::memset(m_Samples, 0, sizeof(m_Samples));
    m_bPointDone = 0;
    m_nSampleCount = 0;
    m_nPointIndex = 0;
    m_nSampleSize = size;
    m_nPointCount = count;
    m_nMode = mode;
}

bool COrientProcess::AddSample(int x, int y)
{
    bool complete = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_nSampleCount < m_nSampleSize + m_nSkip && m_nPointIndex < m_nPointCount)
        {
            if (m_nSampleCount >= m_nSkip)
            {
                m_Samples[m_nSampleCount - m_nSkip][0] = x;
                m_Samples[m_nSampleCount - m_nSkip][1] = y;
            }
            ++m_nSampleCount;
            return false;
        }
        if (m_bPointDone || m_nPointIndex >= m_nPointCount)
            return false;

        AveragePoint();
        ++m_nPointIndex;
        if (m_nPointIndex == m_nPointCount)
        {
            SavePoints(m_nMode);
            complete = true;
        }
        else
        {
            m_bPointDone = 1;
        }
    }

    // Outside the lock: the application may call back into the work thread
    // or wait on the main thread, which may be inside Start.
    AppServices().AdviseCommandClient("fin");
    if (complete)
        AppServices().ReloadCalibration();
    return complete;
}

void COrientProcess::ResetPoint()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_nSampleCount = 0;
    m_bPointDone = 0;
}

void COrientProcess::AveragePoint()
{
    const int n = m_nSampleSize;
    if (n < MIN_SAMPLE_SIZE || n > MAX_SAMPLES || m_nPointIndex < 0 || m_nPointIndex >= MAX_POINTS)
        return;

    // 64-bit sums: raw coordinates of some boards reach 2^24, and 200 of them
    // overflow an int.
    int64_t sumX = 0, sumY = 0;
    int32_t minX = m_Samples[0][0], maxX = minX;
    int32_t minY = m_Samples[0][1], maxY = minY;
    for (int i = 0; i < n; ++i)
    {
        const int32_t sx = m_Samples[i][0];
        const int32_t sy = m_Samples[i][1];
        sumX += sx;
        sumY += sy;
        if (sx < minX) minX = sx;
        if (sx > maxX) maxX = sx;
        if (sy < minY) minY = sy;
        if (sy > maxY) maxY = sy;
    }
    const double x = static_cast<double>(sumX - maxX - minX) / (n - 2);
    const double y = static_cast<double>(sumY - maxY - minY) / (n - 2);
    m_Points[m_nPointIndex][0] = x;
    m_Points[m_nPointIndex][1] = y;
    std::cout << "(" << x << ", " << y << " )" << std::endl;
}

void COrientProcess::SavePoints(int mode)
{
    if (m_nPointIndex != m_nPointCount)
        return;
    if (mode != 1 && mode != 2)
        return;

    const char* section = m_strSection.c_str();
    if (mode == 1)
    {
        // A count the mapping cannot use would replace a working calibration
        // with none; keep the stored one.
        const int n = m_nPointCount;
        if (!(n == 4 || n == 9 || n == 12 || n == 20 || n == 25))
        {
            printf("COrientProcess: %d points are not a calibration grid, calibration not stored\n", n);
            fflush(stdout);
            return;
        }
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.SetInt(section, m_strKey.c_str(), "dotNum", n);
            cfg.SetPointsD(section, m_strKey.c_str(), "dot", n, m_Points);
            cfg.Save();
            cfg.Close();
        }
        for (int k = 0; k < n; ++k)
            std::cout << "(" << m_Points[k][0] << ", " << m_Points[k][1] << ")" << std::endl;
    }
    else
    {
        CConfigXML cfg;
        if (cfg.Load(CONFIG_FILE))
        {
            cfg.SetPointsD(section, "HOTKEY", "key", m_nPointCount, m_Points);
            cfg.Save();
            cfg.Close();
        }
    }
    Clock().SleepUs(500);
}

int COrientProcess::GetPointCount() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nPointCount;
}

int COrientProcess::GetPointIndex() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nPointIndex;
}

int COrientProcess::GetSampleSize() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nSampleSize;
}

int COrientProcess::GetSkip() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nSkip;
}

int COrientProcess::GetMode() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nMode;
}

bool COrientProcess::GetPoint(int index, double* x, double* y) const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (index < 0 || index >= MAX_POINTS)
        return false;
    *x = m_Points[index][0];
    *y = m_Points[index][1];
    return true;
}
