// The engine object: creates the media components once, wires and starts the two chains of a
// call, and plays files locally or into the call.
//
// Send chain:    capture -> sendEqualizer -> sendMixer -> frameFilter -> encoder -> rtpSender
//                driven by the capture thread's pushes of 10 or 20 ms blocks, which the frame
//                filter gathers into the codec's packet length.
// Receive chain: rtpSource -> playout -> receiveMixer -> playback
//                driven by the network thread's pushes of encoded packets into the playout and
//                by the playback thread's pulls of 10 ms blocks, decoded as they are pulled.
//                receiveMixer is in the chain so that files played into the call are heard.
#include "voiceengine/VoiceEngine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/CompressorFilter.h"
#include "audio/EqualizerFilter.h"
#include "audio/FrameFilter.h"
#include "audio/MixerFilter.h"
#include "audio/PlayoutFilter.h"
#include "audio/VadFilter.h"
#include "audio/WaveInRecorder.h"
#include "audio/WaveOutPlayer.h"
#include "codecs/AmplifierFilter.h"
#include "codecs/G711DecoderFilter.h"
#include "codecs/G711EncoderFilter.h"
#include "codecs/G711PayloadDecoderFilter.h"
#include "codecs/G723DecoderFilter.h"
#include "codecs/G723EncoderFilter.h"
#include "codecs/G729DecoderFilter.h"
#include "codecs/G729EncoderFilter.h"
#include "engine/EqualizerSets.h"
#include "engine/FileEndNotifier.h"
#include "engine/FilePlayer.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/WaveIn.h"
#include "platform/WaveOut.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/Exception.h"
#include "rtp/RtpAudioSink.h"
#include "rtp/RtpAudioSource.h"

using namespace ve;

namespace {

using ApiGuard = std::lock_guard<std::recursive_mutex>;

constexpr int32_t kSampleBits = 16;

void LoadCoefficients(EqualizerFilter* equalizer, const double (&half)[kEqualizerHalf]) {
  double taps[kEqualizerTaps];
  ExpandEqualizerSet(half, taps);
  equalizer->SetCoefficients(taps, kEqualizerTaps, kSampleBits);
}

constexpr double kCompressorThreshold = -8.0;
constexpr double kCompressorLossIncrement = 0.075;
constexpr double kCompressorLossDecrement = -0.00075;

// Frame length of each codec type; device blocks are frame ms x 16 bytes of 8 kHz 16-bit PCM.
int32_t FrameMsOf(int32_t codecType, int32_t requested) {
  switch (codecType) {
    case kCodecG711:
    case kCodecG723:
      return 20;
    case kCodecG729:
      return 50;
    default:
      return requested;
  }
}
constexpr int32_t kBytesPerMs = 16;

// The microphone hands over 20 ms blocks when packets are 20 ms long and 10 ms blocks
// otherwise, so no block waits for audio of the next packet.
int32_t CaptureBlockMs(int32_t frameMs) { return frameMs == 20 ? 20 : 10; }

// The call's speaker plays 10 ms blocks whatever the codec, as many queued as the device needs:
// from 2 (20 ms) up to 10 when it keeps running dry.
constexpr int32_t kPlaybackBlockMs = 10;
constexpr int32_t kPlaybackQueueBlocks = 2;
constexpr int32_t kPlaybackBufferCount = 10;
constexpr int32_t kLocalFileFrameMs = 60;
constexpr uint8_t kVoiceTypeOfService = 0xB8;

void SetLaw(AudioFilter* filter, bool uLaw) {
  if (auto* encoder = dynamic_cast<G711EncoderFilter*>(filter)) {
    uLaw ? encoder->SetULaw() : encoder->SetALaw();
  } else if (auto* decoder = dynamic_cast<G711DecoderFilter*>(filter)) {
    uLaw ? decoder->SetULaw() : decoder->SetALaw();
  }
}

}  // namespace

