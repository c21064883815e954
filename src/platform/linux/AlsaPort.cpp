#include "platform/linux/AlsaPort.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/AlsaBackend.h"
#include "platform/linux/AlsaMixer.h"

namespace ve::platform {

namespace {

constexpr unsigned kPeriodUs = 10000;
// The playback ring holds little more than the owner's own queue needs: what it holds is delay
// the listener hears. The owner's queue grows when the device runs dry.
constexpr unsigned kPlaybackBufferUs = 60000;
constexpr unsigned kCaptureBufferUs = 500000;
// A device that gives no sign of life for this long is reported as failed to the stream,
// which then paces itself.
constexpr int kPollTimeoutMs = 2000;

int Configure(snd_pcm_t* pcm, bool capture, const WAVEFORMATEX& format) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  int err = snd_pcm_hw_params_any(pcm, hw);
  if (err < 0) return err;
  snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) return err;
  snd_pcm_format_t sampleFormat = format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  if ((err = snd_pcm_hw_params_set_format(pcm, hw, sampleFormat)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_channels(pcm, hw, format.nChannels)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_rate(pcm, hw, format.nSamplesPerSec, 0)) < 0) return err;
  unsigned period = kPeriodUs;
  int dir = 0;
  snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, &dir);
  unsigned buffer = capture ? kCaptureBufferUs : kPlaybackBufferUs;
  dir = 0;
  snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer, &dir);
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) return err;

  snd_pcm_uframes_t periodFrames = 0;
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0) return err;
  snd_pcm_sw_params_set_avail_min(pcm, sw, periodFrames);
  // Playback starts once two periods are there, so the first buffers do not underrun.
  snd_pcm_sw_params_set_start_threshold(pcm, sw, capture ? 1 : std::min(bufferFrames, 2 * periodFrames));
  return snd_pcm_sw_params(pcm, sw);
}

}  // namespace

AlsaPort::AlsaPort(snd_pcm_t* pcm, bool capture, const WAVEFORMATEX& format, int wakeFd)
    : pcm(pcm), capture(capture), format(format), wakeFd(wakeFd) {
  snd_pcm_info_t* info;
  snd_pcm_info_alloca(&info);
  if (snd_pcm_info(pcm, info) >= 0) card = snd_pcm_info_get_card(info);
  int count = snd_pcm_poll_descriptors_count(pcm);
  fds.resize(static_cast<size_t>(count > 0 ? count : 0) + 1);
  fds[0] = pollfd{wakeFd, POLLIN, 0};
  if (count > 0) snd_pcm_poll_descriptors(pcm, fds.data() + 1, static_cast<unsigned>(count));
}

AlsaPort::~AlsaPort() {
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  close(wakeFd);
}

MMRESULT AlsaPort::Open(const std::string& deviceName, bool capture, const WAVEFORMATEX& format,
                        std::unique_ptr<WavePort>* port) {
  AlsaBackend::SilenceErrors();
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, deviceName.c_str(), capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0) return err == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_NODRIVER;
  if (Configure(pcm, capture, format) < 0) {
    snd_pcm_close(pcm);
    return WAVERR_BADFORMAT;
  }
  int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    snd_pcm_close(pcm);
    return MMSYSERR_NOMEM;
  }
  port->reset(new AlsaPort(pcm, capture, format, wakeFd));
  return MMSYSERR_NOERROR;
}

int32_t AlsaPort::Start() {
  snd_pcm_state_t state = snd_pcm_state(pcm);
  if (state == SND_PCM_STATE_SETUP || state == SND_PCM_STATE_XRUN) snd_pcm_prepare(pcm);
  if (capture && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) return snd_pcm_start(pcm);
  return 0;
}

AlsaPort::Wait AlsaPort::WaitReady() {
  for (;;) {
    for (pollfd& fd : fds) fd.revents = 0;
    int n = poll(fds.data(), fds.size(), kPollTimeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Wait::kFailed;
    // The eventfd stays readable until Stop drains it, so every later wait ends too.
    if (fds[0].revents & POLLIN) return Wait::kInterrupted;
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), &revents);
    if (revents & (POLLERR | POLLIN | POLLOUT)) return Wait::kReady;
    // Some plugins keep their descriptor readable after an xrun and report it only through
    // the stream state: let the transfer meet the error instead of polling again at once.
    if (snd_pcm_avail_update(pcm) < 0) return Wait::kReady;
  }
}

bool AlsaPort::Recover(int error) {
  if (error == -EPIPE) ++xruns;
  if (snd_pcm_recover(pcm, error, 1) < 0) return false;
  if (capture && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) return snd_pcm_start(pcm) >= 0;
  return true;
}

int32_t AlsaPort::Transfer(uint8_t* data, uint32_t bytes) {
  const uint32_t frameBytes = format.nBlockAlign;
  const snd_pcm_uframes_t total = bytes / frameBytes;
  snd_pcm_uframes_t done = 0;
  while (done < total) {
    uint8_t* at = data + done * frameBytes;
    snd_pcm_sframes_t r = capture ? snd_pcm_readi(pcm, at, total - done) : snd_pcm_writei(pcm, at, total - done);
    if (r > 0) {
      done += static_cast<snd_pcm_uframes_t>(r);
      continue;
    }
    if (r == -EAGAIN || r == 0) {
      Wait wait = WaitReady();
      if (wait == Wait::kInterrupted) return static_cast<int32_t>(done * frameBytes);
      if (wait == Wait::kFailed) return done > 0 ? static_cast<int32_t>(done * frameBytes) : -ETIMEDOUT;
      continue;
    }
    // An xrun costs the audio it lost; a device that cannot be recovered is reported.
    if ((r == -EPIPE || r == -ESTRPIPE || r == -EINTR) && Recover(static_cast<int>(r))) continue;
    return static_cast<int32_t>(r);
  }
  return static_cast<int32_t>(bytes);
}

void AlsaPort::Interrupt() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t w = write(wakeFd, &one, sizeof one);
}

void AlsaPort::Stop() {
  snd_pcm_drop(pcm);
  uint64_t pending;
  [[maybe_unused]] ssize_t r = read(wakeFd, &pending, sizeof pending);
}

DeviceCounters AlsaPort::Counters() const {
  DeviceCounters counters;
  (capture ? counters.overruns : counters.underruns) = xruns;
  return counters;
}

std::unique_ptr<Mixer> AlsaPort::OpenHardwareMixer() {
  // Devices without a card of their own (sound servers) get the stream's software gain.
  if (!capture || card < 0) return nullptr;
  return AlsaMixer::OpenCaptureMixer(card);
}

}  // namespace ve::platform
