// PacketCrc32 against the plain byte-wise loop over typical voice datagram sizes.
// Run: build/bench/bench_crc32
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "datagram/PacketCrc32.hpp"

namespace {

std::vector<uint8_t> RandomBytes(size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(42);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

uint32_t BytewiseCrc32(const uint8_t* data, size_t length) {
  const auto& table = qm::Crc32Table();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void BM_PacketCrc32(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(qm::PacketCrc32(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Bytewise(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(BytewiseCrc32(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

BENCHMARK(BM_PacketCrc32)->Arg(64)->Arg(200)->Arg(512)->Arg(1400);
BENCHMARK(BM_Bytewise)->Arg(64)->Arg(200)->Arg(512)->Arg(1400);

}  // namespace

BENCHMARK_MAIN();