// The locks and the file table are owned through pointers so that the object's layout is
// made of pointers and plain values only: a Windows host that allocates the object itself
// gets the same size whatever compiler and C++ library it was built with.
VoiceEngine::VoiceEngine()
    : filesLock(new std::recursive_mutex()),
      filePlayers(new std::map<int32_t, ve::FilePlayer*>()),
      apiLock(new std::recursive_mutex()) {}

VoiceEngine::~VoiceEngine() {
  Uninitialize();
  delete filePlayers;
  delete filesLock;
  delete apiLock;
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

int32_t VoiceEngine::Initialize() {
  ApiGuard api(*apiLock);
  if (initialized) return 0;
  AudioSamplePool::Initialize();

  capture = new WaveInRecorder();
  playback = new WaveOutPlayer();
  filePlayback = new WaveOutPlayer();
  rtpSender = new RtpAudioSink();
  rtpSource = new RtpAudioSource();
  // The reception record lives with the engine: the receive path counts into it and the RTCP
  // session reports from it, whichever directions run.
  rtpReceiver = new RtpReceiver();
  rtpSender->SetRtpReceiver(rtpReceiver);
  rtpSource->SetRtpReceiver(rtpReceiver);

  receiveEqualizer = new EqualizerFilter();
  LoadCoefficients(receiveEqualizer, kReceiveSetA);
  sendEqualizer = new EqualizerFilter();
  LoadCoefficients(sendEqualizer, kSendSetA);

  SetCodec(kCodecG729);

  compressor = new CompressorFilter(kCompressorThreshold, kCompressorLossIncrement, kCompressorLossDecrement);
  vadFilter = new VadFilter();
  playout = new PlayoutFilter();
  // A source that says BYE is replaced at once by the next one rather than after its silence.
  rtpReceiver->SetSourceLeftListener([core = &playout->Core()](uint32_t ssrc) { core->SourceLeft(ssrc); });
  frameFilter = new FrameFilter();
  g711PayloadDecoder = new G711PayloadDecoderFilter();
  receiveMixer = new MixerFilter();
  sendMixer = new MixerFilter();
  amplifier = new AmplifierFilter();

  decoder = GetDecoder();
  encoder = GetEncoder();
  sendFrameMs = receiveFrameMs = 20;

  filePlayers->clear();
  localFilePlayer = nullptr;
  receiving = sending = localFilePlaying = false;
  captureDevice = playbackDevice = -1;

  fileEndNotifier = new FileEndNotifier(this);
  initialized = true;
  return 0;
}

int32_t VoiceEngine::Uninitialize() {
  ApiGuard api(*apiLock);
  if (!initialized) return 0;
  StopReceiving();
  StopSending();
  if (localFilePlayer != nullptr && localFilePlayer->IsActive()) StopPlayFile(localFilePlayer->GetId());
  // Files still playing (a stop that failed) are stopped before their players go away.
  {
    std::lock_guard<std::recursive_mutex> files(*filesLock);
    for (auto& [id, player] : *filePlayers) player->Stop();
  }
  CleanupFinishedFiles();
  DeleteCodecs();

  // No notification may reach the engine while the components go away.
  fileEndNotifier->Shutdown();
  {
    std::lock_guard<std::recursive_mutex> files(*filesLock);
    for (auto& [id, player] : *filePlayers) delete player;
    filePlayers->clear();
    delete localFilePlayer;
    localFilePlayer = nullptr;
    localFilePlaying = false;
  }
  filePlayback->Stop();

  delete playback;
  playback = nullptr;
  delete filePlayback;
  filePlayback = nullptr;
  delete capture;
  capture = nullptr;
  delete rtpSource;
  rtpSource = nullptr;
  delete rtpSender;
  rtpSender = nullptr;
  delete rtpReceiver;  // after both users are gone
  rtpReceiver = nullptr;
  delete receiveEqualizer;
  receiveEqualizer = nullptr;
  delete sendEqualizer;
  sendEqualizer = nullptr;
  delete compressor;
  compressor = nullptr;
  delete vadFilter;
  vadFilter = nullptr;
  delete receiveMixer;
  receiveMixer = nullptr;
  delete sendMixer;
  sendMixer = nullptr;
  delete playout;
  playout = nullptr;
  delete frameFilter;
  frameFilter = nullptr;
  delete g711PayloadDecoder;
  g711PayloadDecoder = nullptr;
  delete amplifier;
  amplifier = nullptr;
  decoder = encoder = nullptr;
  codecType = -1;

  delete fileEndNotifier;
  fileEndNotifier = nullptr;
  AudioSamplePool::Shutdown();
  initialized = false;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Codecs

void VoiceEngine::CreateCodecs(int32_t type) {
  ApiGuard api(*apiLock);
  switch (type) {
    case kCodecG711:
      if (g711Encoder == nullptr) g711Encoder = new G711EncoderFilter();
      if (g711Decoder == nullptr) g711Decoder = new G711DecoderFilter();
      break;
    case kCodecG723:
      if (g723Encoder == nullptr) g723Encoder = new G723EncoderFilter();
      if (g723Decoder == nullptr) g723Decoder = new G723DecoderFilter();
      break;
    case kCodecG729:
      if (g729Encoder == nullptr) g729Encoder = new G729EncoderFilter();
      if (g729Decoder == nullptr) g729Decoder = new G729DecoderFilter();
      break;
    default:
      break;
  }
}

void VoiceEngine::DeleteCodecs() {
  ApiGuard api(*apiLock);
  for (AudioFilter** slot : {&g711Decoder, &g711Encoder, &g723Decoder, &g723Encoder, &g729Decoder, &g729Encoder}) {
    delete *slot;
    *slot = nullptr;
  }
}

AudioFilter* VoiceEngine::GetDecoder() {
  ApiGuard api(*apiLock);
  switch (codecType) {
    case kCodecG711:
      return g711Decoder;
    case kCodecG723:
      return g723Decoder;
    case kCodecG729:
      return g729Decoder;
    default:
      return nullptr;
  }
}

AudioFilter* VoiceEngine::GetEncoder() {
  ApiGuard api(*apiLock);
  switch (codecType) {
    case kCodecG711:
      return g711Encoder;
    case kCodecG723:
      return g723Encoder;
    case kCodecG729:
      return g729Encoder;
    default:
      return nullptr;
  }
}

int32_t VoiceEngine::SetCodec(int32_t type) {
  ApiGuard api(*apiLock);
  if (type == codecType) return 0;
  // A running direction stops on the old coder, so that the stop unlinks it, and starts again
  // on the new one: one encoder and one decoder are linked at any time.
  const bool wasSending = sending;
  const bool wasReceiving = receiving;
  bool stopFailed = false;
  if (wasSending) stopFailed |= StopSending() < 0;
  if (wasReceiving) stopFailed |= StopReceiving() < 0;
  if (!stopFailed) {
    codecType = type;
    CreateCodecs(type);
    decoder = GetDecoder();
    encoder = GetEncoder();
  }
  int32_t result = stopFailed ? -10 : 0;
  if (wasSending && !sending && StartSending(captureDevice) < 0) result = -20;
  if (wasReceiving && !receiving && StartReceiving(playbackDevice) < 0) result = -20;
  return result;
}

// ---------------------------------------------------------------------------------------------
// Configuration

// The codec chosen last decides the coder, the G.711 law and the device block of a direction,
// whichever order SetCodec and the Configure operations came in: applied when configuring and
// again when a direction starts.
void VoiceEngine::ApplySendCodec() {
  if (AudioFilter* chosen = GetEncoder()) encoder = chosen;
  if (codecType == kCodecG711) SetLaw(g711Encoder, useULaw);
  sendFrameMs = FrameMsOf(codecType, sendSettings.frameMs > 0 ? sendSettings.frameMs : sendFrameMs);
  capture->SetBufferSize(static_cast<uint32_t>(CaptureBlockMs(sendFrameMs) * kBytesPerMs));
  frameFilter->SetFrameMs(sendFrameMs);
}

void VoiceEngine::ApplyReceiveCodec() {
  if (AudioFilter* chosen = GetDecoder()) decoder = chosen;
  if (codecType == kCodecG711) SetLaw(g711Decoder, useULaw);
  receiveFrameMs = FrameMsOf(codecType, receiveSettings.frameMs > 0 ? receiveSettings.frameMs : receiveFrameMs);
  playback->SetBufferSize(static_cast<uint32_t>(kPlaybackBlockMs * kBytesPerMs));
}

int32_t VoiceEngine::ConfigureReceive(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2) {
  ApiGuard api(*apiLock);
  if (receiving && kind == receiveSettings.kind && !(kind == 9 && option2 != receiveSettings.option2)) return 0;
  receiveSettings.kind = kind;
  receiveSettings.option1 = option1;
  receiveSettings.option2 = option2;

  int32_t result = 0;
  bool stopped = false;
  if (receiving) {
    if (StopReceiving() < 0) {
      result = -10;
    } else {
      stopped = true;
    }
  }
  receiveSettings.frameMs = FrameMsOf(codecType, frameMs);
  if (result == 0) {
    ApplyReceiveCodec();
    if (stopped && StartReceiving(playbackDevice) < 0) result = -20;
  }
  return result;
}

int32_t VoiceEngine::ConfigureSend(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2, uint16_t port,
                                   int32_t option3) {
  ApiGuard api(*apiLock);
  option2 = 0;  // silence suppression stays off
  int32_t result = 0;
  bool stopped = false;
  if (sending) {
    if (StopSending() < 0) {
      result = -10;
    } else {
      stopped = true;
    }
  }
  useVadFilter = option2 != 0;
  const int32_t frame = FrameMsOf(codecType, frameMs);
  if (result == 0) {
    sendSettings.frameMs = frame;
    ApplySendCodec();
    if (stopped && StartSending(captureDevice) < 0) result = -20;
  }
  if (result == 0) {
    sendSettings.kind = kind;
    sendSettings.option1 = option1;
    sendSettings.option2 = option2;
    sendPort = port;
    sendOption3 = option3;
  }
  return result;
}

int32_t VoiceEngine::SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort) {
  ApiGuard api(*apiLock);
  // A host text that is too long or not an address is refused instead of sending to the
  // broadcast address that an unparsable text would turn into.
  if (host == nullptr || std::strlen(host) > static_cast<size_t>(kMaxHostLength) ||
      platform::InetAddr(host) == platform::kAddressNone) {
    return -10;
  }
  int32_t result = rtpSender->SetRemote(host, rtpPort, rtcpPort);
  // The receive side listens for the new peer at once and starts afresh.
  if (std::strcmp(remoteHost, host) != 0 || remoteRtpPort != rtpPort) {
    rtpSource->Gate().SetRemote(platform::Ipv4Endpoint{platform::InetAddr(host), rtpPort});
    playout->Core().Reset();
  }
  std::snprintf(remoteHost, sizeof remoteHost, "%s", host);
  remoteRtpPort = rtpPort;
  return result;
}

int32_t VoiceEngine::SetLocalReceivePort(uint16_t port) {
  ApiGuard api(*apiLock);
  int32_t result = 0;
  uint16_t currentReceivePort = 0;
  if (rtpSource->GetLocalPort(&currentReceivePort) < 0 || currentReceivePort != port) {
    bool stopped = false;
    if (receiving) {
      if (StopReceiving() < 0) {
        result = -10;
      } else {
        stopped = true;
      }
    }
    if (result == 0 && rtpSource->SetLocalPort(port) < 0) result = -20;
    if (result == 0 && stopped && StartReceiving(playbackDevice) < 0) result = -30;
  }
  if (rtpSource->GetLocalPort(&currentReceivePort) >= 0) receiveLocalPort = currentReceivePort;
  return result;
}

int32_t VoiceEngine::SetSockets(int32_t rtp, int32_t rtcp) {
  if (rtp <= 0 || rtcp <= 0) return -1;
  ApiGuard api(*apiLock);
  rtpSocket = rtp;
  rtpSender->SetRtpSocket(rtp);
  rtpSender->SetRtcpSocket(rtcp);
  rtpSource->SetRtpSocket(rtp);
  rtpSource->SetRtcpSocket(rtcp);
  return rtpSocket;
}

// ---------------------------------------------------------------------------------------------
// Levels and devices

int32_t VoiceEngine::SetCaptureVolume(int32_t, int32_t level) {
  ApiGuard api(*apiLock);
  capture->SetVolume(static_cast<uint32_t>(level < 0 ? 0 : level));
  return 0;
}

int32_t VoiceEngine::SetPlaybackVolume(int32_t device, int32_t level) {
  ApiGuard api(*apiLock);
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  uint32_t volume = static_cast<uint32_t>(level < 0 ? 0 : level);
  if (static_cast<uint32_t>(device) == filePlayback->GetDeviceId() && localFilePlaying) {
    return filePlayback->SetVolume(volume);
  }
  if (static_cast<uint32_t>(device) == playback->GetDeviceId() && receiving) return playback->SetVolume(volume);
  return 0;
}

namespace {

WAVEFORMATEX ProbeFormat() {
  WAVEFORMATEX format;
  GetStandardFormat(&format, kFormatPcm16);
  return format;
}

}  // namespace

bool VoiceEngine::CanOpenCapture() {
  WAVEFORMATEX format = ProbeFormat();
  platform::HWAVEIN device = nullptr;
  if (platform::waveInOpen(&device, platform::WAVE_MAPPER, &format, nullptr, 0) != platform::MMSYSERR_NOERROR) {
    return false;
  }
  platform::waveInReset(device);
  platform::waveInClose(device);
  return true;
}

bool VoiceEngine::CanOpenPlayback() {
  WAVEFORMATEX format = ProbeFormat();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1) platform::Sleep(2000);
    platform::HWAVEOUT device = nullptr;
    if (platform::waveOutOpen(&device, platform::WAVE_MAPPER, &format, nullptr, 0) == platform::MMSYSERR_NOERROR) {
      platform::waveOutReset(device);
      platform::waveOutClose(device);
      return true;
    }
  }
  return false;
}

