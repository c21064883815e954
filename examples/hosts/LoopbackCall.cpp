// A host of the installed engine library: two engines in this process call each other over
// UDP on 127.0.0.1 for a short while (G.711, a tone as each side's microphone, speakers that
// discard), then report what each side sent and received. Exits 0 when audio went both ways.
//   loopback-call [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <voiceengine/Devices.h>
#include <voiceengine/Extensions.h>
#include <voiceengine/Version.h>
#include <voiceengine/VoiceEngine.h>

namespace {

// A UDP socket bound to 127.0.0.1 on a free port; -1 on failure.
int BoundSocket(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

struct Side {
  VoiceEngine engine;
  int rtp = -1;
  int rtcp = -1;
  uint16_t rtpPort = 0;
  uint16_t rtcpPort = 0;
  uint32_t mic = 0;
  uint32_t speaker = 0;
};

bool Start(Side& side, const Side& peer) {
  VoiceEngine& engine = side.engine;
  return engine.Initialize() == 0 && engine.SetSockets(side.rtp, side.rtcp) == side.rtp &&
         engine.SetRemote("127.0.0.1", peer.rtpPort, peer.rtcpPort) == 0 && engine.SetCodec(0) == 0 &&
         engine.ConfigureReceive(0, 0, 0, 0) == 0 && engine.ConfigureSend(0, 0, 0, 0, 0, 0) == 0 &&
         engine.SetCaptureVolume(0, 100) == 0 && engine.StartReceiving(static_cast<int32_t>(side.speaker)) == 0 &&
         engine.StartSending(static_cast<int32_t>(side.mic)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  std::printf("engine library %s\n", voiceengine::LibraryVersion());

  Side sides[2];
  for (Side& side : sides) {
    side.rtp = BoundSocket(&side.rtpPort);
    side.rtcp = BoundSocket(&side.rtcpPort);
    if (side.rtp < 0 || side.rtcp < 0 || voiceengine::AddToneCaptureDevice("host tone", 440.0, 8000, &side.mic) != 0 ||
        voiceengine::AddDiscardPlaybackDevice("host speaker", &side.speaker) != 0) {
      std::fprintf(stderr, "cannot set up sockets or devices\n");
      return 2;
    }
  }
  if (!Start(sides[0], sides[1]) || !Start(sides[1], sides[0])) {
    std::fprintf(stderr, "cannot start the call\n");
    return 2;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the call's length

  bool heard = true;
  for (Side& side : sides) {
    voiceengine::CallStatistics stats;
    voiceengine::GetStatistics(&side.engine, &stats);
    std::printf("sent %llu packets, received %llu, lost %lld\n", static_cast<unsigned long long>(stats.rtpPacketsSent),
                static_cast<unsigned long long>(stats.rtpPacketsReceived), static_cast<long long>(stats.packetsLost));
    heard = heard && stats.rtpPacketsSent > 0 && stats.rtpPacketsReceived > 0;
    side.engine.StopSending();
    side.engine.StopReceiving();
    side.engine.Uninitialize();
  }
  for (Side& side : sides) {
    close(side.rtp);
    close(side.rtcp);
  }
  return heard ? 0 : 1;
}
