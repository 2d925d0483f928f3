#pragma once
#include <string>

namespace tavrin_test
{
// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    const std::string& Path() const { return m_path; }
    // Writes `text` to Path()/rel, creating parent folders.
    void WriteFile(const std::string& rel, const std::string& text) const;
    std::string ReadFile(const std::string& rel) const;

private:
    std::string m_path;
};

// Changes the working directory for the lifetime of the object.
class CChdir
{
public:
    explicit CChdir(const std::string& dir);
    ~CChdir();

private:
    std::string m_old;
};

std::string ReadWholeFile(const std::string& path);
}  // namespace tavrin_test
