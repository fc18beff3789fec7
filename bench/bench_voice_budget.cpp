// The cost of the voice budget per datagram, through the intake as the UDP listener calls it: a
// batch of 64 voice datagrams from one speaker with no listeners, once without a budget, once
// within one it never spends (counted, looked up, budgets taken, checked, nothing to copy) and once
// over it (dropped at the budget). The drop must cost no more than the datagram it replaces.
// Reported per datagram.
//
// Run: build/bench/bench_voice_budget
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "clients/ClientList.hpp"
#include "config/Settings.hpp"
#include "datagram/UdpIntake.hpp"
#include "platform/Clock.hpp"

namespace {

using namespace qm;

constexpr int kBatch = UdpEndpoint::kReadBatch;
constexpr uint32_t kSpeakerIp = 0x7F000001;

void RunIntake(benchmark::State& state, uint32_t packetsPerSecond, uint32_t bytesPerSecond = 0) {
  ClientList clients;
  auto speaker = std::make_shared<TServerClient>(nullptr, nullptr, nullptr);
  speaker->SetSessionKey(1);
  speaker->SetControlHost(kSpeakerIp);
  clients.Append(speaker);
  UdpEndpoint udp;  // never activated: nothing is sent, as no one listens
  TrafficCounters counters;
  VoiceStats stats;
  TUDPSender relay(udp, counters, stats);
  ServerSettings settings;
  settings.VoicePacketsPerSecond = static_cast<int32_t>(packetsPerSecond);
  settings.VoiceBytesPerSecond = static_cast<int32_t>(bytesPerSecond);
  UdpIntake intake(IntakeServices{clients, counters, relay, stats, settings, Clock()});

  const uint8_t body[40] = {};
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<platform::ReceivedDatagram> batch(kBatch);
  uint32_t packetId = 1;
  for (auto _ : state) {
    state.PauseTiming();
    datagrams.clear();
    const int64_t now = platform::DatagramClockNs();
    for (int i = 0; i < kBatch; ++i) {
      datagrams.push_back(ComposeVoice(1, kVoiceChannel, 0, packetId++, body, sizeof body));
      batch[i].data = datagrams.back().data();
      batch[i].size = batch[i].capacity = datagrams.back().size();
      batch[i].ip = kSpeakerIp;
      batch[i].port = 40000;
      batch[i].receivedNs = now;
    }
    state.ResumeTiming();
    intake.UDPServerBatchRead(batch.data(), kBatch);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["ns_per_datagram"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["dropped"] = static_cast<double>(stats.droppedBudget.load());
}

// No limit: every datagram is received, checked (crc) and finds no one to copy to.
void BM_IntakeWithinBudget(benchmark::State& state) { RunIntake(state, 0); }
// Budgets of both kinds far above what the loop sends: every check is made and passes.
void BM_IntakeWithinAHighBudget(benchmark::State& state) { RunIntake(state, 1'000'000'000, 2'000'000'000); }
// A budget of one a second, spent at once: every later datagram is dropped at the budget.
void BM_IntakeOverBudget(benchmark::State& state) { RunIntake(state, 1); }

BENCHMARK(BM_IntakeWithinBudget);
BENCHMARK(BM_IntakeWithinAHighBudget);
BENCHMARK(BM_IntakeOverBudget);

}  // namespace

BENCHMARK_MAIN();
