#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavrin_test
{
CTempDir::CTempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavrin-test-XXXXXX";
    char* p = mkdtemp(tmpl.data());
    if (!p)
        throw std::runtime_error("mkdtemp failed");
    m_path = p;
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void CTempDir::WriteFile(const std::string& rel, const std::string& text) const
{
    fs::path p = fs::path(m_path) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string CTempDir::ReadFile(const std::string& rel) const
{
    return ReadWholeFile((fs::path(m_path) / rel).string());
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

CChdir::CChdir(const std::string& dir)
{
    m_old = fs::current_path().string();
    fs::current_path(dir);
}

CChdir::~CChdir()
{
    std::error_code ec;
    fs::current_path(m_old, ec);
}
}  // namespace tavrin_test
