#pragma once
#include <mutex>
#include <string>

namespace tinyxml2
{
class XMLDocument;
class XMLElement;
}

// Serialises Load and Save of every CConfigXML in the process.
extern std::mutex g_ConfigMutex;

// Short-lived accessor over the settings file: Load, get/set attributes of
// existing key elements (section/key/attr), Save if anything was set, Close.
// Setters never create sections or keys. Numbers use the "C" numeric format.
class CConfigXML
{
public:
    CConfigXML();
    virtual ~CConfigXML();

    bool Load(const char* path);
    void Save();
    void Close();
    bool IsLoaded() const { return m_bLoaded; }

    bool GetInt(const char* section, const char* key, const char* attr, int* value, int def);
    bool SetInt(const char* section, const char* key, const char* attr, int value);
    bool GetAttribute(const char* section, const char* key, const char* attr, std::string* out);
    bool SetAttribute(const char* section, const char* key, const char* attr, const char* text);
    bool GetPoint(const char* section, const char* key, const char* attr, int* x, int* y);
    bool SetPoint(const char* section, const char* key, const char* attr, int x, int y);
    bool GetPoints(const char* section, const char* key, const char* prefix, int count, int (*pts)[2]);
    bool SetPoints(const char* section, const char* key, const char* prefix, int count, const int (*pts)[2]);
    bool GetPointsD(const char* section, const char* key, const char* prefix, int count, double (*pts)[2]);
    bool SetPointsD(const char* section, const char* key, const char* prefix, int count, const double (*pts)[2]);

private:
    tinyxml2::XMLElement* FindKey(const char* section, const char* key) const;

    tinyxml2::XMLDocument* m_pDoc = nullptr;
    bool m_bLoaded = false;
    std::string m_strPath;

    CConfigXML(const CConfigXML&) = delete;
    CConfigXML& operator=(const CConfigXML&) = delete;
};

// The settings section named by a work thread's class tag ("TavrinWorkETPD").
// Tags are ASCII; anything else becomes '?' and so names no section.
std::string SectionName(const std::wstring& tag);

// "Config/config.xml": relative to the working directory the service sets.
constexpr const char* CONFIG_FILE = "Config/config.xml";