int32_t VoiceEngine::Reserved1020(int32_t) { return 0; }
int32_t VoiceEngine::Reserved1022() { return 0; }
int32_t VoiceEngine::Reserved1023() { return 0; }
int32_t VoiceEngine::Reserved1029() { return 0; }
int32_t VoiceEngine::Reserved1030() { return 0; }

// ---------------------------------------------------------------------------------------------
// Send direction

void VoiceEngine::LinkSendChain(bool link) {
  auto step = [link](AudioSource* from, AudioSink* to) { link ? Connect(from, to) : Disconnect(from, to); };
  AudioSource* previous = capture;
  if (useSendEqualizer) {
    step(previous, sendEqualizer->AsSink());
    previous = sendEqualizer->AsSource();
  }
  if (useVadFilter) {
    step(previous, vadFilter->AsSink());
    previous = vadFilter->AsSource();
  }
  step(previous, sendMixer->AsSink());
  previous = sendMixer->AsSource();
  step(previous, frameFilter->AsSink());
  previous = frameFilter->AsSource();
  if (encoder != nullptr) {
    step(previous, encoder->AsSink());
    previous = encoder->AsSource();
  }
  step(previous, rtpSender);
}

int32_t VoiceEngine::StartSending(int32_t device) {
  ApiGuard api(*apiLock);
  if (sending) return 0;
  ApplySendCodec();
  useSendEqualizer = true;
  LoadCoefficients(sendEqualizer, kSendSetB);
  captureDevice = device;
  capture->SetDeviceId(static_cast<uint32_t>(device));
  LinkSendChain(true);
  rtpSender->SetTypeOfService(kVoiceTypeOfService);

  int32_t result = 0;
  if (rtpSender->Open() < 0) {
    result = -10;
  } else if (encoder == nullptr || encoder->Prepare() < 0) {
    rtpSender->Close();
    result = -20;
  } else if (sendMixer->Prepare() < 0 || frameFilter->Prepare() < 0) {
    rtpSender->Close();
    encoder->Unprepare();
    sendMixer->Unprepare();
    result = -30;
  } else if (useVadFilter && (vadFilter->Enable(), vadFilter->Prepare() < 0)) {
    rtpSender->Close();
    encoder->Unprepare();
    sendMixer->Unprepare();
    frameFilter->Unprepare();
    result = -40;
  } else if (capture->Start() < 0) {
    rtpSender->Close();
    encoder->Unprepare();
    sendMixer->Unprepare();
    frameFilter->Unprepare();
    if (useVadFilter) vadFilter->Unprepare();
    result = -60;
  }
  if (result == 0) {
    sending = true;
    rtpSender->SetCallDirections(sending, receiving);
  }
  return result;
}

