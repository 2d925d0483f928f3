// HID half of libCp210xHid.so: forwards to hidapi's hidraw backend.
//
// Our exported names are hidapi's own, so linking hidapi would make these
// functions resolve to themselves. The backend is loaded privately instead
// (RTLD_LOCAL) and its functions are looked up in that handle only. Handles
// are hidapi's own pointers passed through unchanged: hidapi calls some of
// these entry points internally, and those calls may land here, which is
// harmless only as long as we forward without changing anything.
#include "bridge/Cp210xHid.h"

#include <dlfcn.h>
#include <mutex>
#include <stdio.h>

namespace
{
using OpenFn = hid_device* (*)(unsigned short, unsigned short, const wchar_t*);
using ReadTimeoutFn = int (*)(hid_device*, unsigned char*, size_t, int);
using WriteFn = int (*)(hid_device*, const unsigned char*, size_t);
using CloseFn = void (*)(hid_device*);

struct HidApi
{
    OpenFn open = nullptr;
    ReadTimeoutFn readTimeout = nullptr;
    WriteFn write = nullptr;
    CloseFn close = nullptr;
    bool ok = false;
};

const HidApi& Api()
{
    static HidApi api;
    static std::once_flag once;
    std::call_once(once, [] {
        void* h = dlopen("libhidapi-hidraw.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!h)
        {
            fprintf(stderr, "libCp210xHid: %s\n", dlerror());
            return;
        }
        api.open = reinterpret_cast<OpenFn>(dlsym(h, "hid_open"));
        api.readTimeout = reinterpret_cast<ReadTimeoutFn>(dlsym(h, "hid_read_timeout"));
        api.write = reinterpret_cast<WriteFn>(dlsym(h, "hid_write"));
        api.close = reinterpret_cast<CloseFn>(dlsym(h, "hid_close"));
        api.ok = api.open && api.readTimeout && api.write && api.close;
        if (!api.ok)
            fprintf(stderr, "libCp210xHid: libhidapi-hidraw.so.0 lacks an entry point\n");
        // The backend stays loaded for the life of the process.
    });
    return api;
}
}  // namespace

extern "C" {

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number)
{
    const HidApi& api = Api();
    return api.ok ? api.open(vendor_id, product_id, serial_number) : nullptr;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    const HidApi& api = Api();
    if (!api.ok || !dev || (!data && length))
        return -1;
    return api.readTimeout(dev, data, length, milliseconds);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    const HidApi& api = Api();
    if (!api.ok || !dev || (!data && length))
        return -1;
    return api.write(dev, data, length);
}

void hid_close(hid_device* dev)
{
    const HidApi& api = Api();
    if (api.ok && dev)
        api.close(dev);
}

}  // extern "C"
