#pragma once
#include <cstdint>
#include <mutex>
#include <string>

// Collects a series of points from steady contacts: calibration points
// (mode 1) or soft-key positions (mode 2). Each point is the trimmed mean of
// one contact's samples after a settling skip; the companion program is told
// "fin" after every point; after the last one the series is stored and the
// mapping rebuilt.
//
// Start runs on the main thread while samples arrive on the work thread, so
// the collection state is guarded by m_Mutex. The lock is never held while
// calling the application (AdviseCommandClient, ReloadCalibration).
class COrientProcess
{
public:
    enum
    {
        MAX_POINTS = 30,
        MAX_SAMPLES = 200,
        MIN_SAMPLE_SIZE = 3,
    };

    explicit COrientProcess(const std::wstring& name);
    virtual ~COrientProcess();

    // Begins a collection of `count` points (clamped to 0..30) in `mode`;
    // drops any collection in progress. Reads ORIENT_RECV_DATA_SIZE (clamped
    // to 3..200).
    void Start(int count, int mode);
    // One raw sample of the current contact. True exactly once per
    // collection: for the sample that completes the last point, after the
    // series was stored and the mapping rebuild requested.
    bool AddSample(int x, int y);
    // The contact ended; the next contact starts the current point afresh.
    void ResetPoint();

    // Snapshot accessors (locked).
    int GetPointCount() const;
    int GetPointIndex() const;
    int GetSampleSize() const;
    int GetSkip() const;
    int GetMode() const;
    bool GetPoint(int index, double* x, double* y) const;

protected:
    // Steps of AddSample; the caller holds m_Mutex.
    void AveragePoint();
    void SavePoints(int mode);

    int m_nPointCount = 0;
    int m_nPointIndex = 0;
    double m_Points[MAX_POINTS][2];
    int32_t m_Samples[MAX_SAMPLES][2];
    int m_nMode = 0;
    std::string m_strSection;
    std::string m_strKey;
    int m_nSampleSize = 0;
    int m_nSkip = 8;
    int m_nSampleCount = 0;
    int m_bPointDone = 0;

    mutable std::mutex m_Mutex;

private:
    COrientProcess(const COrientProcess&) = delete;
    COrientProcess& operator=(const COrientProcess&) = delete;
};
