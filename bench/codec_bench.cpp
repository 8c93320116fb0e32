// The byte layer on the paths every message takes: assembling a message payload,
// walking a TLV list and decoding incoming text.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "net/codec.h"
#include "net/text_encoding.h"

namespace pellox {
namespace {

void BM_BuildMessagePayload(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
    std::vector<std::uint8_t> frame;
    for (auto _ : state) {
        PacketBuffer block;
        const std::uint8_t head[] = {0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01};
        AppendBytes(block, head, sizeof head);
        AppendU16(block, static_cast<std::uint16_t>(text.size() + 4));
        AppendU16(block, 0x0000);
        AppendU16(block, 0xFFFF);
        AppendBytes(block, text.data(), text.size());
        PacketBuffer data;
        AppendRecord(data, MessageHeader{0x67C31501, 0x3D3A0000, 1});
        AppendU8(data, 9);
        AppendBytes(data, "123456789", 9);
        AppendTlv(data, 0x0002, block.Length(), block.Data());
        AppendTlv(data, 0x0006, 0, nullptr);
        benchmark::DoNotOptimize(BuildSnacFrame(frame, 1, SnacHeader{4, 6, 0, 0x00010006}, data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_BuildMessagePayload)->Arg(16)->Arg(512)->Arg(8000);

void BM_WalkTlvList(benchmark::State& state) {
    PacketBuffer list;
    for (int i = 0; i < state.range(0); ++i) AppendTlv(list, static_cast<std::uint16_t>(i), 8, "abcdefgh");
    for (auto _ : state) {
        PacketReader reader(list.Data(), list.Length());
        std::string value;
        int seen = 0;
        TlvHeader tlv;
        while (ReadRecord(reader, tlv) && ReadTlvString(reader, tlv, value)) ++seen;
        benchmark::DoNotOptimize(seen);
    }
}
BENCHMARK(BM_WalkTlvList)->Arg(8)->Arg(256);

void BM_DecodeIncomingText(benchmark::State& state) {
    std::string text;
    if (state.range(0) == 0) {
        text.assign(400, 'a');  // ASCII: the fast path
    } else {
        for (int i = 0; i < 200; ++i) text += "\xD0\x9F";  // UTF-8 Cyrillic
    }
    std::u16string out;
    for (auto _ : state) {
        DecodeIncomingText(text, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_DecodeIncomingText)->Arg(0)->Arg(1);

}  // namespace
}  // namespace pellox
