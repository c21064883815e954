// Per-datagram cost of the RTP receive parse (Parse + header-only copy, as the receive path and
// the decoder do) and of the RTCP check + parse of a sender report with SDES, each against the
// baseline every datagram pays anyway: copying its bytes once. Prints parse / copy ratios after
// the table (lower is better; both parsers should stay within a small multiple of the copy).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpPacket.h"

namespace {

constexpr uint32_t kOwnSsrc = 0x5EED;

std::vector<uint8_t> RtpDatagram() {
  std::vector<uint8_t> d = {0x80, 8, 0x12, 0x34, 0, 0, 0x10, 0, 0xA1, 0xB2, 0xC3, 0xD4};
  d.resize(172, 0xD5);
  return d;
}

// A standard sender report from 0xAB with one block about our stream, then its SDES CNAME.
std::vector<uint8_t> RtcpDatagram() {
  std::vector<uint8_t> d = {0x81, 200, 0, 12, 0, 0, 0, 0xAB};
  d.resize(52, 0);
  ve::WriteU32BE(d.data() + 8, ve::NtpTime::Now().ToStandardWire().seconds);
  ve::WriteU32BE(d.data() + 28, kOwnSsrc);
  const char cname[] = "unknown_user.4242@host";
  std::vector<uint8_t> sdes = {0x81, 202, 0, 0, 0, 0, 0, 0xAB, 1, static_cast<uint8_t>(sizeof cname - 1)};
  for (size_t i = 0; i + 1 < sizeof cname; ++i) sdes.push_back(static_cast<uint8_t>(cname[i]));
  // Two zero bytes end the items, then zeros to the 32-bit boundary.
  sdes.resize((sdes.size() + 2 + 3) / 4 * 4, 0);
  sdes[3] = static_cast<uint8_t>(sdes.size() / 4 - 1);
  d.insert(d.end(), sdes.begin(), sdes.end());
  return d;
}

void CopyBaseline(benchmark::State& state, const std::vector<uint8_t>& datagram) {
  uint8_t buffer[1024];
  for (auto _ : state) {
    std::memcpy(buffer, datagram.data(), datagram.size());
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
}

void RtpCopy(benchmark::State& state) { CopyBaseline(state, RtpDatagram()); }
void RtcpCopy(benchmark::State& state) { CopyBaseline(state, RtcpDatagram()); }

void RtpParse(benchmark::State& state) {
  std::vector<uint8_t> datagram = RtpDatagram();
  for (auto _ : state) {
    ve::RtpPacket* packet = ve::RtpPacket::Parse(datagram.data(), static_cast<int32_t>(datagram.size()));
    ve::RtpPacket* header = packet->CopyHeader();
    benchmark::DoNotOptimize(header->Sequence());
    delete header;
    delete packet;
  }
}

void RtcpParse(benchmark::State& state) {
  std::vector<uint8_t> datagram = RtcpDatagram();
  ve::RtcpReceiver receiver;
  receiver.SetOwnSsrc(kOwnSsrc);
  auto length = static_cast<int32_t>(datagram.size());
  for (auto _ : state) {
    bool valid = ve::RtcpReceiver::IsValidCompound(datagram.data(), length);
    benchmark::DoNotOptimize(valid);
    benchmark::DoNotOptimize(receiver.ReadRtcp(datagram.data(), length));
  }
}

BENCHMARK(RtpCopy);
BENCHMARK(RtpParse);
BENCHMARK(RtcpCopy);
BENCHMARK(RtcpParse);

struct Collector : benchmark::ConsoleReporter {
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) ns[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* kind : {"Rtp", "Rtcp"}) {
    double copy = reporter.ns[std::string(kind) + "Copy"];
    double parse = reporter.ns[std::string(kind) + "Parse"];
    if (copy > 0 && parse > 0) {
      std::printf("%s parse / copy = %.1fx (%.1f ns vs %.1f ns per datagram)\n", kind, parse / copy, parse, copy);
    }
  }
  benchmark::Shutdown();
  return 0;
}
