#include "notify/SupportedDevices.h"

#include "config/CConfigXML.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <tinyxml2.h>

namespace
{
bool ParseDecimal(const char* text, int* value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool IsKnownStyle(int style)
{
    // 0..20 are the board styles; 22..24 are the placeholders that
    // identification refines.
    return (style >= 0 && style <= 20) || (style >= 22 && style <= 24);
}

// Returns null when the entry is usable, else the reason it is not.
const char* CheckEntry(const tinyxml2::XMLElement* el, DeviceDescriptor* desc)
{
    if (!ParseUsbId(el->Attribute("vid"), &desc->vid))
        return "bad vid";
    if (!ParseUsbId(el->Attribute("pid"), &desc->pid))
        return "bad pid";
    if (!ParseDecimal(el->Attribute("kind"), &desc->kind) || desc->kind < DEVICE_HID || desc->kind > DEVICE_CAM)
        return "bad kind";
    if (!ParseDecimal(el->Attribute("style"), &desc->style) || !IsKnownStyle(desc->style))
        return "bad style";
    const char* baud = el->Attribute("baud");
    if (baud)
    {
        if (!ParseDecimal(baud, &desc->baud) || desc->baud < 0)
            return "bad baud";
    }
    // A serial bridge set to 0 baud would never talk.
    if (desc->kind == DEVICE_COM && desc->baud <= 0)
        return "serial device without baud";
    return nullptr;
}
}  // namespace

bool ParseUsbId(const char* text, int* value)
{
    if (!text)
        return false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    if (!*text)
        return false;
    long v = 0;
    for (const char* p = text; *p; ++p)
    {
        int digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            return false;
        v = v * 16 + digit;
        if (v > 0xFFFF)
            return false;
    }
    if (v == 0)
        return false;
    *value = static_cast<int>(v);
    return true;
}

int ReadSupportedDevices(const char* path, std::vector<DeviceDescriptor>* out)
{
    tinyxml2::XMLDocument doc;
    {
        std::lock_guard<std::mutex> lock(g_ConfigMutex);
        if (doc.LoadFile(path) != tinyxml2::XML_SUCCESS)
            return 0;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    const tinyxml2::XMLElement* global = root ? root->FirstChildElement("Global") : nullptr;
    const tinyxml2::XMLElement* list = global ? global->FirstChildElement("SupportedDevices") : nullptr;
    if (!list)
        return 0;

    int added = 0;
    int index = 0;
    for (const tinyxml2::XMLElement* el = list->FirstChildElement(); el; el = el->NextSiblingElement(), ++index)
    {
        DeviceDescriptor desc;
        const char* reason = strcmp(el->Name(), "Device") == 0 ? CheckEntry(el, &desc) : "not a Device element";
        if (reason)
        {
            printf("SupportedDevices: entry %d skipped: %s\n", index, reason);
            fflush(stdout);
            continue;
        }
        desc.path = nullptr;
        out->push_back(desc);
        ++added;
    }
    return added;
}
