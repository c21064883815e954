#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "voiceengine/Export.h"

/// @file
/// The engine class a host drives: one object per call endpoint, with the 34 operations that
/// every host reaches, on Linux and through the Windows library alike.
///
/// Threads: the host may call from any thread. The operations that build, start and stop the
/// chains, or read or change what they share, take the engine's API lock (recursive); file
/// operations take the files lock after it. The engine's own threads (capture, network
/// receive, playback, file sources, end-of-file notices) run behind these calls; an
/// end-of-file notice takes only the files lock, so a host call that waits for one while
/// holding the API lock cannot deadlock.

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

/// One call endpoint. The host does its own signalling and owns two bound UDP sockets (RTP and
/// RTCP); it hands them over with SetSockets, names the remote party with SetRemote, chooses a
/// codec, and starts and stops the two directions of a call. Files play locally or into the
/// call. Results are 0 for success and negative codes for failures; the engine makes no
/// callbacks.
///
/// A typical call (the page "Embedding the engine" shows the whole picture):
/// @code
///   VoiceEngine engine;
///   engine.Initialize();
///   engine.SetSockets(rtpSocket, rtcpSocket);
///   engine.SetRemote("192.0.2.7", 4000, 4001);
///   engine.SetCodec(2);                      // 0 G.711, 1 G.723, 2 G.729
///   engine.ConfigureReceive(0, 0, 0, 0);
///   engine.ConfigureSend(0, 0, 0, 0, 0, 0);
///   engine.SetCaptureVolume(0, 100);         // the input level starts at 0 (muted)
///   engine.StartReceiving(-1);               // -1: the default device
///   engine.StartSending(-1);
///   // ... the call ...
///   engine.StopSending();
///   engine.StopReceiving();
/// @endcode
///
/// **Threads.** The host may call from any thread. The operations that build, start and stop
/// the chains, or read or change what they share, take the engine's API lock (recursive: an
/// operation may call another); file operations take the files lock, after the API lock when
/// they take both. The operations whose note says "no lock" touch nothing the others share.
/// The engine's own threads (capture, network receive, RTCP, playback, file
/// sources, end-of-file notices) run behind these calls; a stop returns once the threads of
/// its direction have ended.
///
/// Every operation except the constructor, the destructor, Initialize, Uninitialize,
/// CanOpenCapture, CanOpenPlayback and the reserved ones needs an initialised engine.
///
/// Devices are the ids of voiceengine::ListDevices() passed as int32_t; -1
/// (voiceengine::kDefaultDevice) is the system's default device.
class VOICEENGINE_API VoiceEngine {
 public:
  /// An engine that is not initialised yet. No lock; does not fail.
  VoiceEngine();
  /// Uninitialises the engine if the host has not.
  ~VoiceEngine();
  VoiceEngine(const VoiceEngine&) = delete;
  VoiceEngine& operator=(const VoiceEngine&) = delete;

