#ifndef TAVRIN_CP210XHID_H
#define TAVRIN_CP210XHID_H
/*
 * libCp210xHid.so: access to boards behind a USB HID bridge or a CP210x
 * USB-to-serial bridge.
 *
 * Handles are opaque; a null handle means failure. Lengths are byte counts.
 * One handle is used by one thread at a time.
 *
 * The HID half keeps the calling conventions of the hidapi functions of the
 * same names (the library forwards to hidapi's hidraw backend). The serial
 * half is addressed by USB vendor and product id and goes through the
 * kernel's USB-serial driver.
 *
 * Diagnostic override: when the environment variable TAVRIN_CP210X_TTY names
 * a device node, cp210x_open opens that node whatever ids it is given
 * (tests point it at a pseudo-terminal; it also serves a bridge that the
 * id lookup does not find).
 */

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#if defined(__GNUC__)
#define CP210XHID_API __attribute__((visibility("default")))
#else
#define CP210XHID_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hid_device_ hid_device;
typedef struct cp210x_device_ cp210x_device;

/* Opens the first HID device with these ids (serial_number null: any).
   Returns the handle, or null when none can be opened. */
CP210XHID_API hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                                   const wchar_t* serial_number);

/* Reads one input report into data (at most length bytes), waiting up to
   milliseconds (negative: without limit). Returns the number of bytes placed
   in data, 0 when nothing arrived in time, -1 on error. */
CP210XHID_API int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                   int milliseconds);

/* Sends one output report; data[0] is the report number. Returns the number
   of bytes written, -1 on error. */
CP210XHID_API int hid_write(hid_device* dev, const unsigned char* data, size_t length);

/* Closes the device; the handle is invalid afterwards. Null is ignored. */
CP210XHID_API void hid_close(hid_device* dev);

/* Opens the serial bridge with these ids; index picks among several matching
   bridges (0: the first, in device-node order). Puts the line in raw mode
   and drops stale input. Returns the handle, or null. */
CP210XHID_API cp210x_device* cp210x_open(unsigned short vendor_id, unsigned short product_id,
                                         int index);

/* Enables (1) or disables (0) the bridge's serial interface. Returns 0 on
   success, -1 on error. The kernel driver enables it on open, so this only
   checks the handle. */
CP210XHID_API int cp210x_set_IFC(cp210x_device* dev, int enable);

/* Fills *cflag with the current line settings in the bit layout of termios
   c_cflag (Linux values). Returns 0 on success, -1 on error. */
CP210XHID_API int cp210x_get_termios(cp210x_device* dev, uint32_t* cflag);

/* Applies data bits, parity, stop bits, flow control (from cflag, termios
   c_cflag layout) and the baud rate (baud <= 0 keeps the current speed).
   Returns 0 on success, -1 on error or an unsupported baud rate (then
   nothing is changed). */
CP210XHID_API int cp210x_set_termios(cp210x_device* dev, uint32_t cflag, int baud);

/* Waits up to 500 ms in total for length bytes. Returns the number of bytes
   read (fewer than length when the time ran out, 0 when none came), -1 on
   error (for example the bridge was unplugged). */
CP210XHID_API int cp210x_read(cp210x_device* dev, unsigned char* data, size_t length);

/* Writes length bytes, waiting up to 500 ms for room. Returns the number of
   bytes written, -1 on error. */
CP210XHID_API int cp210x_write(cp210x_device* dev, const unsigned char* data, size_t length);

/* Closes the bridge; the handle is invalid afterwards. Null is ignored. */
CP210XHID_API void cp210x_close(cp210x_device* dev);

#ifdef __cplusplus
}
#endif

#endif
