#pragma once
#include <cstddef>
#include <cstdint>

// Checks what a command client sends before the toolkit's IPC code sees it.
// The toolkit reads each message with blocking reads and trusts every length
// prefix, so a client could make it wait forever or allocate gigabytes. This
// state machine takes the client's bytes in any split, collects one message at
// a time and hands it over only once it is complete and within bounds.
//
// Messages (codes as the toolkit numbers them; "string" and "data" are a
// 32-bit little-endian length followed by that many bytes, "format" one byte):
//   CONNECT(10) string      -- the first message, and only there
//   EXECUTE(1) format data, REQUEST(2) string format,
//   POKE(3) string format data, ADVISE_START(4) string,
//   ADVISE(6) string format data, ADVISE_STOP(7) string,
//   DISCONNECT(11)          -- the last message
// Any other code is a fault.
class CIpcMessageFilter
{
public:
    static constexpr uint8_t IPC_CONNECT = 10;
    static constexpr uint8_t IPC_DISCONNECT = 11;
    static constexpr size_t MAX_STRING = 256;
    static constexpr size_t MAX_DATA = 4096;
    // The longest message: code, item, format, data.
    static constexpr size_t MAX_MESSAGE = 1 + 4 + MAX_STRING + 1 + 4 + MAX_DATA;

    enum Result
    {
        NEED_MORE, // every byte taken, the message is not complete yet
        MESSAGE,   // a complete message is in Message()
        FAULT,     // the client broke the protocol; it stays in this state
    };

    // Takes bytes from `data` up to the end of the current message and stores
    // in `*used` how many it took (the rest belongs to later messages). A
    // MESSAGE stays available until the next call.
    Result Feed(const uint8_t* data, size_t size, size_t* used);

    const uint8_t* Message() const { return m_Buf; }
    size_t MessageSize() const { return m_nLen; }

    // The CONNECT message has been completed.
    bool Connected() const { return m_bConnected; }
    bool Faulted() const { return m_ePhase == PH_FAULT; }

    void Reset();

private:
    enum Field : uint8_t
    {
        F_END,
        F_STRING,
        F_FORMAT,
        F_DATA,
    };
    enum Phase : uint8_t
    {
        PH_CODE,
        PH_LENGTH,
        PH_FORMAT,
        PH_BYTES,
        PH_FAULT,
    };

    static const Field* LayoutOf(uint8_t code);
    // Starts the field *m_pField; true when the message is complete.
    bool EnterField();

    uint8_t m_Buf[MAX_MESSAGE];
    size_t m_nLen = 0;
    Phase m_ePhase = PH_CODE;
    const Field* m_pField = nullptr;
    uint32_t m_nLength = 0;    // length prefix being read
    int m_nLengthBytes = 0;    // bytes of it read so far
    uint32_t m_nRemaining = 0; // payload bytes still to come
    bool m_bComplete = false;  // m_Buf holds a finished message
    bool m_bConnected = false;
    bool m_bDisconnected = false;
};
