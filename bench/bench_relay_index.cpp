// The voice path's lookups, per datagram: the speaker by session key and its channel's
// recipients, through the relay index against the scans of every listed client they replace.
//
// Run: build/bench/bench_relay_index
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "clients/ClientList.hpp"

using namespace qm;

namespace {

// A client list of n clients spread over 16 channels, keys 1..n (as drawn, but predictable).
struct Listed {
  explicit Listed(int n) {
    LockGuard g(list.Lock());
    for (int i = 0; i < n; ++i) {
      auto c = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
      c->SetPlayerId(static_cast<uint8_t>(i));
      c->SetSessionKey(static_cast<uint32_t>(i + 1));
      c->SetChannelId(i % 16);
      list.Append(c);
    }
  }
  ~Listed() {
    for (auto& c : list.TakeAll()) c->Destroy();
  }
  ClientList list;
};

void BM_SpeakerByIndex(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Listed l(n);
  uint32_t key = 0;
  for (auto _ : state) {
    key = key % static_cast<uint32_t>(n) + 1;
    benchmark::DoNotOptimize(l.list.FindClientByKey(key));
  }
}

void BM_SpeakerByScan(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Listed l(n);
  uint32_t key = 0;
  for (auto _ : state) {
    key = key % static_cast<uint32_t>(n) + 1;
    LockGuard g(l.list.Lock());
    TServerClient* found = nullptr;
    for (const auto& c : l.list.Items())
      if (c->SessionKey() == key) {
        found = c.get();
        break;
      }
    benchmark::DoNotOptimize(found);
  }
}

void BM_RecipientsByIndex(benchmark::State& state) {
  Listed l(static_cast<int>(state.range(0)));
  RelayIndex& index = l.list.Relay();
  int32_t channel = 0;
  for (auto _ : state) {
    channel = (channel + 1) % 16;
    std::lock_guard<std::mutex> g(index.Lock());
    size_t count = 0;
    if (const auto* members = index.ChannelLocked(channel))
      for (TServerClient* c : *members) count += c->ChannelId() == channel && !c->Leaving();
    benchmark::DoNotOptimize(count);
  }
}

void BM_RecipientsByScan(benchmark::State& state) {
  Listed l(static_cast<int>(state.range(0)));
  int32_t channel = 0;
  for (auto _ : state) {
    channel = (channel + 1) % 16;
    LockGuard g(l.list.Lock());
    size_t count = 0;
    for (const auto& c : l.list.Items()) count += c->ChannelId() == channel && !c->Leaving();
    benchmark::DoNotOptimize(count);
  }
}

}  // namespace

BENCHMARK(BM_SpeakerByIndex)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_SpeakerByScan)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_RecipientsByIndex)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_RecipientsByScan)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK_MAIN();
