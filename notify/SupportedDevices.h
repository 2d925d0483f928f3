#pragma once
#include "device/DeviceDescriptor.h"

#include <vector>

// Parses a USB vendor or product id written as hexadecimal text ("10c4",
// "1320", optionally with a "0x" prefix), as sysfs and the settings file give
// them. Rejects empty text, trailing characters and values outside 1..0xFFFF.
bool ParseUsbId(const char* text, int* value);

// Appends the boards listed in the optional element Global/SupportedDevices of
// the settings file at `path`:
//   <SupportedDevices>
//     <Device vid="1314" pid="1001" kind="1" style="24" baud="0"/>
//   </SupportedDevices>
// vid and pid are hexadecimal; kind (1 HID, 2 serial, 3 camera), style and
// baud are decimal, baud is needed by serial boards only. Unusable entries are
// skipped with a line on standard output. A missing file or element adds
// nothing. Returns the number of entries appended.
int ReadSupportedDevices(const char* path, std::vector<DeviceDescriptor>* out);
