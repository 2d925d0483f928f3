#include "device/CDeviceBase.h"

#include "app/CClock.h"
#include "device/CDeviceCom.h"
#include "device/CDeviceHid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const unsigned char START_COMMAND[8] = {0xCE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// A board that never answers would otherwise hold the hot-plug monitor for
// good. The time covers several 500 ms read time-outs; the attempt cap only
// matters when the clock does not move (a board answering garbage at once).
const int64_t IDENTIFY_TIME_LIMIT_MS = 5000;
const int IDENTIFY_MAX_ATTEMPTS = 1000;

struct HeaderEntry
{
    unsigned char byte;
    int cls;
};
const HeaderEntry HEADER_TABLE[] = {
    {0xE5, 0}, {0xE6, 0}, {0xE8, 0}, {0xE9, 0}, {0xEA, 0}, {0xEC, 0}, {0xC8, 2},
};

struct ModelEntry
{
    unsigned char byte;
    bool hand;
};
const ModelEntry MODEL_TABLE[] = {
    {0xEF, false}, {0xED, true}, {0xCE, true},  {0xDD, false}, {0xCC, true}, {0xCA, true},
    {0xDA, false}, {0x5F, false}, {0x55, true}, {0xAF, false}, {0xA5, true},
};

const HeaderEntry* FindHeader(unsigned char b)
{
    for (const HeaderEntry& e : HEADER_TABLE)
        if (e.byte == b)
            return &e;
    return nullptr;
}

const ModelEntry* FindModel(unsigned char b)
{
    for (const ModelEntry& e : MODEL_TABLE)
        if (e.byte == b)
            return &e;
    return nullptr;
}
}  // namespace

CDeviceBase::CDeviceBase(const DeviceDescriptor& desc) : m_Desc(desc)
{
    m_Desc.path = desc.path ? strdup(desc.path) : nullptr;
    m_bIsHadHand = false;
    m_bInit = false;
    m_nTimeout = 500;
}

CDeviceBase::~CDeviceBase()
{
    free(m_Desc.path);
    m_Desc.path = nullptr;
}

int CDeviceBase::ReadRaw(unsigned char*, int)
{
    return -1;
}

int CDeviceBase::WriteRaw(const unsigned char*, int)
{
    printf("base.........\n");
    fflush(stdout);
    return -1;
}

int CDeviceBase::SendStartCommand()
{
    return Write(START_COMMAND, sizeof START_COMMAND);
}

bool CDeviceBase::IsSameDevice(const DeviceDescriptor& other) const
{
    if (!m_Desc.path || !other.path)
        return false;
    return strcmp(m_Desc.path, other.path) == 0;
}

bool CDeviceBase::Identify()
{
    int& style = m_Desc.style;
    if (style != 22 && style != 23 && style != 24)
    {
        m_bIsHadHand = false;
        return true;
    }

    const int64_t start = Clock().NowMs();
    for (int attempt = 0;; ++attempt)
    {
        if (attempt >= IDENTIFY_MAX_ATTEMPTS || Clock().NowMs() - start >= IDENTIFY_TIME_LIMIT_MS)
        {
            printf("[Server]board does not answer the start command, giving up\n");
            fflush(stdout);
            return false;
        }

        unsigned char answer[8] = {0};
        SendStartCommand();
        int r = Read(answer, 8);
        // -1 is a device error; the serial device's -2 (not open) cannot
        // get better by asking again either.
        if (r < 0)
        {
            printf("quit\n");
            fflush(stdout);
            return false;
        }
        if (r != 8)
            continue;

        const HeaderEntry* header = FindHeader(answer[0]);
        if (!header)
            continue;
        if (header->cls == 0)
        {
            if (style == 22)
                style = 0;
            else if (style == 23)
                style = 1;
        }
        else if (header->cls == 2)
        {
            if (style == 22)
                style = 2;
            else if (style == 23)
                style = 4;
        }

        // A style changed by the header stays changed when the model byte
        // is not known.
        const ModelEntry* model = FindModel(answer[1]);
        if (!model)
            continue;
        m_bIsHadHand = model->hand;

        if (style == 24)
        {
            if (answer[1] == 0x55 || answer[1] == 0x5F)
                style = 19;
            else if (answer[1] == 0xA5 || answer[1] == 0xAF)
                style = 20;
        }
        return true;
    }
}

CDeviceBase* CreateDevice(const DeviceDescriptor& desc)
{
    switch (desc.kind)
    {
    case DEVICE_HID:
        return new CDeviceHid(desc);
    case DEVICE_COM:
        return new CDeviceCom(desc);
    default:
        // Camera boards (DEVICE_CAM) are served by their own device class,
        // not built here.
        return nullptr;
    }
}