  /// Deletes the encoder and decoder filters made so far. Used by Uninitialize; a host calls it
  /// only with both directions stopped. Takes the API lock.
  void DeleteCodecs();
  /// Called on an engine notification thread when a local play of file @p fileId has ended by
  /// itself; closes the file playback device. Takes the files lock. Hosts do not call it.
  /// @param fileId the id PlayFile gave.
  void OnLocalFileEnded(int32_t fileId);
  /// Called on an engine notification thread when a file played into the call has ended by
  /// itself; does nothing. Hosts do not call it.
  /// @param fileId the id SendFile gave.
  void OnSentFileEnded(int32_t fileId);
  /// The decoder filter of the current codec, or null when it has none yet. Internal; takes the
  /// API lock.
  /// @return the filter, owned by the engine.
  ve::AudioFilter* GetDecoder();
  /// The encoder filter of the current codec, or null when it has none yet. Internal; takes the
  /// API lock.
  /// @return the filter, owned by the engine.
  ve::AudioFilter* GetEncoder();
  /// Makes the encoder and decoder filters of a codec if they do not exist yet. Takes the API
  /// lock.
  /// @param codecType 0 G.711, 1 G.723, 2 G.729; other values make nothing.
  void CreateCodecs(int32_t codecType);
  /// Creates the engine's components (G.729 is the codec until SetCodec). Calling it again on
  /// an initialised engine does nothing. Takes the API lock.
  /// @return 0.
  int32_t Initialize();
  /// Whether the default capture device opens for 8 kHz 16-bit mono audio (it is opened and
  /// closed again). Needs no initialised engine; no lock.
  /// @return true when it opened.
  bool CanOpenCapture();
  /// Deletes the file players whose files have ended or were stopped. PlayFile and SendFile
  /// call it first. Takes the API lock, then the files lock.
  /// @return 0.
  int32_t CleanupFinishedFiles();
  /// Chooses the call's codec for both directions. Directions that are running restart on the
  /// new codec, as ConfigureSend and ConfigureReceive do; stopped ones use it when they start.
  /// Takes the API lock.
  /// @param codecType 0 G.711 (A-law unless voiceengine::SetG711Law asks for u-law), 1 G.723
  ///        (a slot that sends nothing and plays silence), 2 G.729.
  /// @return 0; -10 when a running direction did not stop (the codec is then unchanged); -20
  ///         when a direction did not start again on the new codec.
  int32_t SetCodec(int32_t codecType);
  /// Applies the codec to the receive direction and records the settings; a running receive
  /// direction restarts when @p kind changes (or when kind 9 comes with another @p option2).
  /// Takes the API lock.
  /// @param kind a host's kind of receive configuration, recorded; 0 is usual.
  /// @param frameMs packet length in ms for a codec without a fixed one (G.711 and G.723 use
  ///        20 ms, G.729 50 ms).
  /// @param option1 recorded.
  /// @param option2 recorded.
  /// @return 0; -10 when stopping the running direction failed; -20 when restarting it failed.
  int32_t ConfigureReceive(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2);
  /// Applies the codec to the send direction; a running send direction stops and starts again
  /// on it. Takes the API lock.
  /// @param kind recorded.
  /// @param frameMs packet length in ms for a codec without a fixed one (G.711 and G.723 use
  ///        20 ms, G.729 50 ms).
  /// @param option1 recorded.
  /// @param option2 ignored: silence suppression stays off.
  /// @param port recorded.
  /// @param option3 recorded.
  /// @return 0; -10 when stopping the running direction failed; -20 when restarting it failed.
  int32_t ConfigureSend(int32_t kind, int32_t frameMs, int32_t option1, int32_t option2, uint16_t port,
                        int32_t option3);
  /// Names the remote party. RTP and RTCP go there, and only packets from there are heard
  /// (see voiceengine::SetStrictSourceCheck). Another remote starts a new stream. Takes the API
  /// lock.
  /// @param host dotted IPv4 address, at most kMaxHostLength characters.
  /// @param rtpPort the remote's RTP port.
  /// @param rtcpPort the remote's RTCP port; 0 sends no RTCP.
  /// @return 0; -10 for a null host, one that is too long or not an IPv4 address.
  int32_t SetRemote(const char* host, uint16_t rtpPort, uint16_t rtcpPort);
  /// Records the local receive port; a running receive direction restarts when it changes. The
  /// host's sockets (SetSockets) decide where packets arrive. Takes the API lock.
  /// @param port the local RTP port.
  /// @return 0; -10 / -20 / -30 when stopping, changing the port or restarting failed.
  int32_t SetLocalReceivePort(uint16_t port);
  /// Hands over the host's bound UDP sockets; the host keeps owning them and closes them after
  /// Uninitialize. Call it while both directions are stopped. Takes the API lock.
  /// @param rtpSocket the RTP socket (a socket descriptor, or a SOCKET on Windows).
  /// @param rtcpSocket the RTCP socket.
  /// @return @p rtpSocket; -1 when either value is not above 0.
  int32_t SetSockets(int32_t rtpSocket, int32_t rtcpSocket);
  /// Changes the level of a playing file; an unknown id is ignored. Takes the API lock, then
  /// the files lock.
  /// @param fileId the id PlayFile or SendFile gave.
  /// @param level 0..100 (100: the file as it is).
  /// @return 0.
  int32_t SetFileVolume(int32_t fileId, int32_t level);
  /// Sets the microphone level of the call; it starts at 0 (muted). Takes the API lock.
  /// @param unused ignored.
  /// @param level 0..100; negative values count as 0.
  /// @return 0.
  int32_t SetCaptureVolume(int32_t unused, int32_t level);
  /// Sets the volume of the call's speaker or of the local file playback, whichever runs on
  /// @p device; other devices are ignored. Takes the API lock, then the files lock.
  /// @param device a device id, -1 for the default.
  /// @param level 0..100; negative values count as 0.
  /// @return 0, or the device's failure code.
  int32_t SetPlaybackVolume(int32_t device, int32_t level);
  /// Reserved; does nothing.
  /// @param unused ignored.
  /// @return 0.
  int32_t Reserved1020(int32_t unused);
  /// Whether the default playback device opens for 8 kHz 16-bit mono audio; tries again once
  /// after 2 s. Needs no initialised engine; no lock.
  /// @return true when it opened.
  bool CanOpenPlayback();
  /// Reserved; does nothing.
  /// @return 0.
  int32_t Reserved1022();
  /// Reserved; does nothing.
  /// @return 0.
  int32_t Reserved1023();
  /// Plays a WAV file locally. On the call's speaker device while receiving it is mixed into
  /// what the user hears; on another device it plays through the file playback device (one
  /// such play at a time: a new one stops the old). Any common WAV format is converted. Takes
  /// the API lock, then the files lock.
  /// @param filename path of the WAV file.
  /// @param playOnce 1 plays once, 0 loops until StopPlayFile.
  /// @param device a device id, -1 for the default.
  /// @param level 0..100.
  /// @param fileId receives the play's id (0 on failure); may be null.
  /// @return 0; -10 when the file cannot be opened for the call's speaker; -20 when it cannot
  ///         be opened for the file playback device.
  int32_t PlayFile(const char* filename, int32_t playOnce, int32_t device, int32_t level, int32_t* fileId);
  /// Mixes a WAV file into what the other side hears. Does nothing while not sending. Takes
  /// the API lock, then the files lock.
  /// @param filename path of the WAV file.
  /// @param playOnce 1 plays once, 0 loops until StopSendFile.
  /// @param level 0..100.
  /// @param fileId receives the play's id; may be null.
  /// @return 0; -10 when the file cannot be opened.
  int32_t SendFile(const char* filename, int32_t playOnce, int32_t level, int32_t* fileId);
  /// Starts the receive direction: packets from the remote are played on @p device. Does
  /// nothing while receiving. Takes the API lock.
  /// @param device a playback device id, -1 for the default.
  /// @return 0; -10 no decoder for the codec or it failed to prepare; -20 / -40 the playout or
  ///         the level stage failed to prepare; -80 the device did not start; -90 the network
  ///         receive did not start.
  int32_t StartReceiving(int32_t device);
  /// Starts the send direction: audio of @p device is coded and sent to the remote. Does
  /// nothing while sending. Takes the API lock.
  /// @param device a capture device id, -1 for the default.
  /// @return 0; -10 the RTP sender did not open; -20 no encoder or it failed to prepare; -30
  ///         the mixing or framing stage failed to prepare; -40 voice activity detection failed
  ///         to prepare; -60 the device did not start.
  int32_t StartSending(int32_t device);
  /// Stops every playing file of one side of the call. Takes the API lock, then the files lock.
  /// @param sentSide true: the files sent into the call; false: the ones mixed into what the
  ///        user hears.
  /// @return 0.
  int32_t StopFiles(bool sentSide);
  /// Reserved; does nothing.
  /// @return 0.
  int32_t Reserved1029();
  /// Reserved; does nothing.
  /// @return 0.
  int32_t Reserved1030();
  /// Stops a local play; an unknown id is ignored. Takes the API lock, then the files lock.
  /// @param fileId the id PlayFile gave.
  /// @return 0.
  int32_t StopPlayFile(int32_t fileId);
  /// Stops a file sent into the call; an unknown id is ignored. Takes the API lock, then the
  /// files lock.
  /// @param fileId the id SendFile gave.
  /// @return 0.
  int32_t StopSendFile(int32_t fileId);
  /// Stops the receive direction and the files mixed into it; returns once its threads have
  /// ended. Does nothing while not receiving. Takes the API lock.
  /// @return 0; -10 when a step failed (the direction counts as running).
  int32_t StopReceiving();
  /// Stops the send direction and the files sent into it; returns once its threads have ended.
  /// Does nothing while not sending. Takes the API lock.
  /// @return 0; -10 when a step failed (the direction counts as running).
  int32_t StopSending();
  /// Stops both directions and every file, deletes the components and waits for the engine's
  /// threads; the engine can be initialised again. Does nothing when not initialised. Takes
  /// the API lock.
  /// @return 0.
  int32_t Uninitialize();

