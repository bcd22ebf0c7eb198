// Micro-benchmarks of the byte work on the bridge's hot paths: the diag frame encoder
// (FCS and escaping), the raw demultiplexer and the capture of one packet. Bytes per
// second are of input bytes.
#include "capture/hci_capture.h"
#include "diag/diag.h"
#include "hostlink/raw_demux.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// A log packet of an ACL packet of 1021 counting bytes: the frames of an ACL stream in diag mode.
Bytes TypicalPacket() {
  Bytes packet = {0x10, 0, 0x11, 0x04, 0x11, 0x04, 0x68, 0x13, 0, 0, 0, 0, 0, 0, 0x00, 0x02};
  const BYTE aclHeader[4] = {0x01, 0x20, 0xFD, 0x03};
  packet.insert(packet.end(), aclHeader, aclHeader + 4);
  for (int i = 0; i < 1021; ++i) packet.push_back((BYTE)i);
  return packet;
}

// The longest packet, every byte of which must be escaped.
Bytes WorstPacket() { return Bytes(DIAG_MAX_PACKET, DIAG_FLAG); }

void EncodeFrames(benchmark::State& state, const Bytes& packet) {
  std::vector<BYTE> frame(DIAG_FRAME_AREA);
  for (auto _ : state) {
    int length = EncodeDiagFrame(packet.data(), (int)packet.size(), 1, frame.data(), (int)frame.size());
    if (length < 0) state.SkipWithError("the frame did not fit");
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)packet.size());
}

void BM_EncodeFrameTypical(benchmark::State& state) { EncodeFrames(state, TypicalPacket()); }
void BM_EncodeFrameWorstCase(benchmark::State& state) { EncodeFrames(state, WorstPacket()); }

void BM_Fcs16(benchmark::State& state) {
  const Bytes packet = TypicalPacket();
  for (auto _ : state) {
    benchmark::DoNotOptimize(DiagFcs16(packet.data(), (int)packet.size(), 0xFFFF));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)packet.size());
}

// A test plan's stream from the host: per round, six commands of 4 to 12 bytes, four ACL
// packets of 27 to 1021 data bytes, two SCO packets of 60 bytes.
Bytes RawStream() {
  Bytes stream;
  const int aclLengths[4] = {1021, 27, 339, 1021};
  for (int round = 0; round < 64; ++round) {
    for (int c = 0; c < 6; ++c) {
      const BYTE parameters = (BYTE)(c * 2 % 9);
      const BYTE command[4] = {H4_COMMAND, 0x09, 0x10, parameters};
      stream.insert(stream.end(), command, command + 4);
      stream.insert(stream.end(), parameters, (BYTE)c);
    }
    for (int length : aclLengths) {
      const BYTE header[5] = {H4_ACL, 0x01, 0x00, (BYTE)(length & 0xFF), (BYTE)(length >> 8)};
      stream.insert(stream.end(), header, header + 5);
      for (int i = 0; i < length; ++i) stream.push_back((BYTE)(i + round));
    }
    for (int s = 0; s < 2; ++s) {
      const BYTE header[4] = {H4_SCO, 0x02, 0x00, 60};
      stream.insert(stream.end(), header, header + 4);
      stream.insert(stream.end(), 60, (BYTE)s);
    }
  }
  return stream;
}

long long g_written;  // bytes handed to the driver writer, so the work is not optimised away
void CountCommand(void*, const BYTE*, int length) { g_written += length; }
void CountAcl(void*, const BYTE*, int length) { g_written += length; }
void CountSco(void*, const BYTE*, int length) { g_written += length; }
void IgnoreSelect(void*, BYTE) {}
const DriverWriter kCountingWriter = {nullptr, CountCommand, CountAcl, CountSco, IgnoreSelect};

// The demultiplexer prints a console line per packet: during the timed loop the console
// goes to /dev/null, so its formatting and write calls are measured but not shown.
struct ConsoleToNull {
  int saved;
  ConsoleToNull() {
    std::cout.flush();
    std::fflush(stdout);
    saved = dup(1);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 1);
    close(null);
  }
  ~ConsoleToNull() {
    dup2(saved, 1);
    close(saved);
  }
};

// Feeds the stream the way the receive loop does: up to the buffer's room behind the
// carried bytes per receive.
void BM_DemuxRawPackets(benchmark::State& state) {
  const Bytes stream = RawStream();
  std::vector<BYTE> buf(HOST_RECV_CAPACITY + 1);
  ConsoleToNull quiet;
  for (auto _ : state) {
    RawDemuxState demux = {};
    int carry = 0;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t room = (size_t)(HOST_RECV_CAPACITY - carry);
      const size_t take = stream.size() - at < room ? stream.size() - at : room;
      std::memcpy(buf.data() + carry, stream.data() + at, take);
      at += take;
      const int total = carry + (int)take;
      buf[(size_t)total] = 0;
      carry = DemuxRawPackets(buf.data(), total, &demux, kCountingWriter);
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)stream.size());
  benchmark::DoNotOptimize(g_written);
}

// The capture of one packet: its record built, written by one call and flushed to a
// file in the temporary directory (started afresh every so often so it stays small).
// Arguments: the format (0 btsnoop, 1 pcap, 2 pcapng) and the packet's bytes behind its
// type byte (4: a command, 1025: a full ACL packet).
void BM_CaptureRecord(benchmark::State& state) {
  const CaptureFormat format = CaptureFormat(state.range(0));
  const Bytes packet((size_t)state.range(1), 0x5A);
  char path[] = "/tmp/tarnexio-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  close(fd);
  const auto start = [&](HciCapture* capture) {
    CaptureStart(capture, format, CaptureSinkOfFile(std::fopen(path, "wb")), "bench");
  };
  HciCapture capture;
  start(&capture);
  int error = 0;
  int64_t written = 0;
  for (auto _ : state) {
    if (CaptureWritePacket(&capture, BTSNOOP_FROM_CONTROLLER, 0x02, packet.data(), packet.size(), 0, &error) !=
        CAPTURE_WRITTEN) {
      state.SkipWithError("the capture stopped");
      break;
    }
    if (++written % 16384 == 0) {
      state.PauseTiming();
      CaptureStop(&capture, 0);
      start(&capture);
      state.ResumeTiming();
    }
  }
  CaptureStop(&capture, 0);
  unlink(path);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(format == CAPTURE_BTSNOOP ? "btsnoop" : format == CAPTURE_PCAP ? "pcap" : "pcapng");
}

// The same call without a capture file: what every packet costs when no capture is asked for.
void BM_CaptureOff(benchmark::State& state) {
  const Bytes packet(1025, 0x5A);
  HciCapture capture;
  int error = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        CaptureWritePacket(&capture, BTSNOOP_FROM_CONTROLLER, 0x02, packet.data(), packet.size(), 0, &error));
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CaptureRecord)->ArgsProduct({{CAPTURE_BTSNOOP, CAPTURE_PCAP, CAPTURE_PCAPNG}, {4, 1025}});
BENCHMARK(BM_CaptureOff);
BENCHMARK(BM_EncodeFrameTypical);
BENCHMARK(BM_EncodeFrameWorstCase);
BENCHMARK(BM_Fcs16);
BENCHMARK(BM_DemuxRawPackets);

BENCHMARK_MAIN();
