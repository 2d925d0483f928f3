// The check in front of the command server: which byte streams pass as
// messages, however they are split, and which break the connection.
#include "ipc/CIpcMessageFilter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes Len(uint32_t n)
{
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24)};
}

// A length-prefixed string or data block.
Bytes Block(const std::string& s)
{
    Bytes b = Len(static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return b;
}

Bytes Msg(uint8_t code, std::initializer_list<Bytes> parts = {})
{
    Bytes m{code};
    for (const Bytes& p : parts)
        m.insert(m.end(), p.begin(), p.end());
    return m;
}

Bytes Fmt(uint8_t f) { return {f}; }

const Bytes kConnect = Msg(10, {Block("Orient")});

struct Outcome
{
    std::vector<Bytes> messages;
    bool fault = false;
    size_t consumed = 0; // bytes taken up to the fault or the end
};

// Feeds `stream` in pieces of `piece` bytes and collects what comes out.
Outcome FeedAll(CIpcMessageFilter& f, const Bytes& stream, size_t piece)
{
    Outcome o;
    size_t pos = 0;
    while (pos < stream.size() && !o.fault)
    {
        size_t n = std::min(piece, stream.size() - pos);
        while (n > 0)
        {
            size_t used = 0;
            CIpcMessageFilter::Result r = f.Feed(stream.data() + pos, n, &used);
            EXPECT_LE(used, n);
            pos += used;
            n -= used;
            if (r == CIpcMessageFilter::FAULT)
            {
                o.fault = true;
                break;
            }
            if (r == CIpcMessageFilter::MESSAGE)
                o.messages.emplace_back(f.Message(), f.Message() + f.MessageSize());
            else
                EXPECT_EQ(n, 0u) << "more input while the message is incomplete";
        }
    }
    o.consumed = pos;
    return o;
}

struct ValidCase
{
    const char* name;
    Bytes message;
};

const ValidCase kValid[] = {
    {"execute", Msg(1, {Fmt(1), Block("run it")})},
    {"execute empty", Msg(1, {Fmt(20), Block("")})},
    {"request", Msg(2, {Block("item"), Fmt(1)})},
    {"poke", Msg(3, {Block("item"), Fmt(20), Block(std::string(4096, 'd'))})},
    {"advise start", Msg(4, {Block("3")})},
    {"advise start longest item", Msg(4, {Block(std::string(256, 'i'))})},
    {"advise start empty item", Msg(4, {Block("")})},
    {"advise", Msg(6, {Block("x"), Fmt(20), Block(std::string("fin\0", 4))})},
    {"advise stop", Msg(7, {Block("data")})},
    {"disconnect", Msg(11)},
};

TEST(IpcMessageFilter, PassesEachMessageWholeOrSplitAnyWay)
{
    for (const ValidCase& c : kValid)
    {
        for (size_t piece : {size_t(1), size_t(2), size_t(5), size_t(100000)})
        {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            CIpcMessageFilter f;
            Outcome o = FeedAll(f, kConnect, piece);
            ASSERT_EQ(o.messages.size(), 1u);
            EXPECT_EQ(o.messages[0], kConnect);
            EXPECT_TRUE(f.Connected());

            // Followed by a second copy (unless nothing may follow), so the
            // boundary between two messages in one read is exercised too.
            Bytes stream = c.message;
            const bool last = c.message[0] == 11;
            if (!last)
                stream.insert(stream.end(), c.message.begin(), c.message.end());
            o = FeedAll(f, stream, piece);
            EXPECT_FALSE(o.fault);
            EXPECT_EQ(o.messages, std::vector<Bytes>(last ? 1 : 2, c.message));
            EXPECT_EQ(o.consumed, stream.size());
        }
    }
}

struct FaultCase
{
    const char* name;
    Bytes stream; // after CONNECT unless `first`
    bool first;
    // Bytes of `stream` taken when the fault is seen: the rest (a huge
    // payload, say) need never arrive.
    size_t faultAt;
};

const FaultCase kFaults[] = {
    {"connect with a 4 GB topic", Msg(10, {Len(0xFFFFFFFF)}), true, 5},
    {"connect with a topic one too long", Msg(10, {Block(std::string(257, 't'))}), true, 5},
    {"advise start before connect", Msg(4, {Block("3")}), true, 1},
    {"disconnect before connect", Msg(11), true, 1},
    {"second connect", kConnect, false, 1},
    {"item one too long", Msg(4, {Block(std::string(257, 'i'))}), false, 5},
    {"4 GB item", Msg(7, {Len(0xFFFFFFFF)}), false, 5},
    {"request with a 4 GB item", Msg(2, {Len(0x80000000)}), false, 5},
    {"execute data one too long", Msg(1, {Fmt(1), Block(std::string(4097, 'd'))}), false, 6},
    {"poke with 4 GB of data", Msg(3, {Block("i"), Fmt(1), Len(0xFFFFFFFF)}), false, 11},
    {"advise with an oversize item", Msg(6, {Block(std::string(300, 'i'))}), false, 5},
    {"code 0", Msg(0), false, 1},
    {"advise request (a reply code)", Msg(5, {Block("x")}), false, 1},
    {"request reply", Msg(8), false, 1},
    {"fail", Msg(9), false, 1},
    {"code 12", Msg(12), false, 1},
    {"code 255", Msg(255), false, 1},
    {"anything after disconnect", Bytes{11, 4, 0, 0, 0, 0}, false, 2},
};

TEST(IpcMessageFilter, FaultsOnBadCodesOversizeBlocksAndOrder)
{
    for (const FaultCase& c : kFaults)
    {
        for (size_t piece : {size_t(1), size_t(100000)})
        {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            CIpcMessageFilter f;
            if (!c.first)
            {
                ASSERT_EQ(FeedAll(f, kConnect, piece).messages.size(), 1u);
            }
            Outcome o = FeedAll(f, c.stream, piece);
            EXPECT_TRUE(o.fault);
            EXPECT_TRUE(f.Faulted());
            EXPECT_EQ(o.consumed, c.faultAt);
            // Only messages complete before the fault came out.
            const size_t before = !c.first && c.stream[0] == 11 ? 1 : 0;
            EXPECT_EQ(o.messages.size(), before);

            // The fault sticks: even a valid message is refused now.
            size_t used = 99;
            Bytes again = Msg(4, {Block("3")});
            EXPECT_EQ(f.Feed(again.data(), again.size(), &used), CIpcMessageFilter::FAULT);
            EXPECT_EQ(used, 0u);
        }
    }
}

TEST(IpcMessageFilter, ResetStartsOverForANewClient)
{
    CIpcMessageFilter f;
    Bytes bad = Msg(9);
    size_t used = 0;
    ASSERT_EQ(f.Feed(bad.data(), bad.size(), &used), CIpcMessageFilter::FAULT);
    f.Reset();
    EXPECT_FALSE(f.Faulted());
    EXPECT_FALSE(f.Connected());
    Outcome o = FeedAll(f, kConnect, 3);
    EXPECT_FALSE(o.fault);
    EXPECT_EQ(o.messages, std::vector<Bytes>{kConnect});
}
} // namespace