  /// The longest remote host text SetRemote accepts.
  static constexpr int32_t kMaxHostLength = 51;

 private:
  friend struct voiceengine::EngineAccess;

  struct Settings {
    int32_t kind = -1;
    int32_t frameMs = -1;
    int32_t option1 = -1;
    int32_t option2 = -1;
  };

  VOICEENGINE_LOCAL void LinkSendChain(bool link);
  // Coder, law and device block of a direction from the codec chosen last.
  VOICEENGINE_LOCAL void ApplySendCodec();
  VOICEENGINE_LOCAL void ApplyReceiveCodec();
  // A play into the call (through a mixer of one direction), entered in filePlayers and
  // started. Throws Exception -10 when the file cannot be opened.
  VOICEENGINE_LOCAL void StartCallFilePlayer(const char* filename, ve::AudioSink* output, int32_t frameMs,
                                             bool sendSide, int32_t playOnce, int32_t level, int32_t* fileId);
  VOICEENGINE_LOCAL void UnprepareReceiveStages();
  // Opens the file and starts the play with its loop, level and output format; false when the
  // file does not open or cannot be converted.
  VOICEENGINE_LOCAL bool OpenAndPlay(ve::FilePlayer* player, const char* filename, int32_t playOnce, int32_t level);
  // An id for a new play that no play of any engine in the process has had (filesLock held).
  VOICEENGINE_LOCAL int32_t NewFileId();

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