int32_t VoiceEngine::StopSending() {
  ApiGuard api(*apiLock);
  if (!sending) return 0;
  bool failed = false;
  failed |= StopFiles(true) < 0;
  failed |= capture->Stop() < 0;
  if (useVadFilter) failed |= vadFilter->Unprepare() < 0;
  failed |= sendMixer->Unprepare() < 0;
  failed |= frameFilter->Unprepare() < 0;
  if (encoder != nullptr) failed |= encoder->Unprepare() < 0;
  failed |= rtpSender->Close() < 0;
  LinkSendChain(false);
  if (failed) return -10;
  sending = false;
  // RTCP goes on with receiver reports while receiving runs, or says BYE.
  rtpSender->SetCallDirections(sending, receiving);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Receive direction

int32_t VoiceEngine::StartReceiving(int32_t device) {
  ApiGuard api(*apiLock);
  if (receiving) return 0;
  ApplyReceiveCodec();
  useReceiveEqualizer = true;
  useCompressor = true;
  LoadCoefficients(receiveEqualizer, kReceiveSetB);
  playback->SetBufferCount(kPlaybackBufferCount);
  playback->SetQueueDepth(kPlaybackQueueBlocks);
  const char* strThreshold = "-8.0";
  const char* strLossIncrement = "0.075";
  const char* strLossDecrement = "-0.00075";
  compressor->SetParameters(std::strtod(strThreshold, nullptr), std::strtod(strLossIncrement, nullptr),
                            std::strtod(strLossDecrement, nullptr));
  playbackDevice = device;
  playback->SetDeviceId(static_cast<uint32_t>(device));
  amplifier->SetPercentile(95.0);
  amplifier->SetMaximumAmplification(800);

  // Packets are decoded by their own payload type in the playout, whatever the codec set; a
  // codec the engine cannot make still refuses the start.
  if (decoder == nullptr) return -10;
  Connect(rtpSource, playout->AsSink());
  Connect(playout->AsSource(), receiveMixer->AsSink());
  Connect(receiveMixer->AsSource(), playback);

  int32_t result = 0;
  if (decoder->Prepare() < 0) {
    result = -10;
  } else if (playout->Prepare() < 0) {
    decoder->Unprepare();
    result = -20;
  } else if (amplifier->Prepare() < 0) {
    decoder->Unprepare();
    playout->Unprepare();
    result = -40;
  } else if (receiveMixer->Prepare() < 0 || playback->Start() < 0) {
    UnprepareReceiveStages();
    result = -80;
  } else if (rtpSource->Start() < 0) {
    playback->Stop();
    UnprepareReceiveStages();
    result = -90;
  }
  if (result == 0) {
    receiving = true;
    rtpSender->SetCallDirections(sending, receiving);
  }
  return result;
}

void VoiceEngine::UnprepareReceiveStages() {
  decoder->Unprepare();
  playout->Unprepare();
  amplifier->Unprepare();
  receiveMixer->Unprepare();
  receiveEqualizer->Unprepare();
  compressor->Unprepare();
}

int32_t VoiceEngine::StopReceiving() {
  ApiGuard api(*apiLock);
  if (!receiving) return 0;
  bool failed = false;
  failed |= StopFiles(false) < 0;
  failed |= playback->Stop() < 0;
  failed |= rtpSource->StopReceiving() < 0;
  failed |= rtpSource->Stop() < 0;
  if (useCompressor) failed |= compressor->Unprepare() < 0;
  if (useReceiveEqualizer) failed |= receiveEqualizer->Unprepare() < 0;
  failed |= receiveMixer->Unprepare() < 0;
  failed |= amplifier->Unprepare() < 0;
  failed |= playout->Unprepare() < 0;
  if (decoder != nullptr) failed |= decoder->Unprepare() < 0;
  Disconnect(rtpSource, playout->AsSink());
  Disconnect(playout->AsSource(), receiveMixer->AsSink());
  Disconnect(receiveMixer->AsSource(), playback);
  if (failed) return -10;
  receiving = false;
  rtpSender->SetCallDirections(sending, receiving);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Files

void VoiceEngine::StartCallFilePlayer(const char* filename, AudioSink* output, int32_t frameMs, bool sendSide,
                                      int32_t playOnce, int32_t level, int32_t* fileId) {
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  auto* player = new FilePlayer(this, fileEndNotifier, output, frameMs, sendSide, NewFileId());
  if (!OpenAndPlay(player, filename, playOnce, level)) {
    delete player;
    throw Exception(-10, "Error loading file %s", filename != nullptr ? filename : "");
  }
  filePlayers->emplace(player->GetId(), player);
  if (fileId != nullptr) *fileId = player->GetId();
}

bool VoiceEngine::OpenAndPlay(FilePlayer* player, const char* filename, int32_t playOnce, int32_t level) {
  if (player->OpenFile(filename) != 0) return false;
  if (playOnce == 0) player->SetLoop();
  player->SetLevel(level);
  WAVEFORMATEX pcm;
  player->SetOutputFormat(GetStandardFormat(&pcm, kFormatPcm16));
  // A file that opens but whose coding cannot be converted is refused like one that does not
  // open: its play would stay silent and never end.
  return player->Play() == 0;
}

int32_t VoiceEngine::NewFileId() {
  // Drawn from one counter for the whole process, which nothing resets, so ids of two engines
  // never meet; an id this engine still holds is skipped should the counter ever come round.
  for (;;) {
    const int32_t id = FilePlayer::NextId();
    if (filePlayers->count(id) == 0 && (localFilePlayer == nullptr || localFilePlayer->GetId() != id)) return id;
  }
}

int32_t VoiceEngine::PlayFile(const char* filename, int32_t playOnce, int32_t device, int32_t level, int32_t* fileId) {
  ApiGuard api(*apiLock);
  try {
    CleanupFinishedFiles();
    if (receiving && device == playbackDevice) {
      StartCallFilePlayer(filename, receiveMixer->AsSink(), kPlaybackBlockMs, false, playOnce, level, fileId);
      return 0;
    }

    std::lock_guard<std::recursive_mutex> files(*filesLock);
    if (localFilePlaying) {
      if (localFilePlayer == nullptr) {
        localFilePlaying = false;
      } else {
        StopPlayFile(localFilePlayer->GetId());
      }
    }
    if (localFilePlayer != nullptr) return 0;
    localFilePlayer = new FilePlayer(this, fileEndNotifier, filePlayback, kLocalFileFrameMs, false, NewFileId());
    if (!OpenAndPlay(localFilePlayer, filename, playOnce, level)) {
      delete localFilePlayer;
      localFilePlayer = nullptr;
      throw Exception(-20, "Error loading file %s to extraFilePlay", filename != nullptr ? filename : "");
    }
    filePlayback->SetDeviceId(static_cast<uint32_t>(device));
    filePlayback->SetBufferSize(960);
    filePlayback->SetBufferCount(10);
    // As few buffers queued as the device needs: a stop or the end of the file plays out at
    // most what is queued.
    filePlayback->SetQueueDepth(2);
    filePlayback->SetFormat(kFormatPcm16);
    if (fileId != nullptr) *fileId = localFilePlayer->GetId();
    filePlayback->Start();
    localFilePlaying = true;
    return 0;
  } catch (const Exception& error) {
    if (fileId != nullptr) *fileId = 0;
    return error.Code();
  }
}

int32_t VoiceEngine::SendFile(const char* filename, int32_t playOnce, int32_t level, int32_t* fileId) {
  ApiGuard api(*apiLock);
  try {
    CleanupFinishedFiles();
    if (!sending) return 0;
    StartCallFilePlayer(filename, sendMixer->AsSink(), CaptureBlockMs(sendFrameMs), true, playOnce, level, fileId);
    return 0;
  } catch (const Exception& error) {
    return error.Code();
  }
}

int32_t VoiceEngine::StopPlayFile(int32_t fileId) {
  ApiGuard api(*apiLock);
  {
    std::lock_guard<std::recursive_mutex> files(*filesLock);
    auto found = filePlayers->find(fileId);
    if (found != filePlayers->end()) {
      if (!found->second->IsSendSide()) found->second->Stop();
      return 0;
    }
  }
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  if (localFilePlayer != nullptr && localFilePlayer->GetId() == fileId) {
    filePlayback->Stop();
    localFilePlayer->Stop();
    if (!localFilePlayer->IsActive()) {
      localFilePlaying = false;
      delete localFilePlayer;
      localFilePlayer = nullptr;
    }
  }
  return 0;
}

int32_t VoiceEngine::StopSendFile(int32_t fileId) {
  ApiGuard api(*apiLock);
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  auto found = filePlayers->find(fileId);
  if (found != filePlayers->end() && found->second->IsSendSide()) found->second->Stop();
  return 0;
}

int32_t VoiceEngine::StopFiles(bool sentSide) {
  ApiGuard api(*apiLock);
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  for (auto& [id, player] : *filePlayers) {
    if (player->IsActive() && player->IsSendSide() == sentSide) player->Stop();
  }
  return 0;
}

int32_t VoiceEngine::SetFileVolume(int32_t fileId, int32_t level) {
  ApiGuard api(*apiLock);
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  if (localFilePlaying && localFilePlayer != nullptr && localFilePlayer->GetId() == fileId) {
    localFilePlayer->SetLevel(level);
    return 0;
  }
  auto found = filePlayers->find(fileId);
  if (found != filePlayers->end()) found->second->SetLevel(level);
  return 0;
}

int32_t VoiceEngine::CleanupFinishedFiles() {
  ApiGuard api(*apiLock);
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  std::vector<int32_t> filesToDelete;
  for (auto& [id, player] : *filePlayers) {
    if (!player->IsActive()) filesToDelete.push_back(id);
  }
  for (int32_t id : filesToDelete) {
    delete (*filePlayers)[id];
    filePlayers->erase(id);
  }
  if (localFilePlayer != nullptr && !localFilePlayer->IsActive()) {
    delete localFilePlayer;
    localFilePlayer = nullptr;
    localFilePlaying = false;
  }
  return 0;
}

void VoiceEngine::OnLocalFileEnded(int32_t fileId) {
  // Called on a notification thread (or inside a stop on the host thread); filesLock keeps the
  // local player's record consistent with the host's file calls. Never apiLock: a host call
  // holding it may be waiting for this notification to finish (Uninitialize does).
  std::lock_guard<std::recursive_mutex> files(*filesLock);
  if ((localFilePlayer != nullptr && localFilePlayer->GetId() == fileId) || !localFilePlaying) {
    filePlayback->Stop();
    localFilePlaying = false;
  }
}

void VoiceEngine::OnSentFileEnded(int32_t) {}
