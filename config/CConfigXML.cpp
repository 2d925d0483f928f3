#include "config/CConfigXML.h"

#include "app/CClock.h"

#include <tinyxml2.h>

#include <cerrno>
#include <clocale>
#include <locale.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::mutex g_ConfigMutex;

namespace
{
constexpr int LOAD_ATTEMPTS = 15;
constexpr int LOAD_RETRY_MS = 200;

// printf/scanf in the "C" numeric format whatever the process locale is, so a
// German or French locale never writes "1,5" into the file.
class CNumericC
{
public:
    CNumericC() : m_loc(newlocale(LC_NUMERIC_MASK, "C", (locale_t)0))
    {
        if (m_loc)
            m_old = uselocale(m_loc);
    }
    ~CNumericC()
    {
        if (m_loc)
        {
            uselocale(m_old);
            freelocale(m_loc);
        }
    }

private:
    locale_t m_loc;
    locale_t m_old = (locale_t)0;
};

bool IndexedName(char* out, size_t size, const char* prefix, int index)
{
    int n = snprintf(out, size, "%s%d", prefix, index);
    return n > 0 && (size_t)n < size;
}

// Point attributes: "(%d,%d)" for integer points, "(%lf,%lf)" (six
// decimals) for decimal ones. Reading stores the numbers that convert, from
// the left, and leaves the rest of the point as it was.
void FormatPoint(char* buf, size_t size, int x, int y) { snprintf(buf, size, "(%d,%d)", x, y); }
void FormatPoint(char* buf, size_t size, double x, double y) { snprintf(buf, size, "(%lf,%lf)", x, y); }
int ScanPoint(const char* text, int* x, int* y) { return sscanf(text, "(%d,%d)", x, y); }
int ScanPoint(const char* text, double* x, double* y) { return sscanf(text, "(%lf,%lf)", x, y); }

template <typename T>
void ParsePoint(const char* text, T* x, T* y)
{
    T a = *x, b = *y;
    int n = ScanPoint(text, &a, &b);
    if (n >= 1)
        *x = a;
    if (n >= 2)
        *y = b;
}

// Attributes prefix0 .. prefix(count-1) of `el`; false without the element.
template <typename T>
bool ReadPoints(const tinyxml2::XMLElement* el, const char* prefix, int count, T (*pts)[2])
{
    if (!el)
        return false;
    CNumericC c;
    char name[64];
    for (int i = 0; i < count; ++i)
    {
        if (!IndexedName(name, sizeof name, prefix, i))
            break;
        if (const char* text = el->Attribute(name))
            ParsePoint(text, &pts[i][0], &pts[i][1]);
    }
    return true;
}

template <typename T>
bool WritePoints(tinyxml2::XMLElement* el, const char* prefix, int count, const T (*pts)[2])
{
    if (!el)
        return false;
    CNumericC c;
    char name[64], buf[256];
    for (int i = 0; i < count; ++i)
    {
        if (!IndexedName(name, sizeof name, prefix, i))
            break;
        FormatPoint(buf, sizeof buf, pts[i][0], pts[i][1]);
        el->SetAttribute(name, buf);
    }
    return true;
}

// Writes `text` to `path` so that a reader (or a crash) sees either the old
// file or the new one, never a mixture: temporary file in the same folder,
// flushed to disk, permissions copied, renamed over the original.
bool WriteFileAtomically(const std::string& path, const char* text, size_t len)
{
    std::string dir = ".";
    std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);

    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
    {
        printf("settings: cannot create a temporary file beside %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }

    struct stat st;
    mode_t mode = 0644;
    if (stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;

    bool ok = true;
    size_t done = 0;
    while (ok && done < len)
    {
        ssize_t w = write(fd, text + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            ok = false;
        else
            done += (size_t)w;
    }
    if (ok && fchmod(fd, mode) != 0)
        ok = false;
    if (ok && fsync(fd) != 0)
        ok = false;
    int saved = errno;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(name.data(), path.c_str()) != 0)
    {
        saved = errno;
        ok = false;
    }
    if (!ok)
    {
        printf("settings: saving %s failed (%s); the previous file is kept\n", path.c_str(), strerror(saved));
        unlink(name.data());
        return false;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0)
    {
        fsync(dfd);
        close(dfd);
    }
    return true;
}
}  // namespace

std::string SectionName(const std::wstring& tag)
{
    std::string out;
    out.reserve(tag.size());
    for (wchar_t c : tag)
        out.push_back((c > 0 && c < 0x80) ? static_cast<char>(c) : '?');
    return out;
}

CConfigXML::CConfigXML() = default;

CConfigXML::~CConfigXML()
{
    Close();
}

bool CConfigXML::Load(const char* path)
{
    std::lock_guard<std::mutex> lock(g_ConfigMutex);
    delete m_pDoc;
    m_pDoc = new tinyxml2::XMLDocument;
    m_bLoaded = false;
    m_strPath = path ? path : "";

    for (int attempt = 1; attempt <= LOAD_ATTEMPTS; ++attempt)
    {
        if (!m_strPath.empty() && m_pDoc->LoadFile(m_strPath.c_str()) == tinyxml2::XML_SUCCESS &&
            m_pDoc->RootElement())
        {
            m_bLoaded = true;
            return true;
        }
        if (attempt < LOAD_ATTEMPTS)
            Clock().SleepMs(LOAD_RETRY_MS);
    }
    printf("settings: cannot load %s\n", m_strPath.c_str());
    fflush(stdout);
    return false;
}

void CConfigXML::Save()
{
    std::lock_guard<std::mutex> lock(g_ConfigMutex);
    if (!m_pDoc || !m_bLoaded)
        return;
    tinyxml2::XMLPrinter printer;
    m_pDoc->Print(&printer);
    // CStrSize counts the terminating NUL.
    size_t len = printer.CStrSize() > 0 ? (size_t)printer.CStrSize() - 1 : 0;
    WriteFileAtomically(m_strPath, printer.CStr(), len);
    fflush(stdout);
}

void CConfigXML::Close()
{
    m_bLoaded = false;
    delete m_pDoc;
    m_pDoc = nullptr;
}

tinyxml2::XMLElement* CConfigXML::FindKey(const char* section, const char* key) const
{
    if (!section || !key || !*section || !*key || !m_pDoc || !m_bLoaded)
        return nullptr;
    tinyxml2::XMLElement* root = m_pDoc->RootElement();
    if (!root)
        return nullptr;
    // Only the first section of that name counts.
    tinyxml2::XMLElement* sec = root->FirstChildElement(section);
    if (!sec)
        return nullptr;
    return sec->FirstChildElement(key);
}

bool CConfigXML::GetInt(const char* section, const char* key, const char* attr, int* value, int def)
{
    tinyxml2::XMLElement* el = FindKey(section, key);
    if (!el)
    {
        *value = def;
        return false;
    }
    const char* text = attr ? el->Attribute(attr) : nullptr;
    if (text)
    {
        CNumericC c;
        int v;
        if (sscanf(text, "%d", &v) == 1)
            *value = v;
    }
    return true;
}

bool CConfigXML::SetInt(const char* section, const char* key, const char* attr, int value)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%d", value);
    return SetAttribute(section, key, attr, buf);
}

bool CConfigXML::GetAttribute(const char* section, const char* key, const char* attr, std::string* out)
{
    tinyxml2::XMLElement* el = FindKey(section, key);
    const char* text = (el && attr) ? el->Attribute(attr) : nullptr;
    if (!text)
        return false;
    *out = text;
    return true;
}

bool CConfigXML::SetAttribute(const char* section, const char* key, const char* attr, const char* text)
{
    tinyxml2::XMLElement* el = FindKey(section, key);
    if (!el || !attr || !*attr || !text)
        return false;
    el->SetAttribute(attr, text);
    return true;
}

bool CConfigXML::GetPoint(const char* section, const char* key, const char* attr, int* x, int* y)
{
    tinyxml2::XMLElement* el = FindKey(section, key);
    if (!el)
        return false;
    const char* text = attr ? el->Attribute(attr) : nullptr;
    if (text)
    {
        CNumericC c;
        ParsePoint(text, x, y);
    }
    return true;
}

bool CConfigXML::SetPoint(const char* section, const char* key, const char* attr, int x, int y)
{
    char buf[256];
    FormatPoint(buf, sizeof buf, x, y);
    return SetAttribute(section, key, attr, buf);
}

bool CConfigXML::GetPoints(const char* section, const char* key, const char* prefix, int count, int (*pts)[2])
{
    return ReadPoints(FindKey(section, key), prefix, count, pts);
}

bool CConfigXML::SetPoints(const char* section, const char* key, const char* prefix, int count, const int (*pts)[2])
{
    return WritePoints(FindKey(section, key), prefix, count, pts);
}

bool CConfigXML::GetPointsD(const char* section, const char* key, const char* prefix, int count, double (*pts)[2])
{
    return ReadPoints(FindKey(section, key), prefix, count, pts);
}

bool CConfigXML::SetPointsD(const char* section, const char* key, const char* prefix, int count, const double (*pts)[2])
{
    return WritePoints(FindKey(section, key), prefix, count, pts);
}
