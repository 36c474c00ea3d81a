// CRC-16 over 64 KiB, decoding a 64 KiB image in memory, and reading one from disk.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "encfile/AppImage.h"
#include "encfile/EncFile.h"
#include "platform/Kernel.h"

namespace {

std::vector<BYTE> RawImage()
{
    std::vector<BYTE> raw(APP_IMAGE_MAX_SIZE);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<BYTE>((i * 2654435761u) >> 13);
    return raw;
}

void BM_Crc16_64KiB(benchmark::State& state)
{
    std::vector<BYTE> raw = RawImage();
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc16Update(CRC16_INIT, raw.data(), static_cast<DWORD>(raw.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_Crc16_64KiB);

void BM_DecodeImage_64KiB(benchmark::State& state)
{
    std::vector<BYTE> raw = RawImage(), file;
    if (EncodeAppImage("BENCH", raw.data(), static_cast<DWORD>(raw.size()), 0, file) != 0) {
        state.SkipWithError("encode failed");
        return;
    }
    ENC_FILE_HEADER h = HeaderFromBytes(file.data());
    std::vector<BYTE> work(file.begin() + ENC_FILE_HEADER_SIZE, file.end());
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(file.begin() + ENC_FILE_HEADER_SIZE, file.end(), work.begin());
        state.ResumeTiming();
        InitFileCodec(&h);
        DecodeFileData(&h, work.data(), static_cast<DWORD>(work.size()));
        if (VerifyFileData(&h) != 0) state.SkipWithError("verify failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_DecodeImage_64KiB);

// The whole reader: open, checks, allocate, read, decode, verify.
void BM_ReadAppImage_64KiB(benchmark::State& state)
{
    std::vector<BYTE> raw = RawImage(), file;
    EncodeAppImage("BENCH", raw.data(), static_cast<DWORD>(raw.size()), 0, file);
    std::string path = "/tmp/bench_encfile_" + std::to_string(::getpid()) + ".bimg";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        state.SkipWithError("cannot write temp file");
        return;
    }
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    CString wpath = platform::WindowsPath(path);
    for (auto _ : state) {
        ENC_FILE_HEADER h{};
        BYTE* data = nullptr;
        if (ReadAppImage(wpath, nullptr, &h, &data) != AppImageCheck::Ok) state.SkipWithError("read failed");
        std::free(data);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}
BENCHMARK(BM_ReadAppImage_64KiB);

} // namespace

BENCHMARK_MAIN();
