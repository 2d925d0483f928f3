// Simulated libCp210xHid.so: one scripted board behind both halves of the
// bridge interface, for running the service without hardware. Put the
// directory of this build first in LD_LIBRARY_PATH to use it in place of
// the real library.
//
// Environment:
//   TAVRIN_SIM_SCRIPT     the board script. Without it (or when it cannot be
//                         read) every open fails.
//   TAVRIN_SIM_LOG        optional; appended, one line per call, flushed at
//                         once: "w HH HH ..." for every write (as the library
//                         got it, so HID writes include the report header),
//                         "r HH HH ..." for every read that returned bytes,
//                         "expect timeout" when an expect line gave up.
//   TAVRIN_SIM_EXPECT_MS  how long an expect line waits (default 5000).
//   TAVRIN_SIM_CFLAG      hexadecimal control-flag word cp210x_get_termios
//                         reports before any cp210x_set_termios (default
//                         CBD: 9600 baud, 8 data bits, receiver on, hang-up,
//                         local line).
//
// Script: one command a line, bytes in hexadecimal separated by blanks;
// blank lines and text after '#' are ignored; bad lines are reported on
// standard error and skipped.
//   expect HH ...  wait until the service writes exactly these bytes (for
//                  HID writes the two report-header bytes may be left out of
//                  the line); reads time out meanwhile. After the expect
//                  time-out, log "expect timeout" and go on.
//   packet HH ...  the next read returns these bytes (cut to the length the
//                  caller asked for; the rest is dropped).
//   wait MS        the following line is reached MS milliseconds after this
//                  one was (after the previous packet was read, the previous
//                  expect was met, or the board was opened); reads before
//                  then time out, a read in progress returns as soon as a
//                  packet is due.
//   await PATH     reads time out until the file PATH exists.
//   gone           from now on every read and write fails with -1 (the board
//                  was pulled out). Writes are still logged. Opens succeed.
//   back           ends "gone" (the board was plugged in again). Between the
//                  two only wait and await lines make progress.
//   end of script  every read times out (an idle board).
// Writes that no pending expect line matches are only logged. A read that
// times out returns 0 after its time-out: the caller's milliseconds for
// hid_read_timeout, 500 ms for cp210x_read. Time-outs are real time.
//
// State: the script position is process-wide. A board is one board: opening
// again (a reconnection, or the serial and HID halves alike) continues where
// the script stood, and vid/pid are ignored. Each handle is used by one
// thread at a time, but handles of different threads may be live at once;
// all state is under one mutex.
#include "bridge/Cp210xHid.h"
#include "bridge/sim/CSimBoard.h"
#include "bridge/sim/SimHooks.h"

struct hid_device_
{
    int unused;
};

struct cp210x_device_
{
    int unused;
};

namespace
{
const int kSerialTimeoutMs = 500;
}

extern "C" {

hid_device* hid_open(unsigned short, unsigned short, const wchar_t*)
{
    return CSimBoard::Instance().Open() ? new hid_device_{0} : nullptr;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    if (!dev || (!data && length))
        return -1;
    return CSimBoard::Instance().Read(true, data, length, milliseconds);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (!dev || (!data && length))
        return -1;
    return CSimBoard::Instance().Write(true, data, length);
}

void hid_close(hid_device* dev)
{
    delete dev;
}

cp210x_device* cp210x_open(unsigned short, unsigned short, int)
{
    return CSimBoard::Instance().Open() ? new cp210x_device_{0} : nullptr;
}

int cp210x_set_IFC(cp210x_device* dev, int)
{
    return dev ? 0 : -1;
}

int cp210x_get_termios(cp210x_device* dev, uint32_t* cflag)
{
    if (!dev || !cflag)
        return -1;
    *cflag = CSimBoard::Instance().GetCflag();
    return 0;
}

int cp210x_set_termios(cp210x_device* dev, uint32_t cflag, int baud)
{
    if (!dev)
        return -1;
    CSimBoard::Instance().SetTermios(cflag, baud);
    return 0;
}

int cp210x_read(cp210x_device* dev, unsigned char* data, size_t length)
{
    if (!dev || (!data && length))
        return -1;
    return CSimBoard::Instance().Read(false, data, length, kSerialTimeoutMs);
}

int cp210x_write(cp210x_device* dev, const unsigned char* data, size_t length)
{
    if (!dev || (!data && length))
        return -1;
    return CSimBoard::Instance().Write(false, data, length);
}

void cp210x_close(cp210x_device* dev)
{
    delete dev;
}

void tavrin_sim_reset(void)
{
    CSimBoard::Instance().Reset();
}

int tavrin_sim_last_termios(uint32_t* cflag, int* baud)
{
    return CSimBoard::Instance().LastTermios(cflag, baud) ? 0 : -1;
}

}  // extern "C"
