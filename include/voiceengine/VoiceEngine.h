#pragma once

#include <cstdint>
#include <map>
#include <mutex>

// The engine a softphone host drives: one object per call endpoint. The host does its own
// signalling and owns two bound UDP sockets (RTP and RTCP); it hands them over with
// SetSockets, names the remote party with SetRemote, chooses a codec, and starts and stops the
// two directions of a call. Files play locally or into the call. Results are 0 for success
// and negative codes for failures; the engine makes no callbacks.
//
// A typical call:
//   VoiceEngine engine;
//   engine.Initialize();
//   engine.SetSockets(rtpSocket, rtcpSocket);
//   engine.SetRemote("192.0.2.7", 4000, 4001);
//   engine.SetCodec(2);                      // 0 G.711, 1 G.723, 2 G.729
//   engine.ConfigureReceive(0, 0, 0, 0);
//   engine.ConfigureSend(0, 0, 0, 0, 0, 0);
//   engine.SetCaptureVolume(0, 100);         // the input level starts at 0 (muted)
//   engine.StartReceiving(-1);               // -1: the default device
//   engine.StartSending(-1);
//   ...
//   engine.StopSending();
//   engine.StopReceiving();
//
// Threads: the host may call from any thread. The operations that build, start and stop the
// chains take `apiLock` (recursive); file operations take `filesLock` after it. The engine's
// own threads (capture, network receive, playback, file sources, end-of-file notices) run
// behind these calls.

namespace ve {
class AudioFilter;
class AudioSink;
class CompressorFilter;
class EqualizerFilter;
class FileEndNotifier;
class FilePlayer;
class FrameFilter;
class G711PayloadDecoderFilter;
class MixerFilter;
class RtpAudioSink;
class RtpAudioSource;
class RtpReceiver;
class PlayoutFilter;
class VadFilter;
class WaveInRecorder;
class WaveOutPlayer;
class AmplifierFilter;
}  // namespace ve

namespace voiceengine {
struct EngineAccess;
}

class VoiceEngine {
 public:
  VoiceEngine();
  ~VoiceEngine();
  VoiceEngine(const VoiceEngine&) = delete;
  VoiceEngine& operator=(const VoiceEngine&) = delete;

  void DeleteCodecs();
  void OnLocalFileEnded(int32_t fileId);
  void OnSentFileEnded(int32_t fileId);
  ve::AudioFilter* GetDecoder();
  ve::AudioFilter* GetEncoder();
  void CreateCodecs(int32_t codecType);
  int32_t Initialize();
  bool CanOpenCapture();
  int32_t CleanupFinishedFiles();
  int32_t SetCodec(int32_t codecType);
  int32_t ConfigureReceive(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2);
  int32_t ConfigureSend(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2, uint16_t port,
                        int32_t option3);
  int32_t SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort);
  int32_t SetLocalReceivePort(uint16_t port);
  int32_t SetSockets(int32_t rtpSocket, int32_t rtcpSocket);
  int32_t SetFileVolume(int32_t fileId, int32_t level);
  int32_t SetCaptureVolume(int32_t unused, int32_t level);
  int32_t SetPlaybackVolume(int32_t device, int32_t level);
  int32_t Reserved1020(int32_t unused);
  bool CanOpenPlayback();
  int32_t Reserved1022();
  int32_t Reserved1023();
  int32_t PlayFile(const char* filename, int32_t playOnce, int32_t device, int32_t level, int32_t* fileId);
  int32_t SendFile(const char* filename, int32_t playOnce, int32_t level, int32_t* fileId);
  int32_t StartReceiving(int32_t device);
  int32_t StartSending(int32_t device);
  int32_t StopFiles(bool sentSide);
  int32_t Reserved1029();
  int32_t Reserved1030();
  int32_t StopPlayFile(int32_t fileId);
  int32_t StopSendFile(int32_t fileId);
  int32_t StopReceiving();
  int32_t StopSending();
  int32_t Uninitialize();

  // The longest remote host text SetRemote accepts.
  static constexpr int32_t kMaxHostLength = 51;

 private:
  friend struct voiceengine::EngineAccess;

  struct Settings {
    int32_t kind = -1;
    int32_t frameMs = -1;
    int32_t option1 = -1;
    int32_t option2 = -1;
  };

  void LinkSendChain(bool link);
  // Coder, law and device block of a direction from the codec chosen last.
  void ApplySendCodec();
  void ApplyReceiveCodec();
  // A play into the call (through a mixer of one direction), entered in filePlayers and
  // started. Throws Exception -10 when the file cannot be opened.
  void StartCallFilePlayer(const char* filename, ve::AudioSink* output, int32_t frameMs, bool sendSide,
                           int32_t playOnce, int32_t level, int32_t* fileId);
  void UnprepareReceiveStages();

  ve::RtpReceiver* rtpReceiver = nullptr;
  ve::WaveInRecorder* capture = nullptr;
  ve::WaveOutPlayer* playback = nullptr;
  ve::WaveOutPlayer* filePlayback = nullptr;
  ve::RtpAudioSink* rtpSender = nullptr;
  ve::RtpAudioSource* rtpSource = nullptr;
  ve::EqualizerFilter* receiveEqualizer = nullptr;
  ve::EqualizerFilter* sendEqualizer = nullptr;
  ve::CompressorFilter* compressor = nullptr;
  int32_t codecType = -1;
  int32_t rtpSocket = 0;
  ve::AudioFilter* g711Decoder = nullptr;
  ve::AudioFilter* g711Encoder = nullptr;
  ve::AudioFilter* g723Decoder = nullptr;
  ve::AudioFilter* g723Encoder = nullptr;
  ve::AudioFilter* g729Decoder = nullptr;
  ve::AudioFilter* g729Encoder = nullptr;
  ve::MixerFilter* sendMixer = nullptr;
  ve::MixerFilter* receiveMixer = nullptr;
  ve::AudioFilter* decoder = nullptr;
  ve::AudioFilter* encoder = nullptr;
  ve::VadFilter* vadFilter = nullptr;
  ve::PlayoutFilter* playout = nullptr;
  ve::FrameFilter* frameFilter = nullptr;
  ve::G711PayloadDecoderFilter* g711PayloadDecoder = nullptr;
  ve::AmplifierFilter* amplifier = nullptr;
  std::recursive_mutex* filesLock = nullptr;
  bool initialized = false;
  bool useVadFilter = false;
  bool useSendEqualizer = false;
  bool useReceiveEqualizer = false;
  bool useCompressor = false;
  bool receiving = false;
  bool sending = false;
  bool localFilePlaying = false;
  int32_t receiveFrameMs = 20;
  int32_t sendFrameMs = 20;
  std::map<int32_t, ve::FilePlayer*>* filePlayers = nullptr;
  ve::FilePlayer* localFilePlayer = nullptr;
  int32_t captureDevice = -1;
  int32_t playbackDevice = -1;
  Settings receiveSettings;
  int32_t receiveLocalPort = -1;
  Settings sendSettings;
  uint16_t sendPort = 0;
  int32_t sendOption3 = -1;
  char remoteHost[kMaxHostLength + 1] = {};
  int32_t remoteRtpPort = -1;
  bool useULaw = false;  // G.711 law of calls: A-law unless the host asks for u-law
  ve::FileEndNotifier* fileEndNotifier = nullptr;  // reports files that ended by themselves
  std::recursive_mutex* apiLock = nullptr;
};
