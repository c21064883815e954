// A Windows host of voiceengine.dll, written the way an application that knows the engine only
// by its header and its ordinals would: it loads the library at run time, binds every
// operation with GetProcAddress by ordinal, constructs the engine in memory of its own and
// calls the members with the member-call convention of the platform (thiscall on 32-bit x86,
// the ordinary convention on x64). It then checks what a host relies on, up to audio
// actually leaving through the host's own UDP socket, and prints one line per check.
//
//   dllhost [path\to\voiceengine.dll]       exit code 0 when every check passes
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "voiceengine/VoiceEngine.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#if defined(__i386__) || defined(_M_IX86)
#define VE_MEMBER __attribute__((thiscall))
#else
#define VE_MEMBER
#endif

namespace {

// The member operations as plain functions taking the object first.
using VoidOp = void(VE_MEMBER*)(void* self);
using IntOp = int32_t(VE_MEMBER*)(void* self);
using IntOfInt = int32_t(VE_MEMBER*)(void* self, int32_t);
using IntOfIntInt = int32_t(VE_MEMBER*)(void* self, int32_t, int32_t);
using BoolOp = bool(VE_MEMBER*)(void* self);
using PointerOp = void*(VE_MEMBER*)(void* self);
using SetRemoteOp = int32_t(VE_MEMBER*)(void* self, const char* host, uint16_t rtpPort, uint16_t rtcpPort);
using SendFileOp = int32_t(VE_MEMBER*)(void* self, const char* file, int32_t once, int32_t level, int32_t* id);

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

SOCKET LoopbackSocket(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return s;
}

// Writes one second of a 440 Hz tone as 8 kHz 16-bit mono PCM WAV.
bool WriteTone(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const uint32_t samples = 8000, dataBytes = samples * 2;
  auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, file); };
  auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, file); };
  std::fwrite("RIFF", 1, 4, file), u32(36 + dataBytes), std::fwrite("WAVEfmt ", 1, 8, file);
  u32(16), u16(1), u16(1), u32(8000), u32(16000), u16(2), u16(16);
  std::fwrite("data", 1, 4, file), u32(dataBytes);
  for (uint32_t i = 0; i < samples; ++i) u16(static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(i * 2 * 3.14159265 * 440 / 8000))));
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "voiceengine.dll";
  HMODULE library = LoadLibraryA(path);
  Check(library != nullptr, "LoadLibrary");
  if (library == nullptr) return 1;

  static void* ops[36] = {};
  bool all = true;
  for (int n = 1000; n <= 1035; ++n) {
    ops[n - 1000] = reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(n)));
    all = all && ops[n - 1000] != nullptr;
  }
  Check(all, "ordinals 1000..1035 all bound");
  Check(GetProcAddress(library, MAKEINTRESOURCEA(999)) == nullptr &&
            GetProcAddress(library, MAKEINTRESOURCEA(1036)) == nullptr,
        "no ordinal outside 1000..1035");
  Check(GetProcAddress(library, "_ZN11VoiceEngine10InitializeEv") == nullptr, "no export by name");
  if (!all) return 1;
  auto op = [](int ordinal) { return ops[ordinal - 1000]; };

  // The object lives in the host's memory; only its size comes from the header.
  alignas(16) static unsigned char memory[sizeof(VoiceEngine)];
  std::memset(memory, 0xCD, sizeof memory);
  void* engine = memory;
  reinterpret_cast<VoidOp>(op(1000))(engine);
  Check(reinterpret_cast<IntOp>(op(1035))(engine) == 0, "Uninitialize before Initialize returns 0");
  Check(reinterpret_cast<PointerOp>(op(1006))(engine) == nullptr, "no encoder before a codec is chosen");
  Check(reinterpret_cast<IntOp>(op(1008))(engine) == 0, "Initialize returns 0");
  Check(reinterpret_cast<IntOp>(op(1008))(engine) == 0, "second Initialize returns 0");
  Check(reinterpret_cast<IntOfInt>(op(1020))(engine, 7) == 0 && reinterpret_cast<IntOp>(op(1022))(engine) == 0 &&
            reinterpret_cast<IntOp>(op(1023))(engine) == 0 && reinterpret_cast<IntOp>(op(1029))(engine) == 0 &&
            reinterpret_cast<IntOp>(op(1030))(engine) == 0,
        "reserved ordinals return 0");
  Check(reinterpret_cast<IntOfIntInt>(op(1016))(engine, 0, 5) == -1, "SetSockets(0, 5) returns -1");
  Check(reinterpret_cast<SetRemoteOp>(op(1014))(engine, "not.an.address", 5004, 5005) == -10,
        "SetRemote refuses a host that is not dotted IPv4");
  Check(reinterpret_cast<IntOfInt>(op(1011))(engine, 0) == 0, "SetCodec(G.711) returns 0");
  Check(reinterpret_cast<PointerOp>(op(1006))(engine) != nullptr &&
            reinterpret_cast<PointerOp>(op(1005))(engine) != nullptr,
        "G.711 encoder and decoder exist");
  std::printf("     CanOpenPlayback %d, CanOpenCapture %d\n", reinterpret_cast<BoolOp>(op(1021))(engine),
              reinterpret_cast<BoolOp>(op(1009))(engine));

  // A call's send direction to a socket of our own, with a tone file mixed into it.
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  uint16_t rtpPort = 0, rtcpPort = 0, listenPort = 0, listenRtcpPort = 0;
  SOCKET rtp = LoopbackSocket(&rtpPort), rtcp = LoopbackSocket(&rtcpPort);
  SOCKET listener = LoopbackSocket(&listenPort), listenerRtcp = LoopbackSocket(&listenRtcpPort);
  Check(reinterpret_cast<IntOfIntInt>(op(1016))(engine, static_cast<int32_t>(rtp), static_cast<int32_t>(rtcp)) ==
            static_cast<int32_t>(rtp),
        "SetSockets returns the RTP socket");
  Check(reinterpret_cast<SetRemoteOp>(op(1014))(engine, "127.0.0.1", listenPort, listenRtcpPort) == 0, "SetRemote");
  Check(reinterpret_cast<IntOfInt>(op(1027))(engine, -1) == 0, "StartSending on the default capture device");
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  std::string tone = std::string(folder) + "dllhost-tone-" + std::to_string(GetCurrentProcessId()) + ".wav";
  int32_t fileId = -1;
  Check(WriteTone(tone) && reinterpret_cast<SendFileOp>(op(1025))(engine, tone.c_str(), 1, 100, &fileId) == 0 &&
            fileId > 0,
        "SendFile mixes a tone into the call");

  int audio = 0, other = 0;
  DWORD until = GetTickCount() + 2000;
  while (static_cast<int32_t>(until - GetTickCount()) > 0 && audio < 25) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait{0, 100000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    unsigned char packet[1500];
    int got = recv(listener, reinterpret_cast<char*>(packet), sizeof packet, 0);
    if (got < 12 || (packet[0] >> 6) != 2) {
      ++other;
      continue;
    }
    int payloadType = packet[1] & 0x7F;
    if ((payloadType == 0 || payloadType == 8) && got == 12 + 160) ++audio; else ++other;
  }
  std::printf("     %d G.711 audio packets of 20 ms, %d other datagrams\n", audio, other);
  Check(audio >= 25, "G.711 RTP packets of the tone arrive at the host's socket");

  Check(reinterpret_cast<IntOp>(op(1034))(engine) == 0, "StopSending returns 0");
  Check(reinterpret_cast<IntOp>(op(1035))(engine) == 0, "Uninitialize returns 0");
  reinterpret_cast<VoidOp>(op(1001))(engine);
  DeleteFileA(tone.c_str());
  closesocket(rtp), closesocket(rtcp), closesocket(listener), closesocket(listenerRtcp);
  WSACleanup();
  Check(FreeLibrary(library) != 0, "FreeLibrary");
  std::printf("%s: %d failure(s)\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
