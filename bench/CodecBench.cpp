// Throughput of the payload codec beside zlib's Huffman-only deflate on the same bytes.
// The figures say how much of a downloader's start-up the codec costs and how its table-driven
// decoder and its encoder compare with a production entropy coder; they assert nothing.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "BenchData.h"
#include "ZelEncode.h"

namespace {

constexpr std::size_t kFirmwareBytes = 16 * 1024;  // a typical field-programmer image
constexpr std::size_t kMixedBytes = 64 * 1024;

const std::string& Input(int which) {
    static const std::string firmware = FirmwareLikeImage(kFirmwareBytes);
    static const std::string mixed = MixedData(kMixedBytes);
    return which == 0 ? firmware : mixed;
}

const char* InputName(int which) {
    return which == 0 ? "firmware16k" : "mixed64k";
}

// Raw deflate (no zlib header) so that only the coded data is compared with the codec's stream.
// The streams are set up once and reset per call: zlib's set-up (a 256 KiB window cleared on
// every init) would otherwise dwarf the coding of 16 KiB and say nothing about the coder.
class Zlib {
  public:
    Zlib() {
        if (deflateInit2(&deflater_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_HUFFMAN_ONLY) !=
                Z_OK ||
            inflateInit2(&inflater_, -15) != Z_OK)
            throw std::runtime_error("zlib init");
    }
    ~Zlib() {
        deflateEnd(&deflater_);
        inflateEnd(&inflater_);
    }
    Zlib(const Zlib&) = delete;
    Zlib& operator=(const Zlib&) = delete;

    std::string Deflate(const std::string& in) {
        deflateReset(&deflater_);
        std::string out(deflateBound(&deflater_, in.size()), '\0');
        deflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        deflater_.avail_in = static_cast<uInt>(in.size());
        deflater_.next_out = reinterpret_cast<Bytef*>(out.data());
        deflater_.avail_out = static_cast<uInt>(out.size());
        if (deflate(&deflater_, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
        out.resize(deflater_.total_out);
        return out;
    }

    std::string Inflate(const std::string& in, std::size_t size) {
        inflateReset(&inflater_);
        std::string out(size, '\0');
        inflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        inflater_.avail_in = static_cast<uInt>(in.size());
        inflater_.next_out = reinterpret_cast<Bytef*>(out.data());
        inflater_.avail_out = static_cast<uInt>(out.size());
        if (inflate(&inflater_, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("inflate");
        return out;
    }

  private:
    z_stream deflater_{};
    z_stream inflater_{};
};

void Report(benchmark::State& state, const std::string& in, std::size_t packed) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
    state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(in.size());
    state.SetLabel(InputName(static_cast<int>(state.range(0))));
}

void BM_ZelEncode(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    const ZelEncode codec;
    std::size_t packed = 0;
    for (auto _ : state) {
        const std::string out = codec.EncodeString(in);
        packed = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, in, packed);
}

void BM_ZelDecode(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    const ZelEncode codec;
    const std::string packed = codec.EncodeString(in);
    if (codec.DecodeString(packed) != in) {
        state.SkipWithError("round trip changed the bytes");
        return;
    }
    for (auto _ : state) {
        const std::string out = codec.DecodeString(packed);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, in, packed.size());
}

void BM_DeflateHuffmanOnly(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    Zlib zlib;
    std::size_t packed = 0;
    for (auto _ : state) {
        const std::string out = zlib.Deflate(in);
        packed = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, in, packed);
}

void BM_InflateHuffmanOnly(benchmark::State& state) {
    const std::string& in = Input(static_cast<int>(state.range(0)));
    Zlib zlib;
    const std::string packed = zlib.Deflate(in);
    if (zlib.Inflate(packed, in.size()) != in) {
        state.SkipWithError("zlib round trip changed the bytes");
        return;
    }
    for (auto _ : state) {
        const std::string out = zlib.Inflate(packed, in.size());
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, in, packed.size());
}

}  // namespace

BENCHMARK(BM_ZelEncode)->Arg(0)->Arg(1);
BENCHMARK(BM_ZelDecode)->Arg(0)->Arg(1);
BENCHMARK(BM_DeflateHuffmanOnly)->Arg(0)->Arg(1);
BENCHMARK(BM_InflateHuffmanOnly)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
