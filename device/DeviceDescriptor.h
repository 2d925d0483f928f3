#pragma once

enum
{
    DEVICE_HID = 1,
    DEVICE_COM = 2,
    DEVICE_CAM = 3,
};

// One board device: USB ids, transport kind, serial speed, path and style.
// `path` is owned by whoever holds the descriptor (null in the supported-device
// table); copies made by CDeviceBase duplicate it.
struct DeviceDescriptor
{
    int pid = 0;
    int vid = 0;
    int kind = 0;
    int baud = 0;
    char* path = nullptr;
    int style = 0;
};
