#include "support/DeviceSignals.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"

// System headers last: Windows defines as macros names the project headers declare.
#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace ve::test {

SignalSource::SignalSource(std::vector<int16_t> signal, int32_t chunkBytes)
    : signal(std::move(signal)), chunkBytes(chunkBytes) {}

int32_t SignalSource::ProduceSample(AudioSample** out) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX pcm;
  sample->SetFormat(GetStandardFormat(&pcm, kFormatPcm16));
  size_t values = static_cast<size_t>(chunkBytes) / 2;
  if (position < signal.size()) {
    size_t n = std::min(values, signal.size() - position);
    std::memcpy(sample->Data(), signal.data() + position, n * 2);
    sample->SetDataSize(static_cast<int32_t>(n * 2));
    position += n;
  } else {
    sample->SetSilenceMs(static_cast<int32_t>(values / 8));
  }
  *out = sample;
  return 0;
}

int32_t CaptureCollector::TakeNextAudioSample(AudioSample* sample, AudioSinkListener*) {
  if (sample == nullptr) return 0;
  std::lock_guard<std::mutex> guard(mutex);
  ++samples;
  if (sample->DataSize() > 0) {
    size_t n = static_cast<size_t>(sample->DataSize()) / 2;
    size_t at = values.size();
    values.resize(at + n);
    std::memcpy(values.data() + at, sample->Data(), n * 2);
  } else {
    ++gapMarkers;
    values.resize(values.size() + static_cast<size_t>(sample->SilenceMs()) * 8, 0);
  }
  return 0;
}

std::vector<int16_t> CaptureCollector::Values() {
  std::lock_guard<std::mutex> guard(mutex);
  return values;
}

size_t CaptureCollector::Samples() {
  std::lock_guard<std::mutex> guard(mutex);
  return samples;
}

size_t CaptureCollector::GapMarkers() {
  std::lock_guard<std::mutex> guard(mutex);
  return gapMarkers;
}

bool CaptureCollector::WaitForSamples(size_t count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Samples() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

double Rms(const std::vector<int16_t>& values, size_t from, size_t count) {
  if (count == 0 || from + count > values.size()) return 0;
  double sum = 0;
  for (size_t i = from; i < from + count; ++i) sum += static_cast<double>(values[i]) * values[i];
  return std::sqrt(sum / count);
}

bool NoSoundServer(std::string* why) {
  const char* server = std::getenv("PULSE_SERVER");
  if (server != nullptr && *server != '\0') return false;
  *why = "PULSE_SERVER is not set: run scripts/sound-server.sh start and export what it prints";
  return true;
}

#ifdef _WIN32

SoundServerLock::SoundServerLock() {
  std::error_code ignored;
  std::string path = (std::filesystem::temp_directory_path(ignored) / "ve-sound-server.lock").string();
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  handle = file == INVALID_HANDLE_VALUE ? nullptr : file;
  OVERLAPPED whole{};
  if (handle != nullptr) ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole);
}

SoundServerLock::~SoundServerLock() {
  if (handle != nullptr) ::CloseHandle(handle);  // releases the lock
}

#else

SoundServerLock::SoundServerLock() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/ve-sound-server.lock";
  fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) flock(fd, LOCK_EX);
}

SoundServerLock::~SoundServerLock() {
  if (fd >= 0) close(fd);
}

#endif

}  // namespace ve::test

#if defined(__SANITIZE_THREAD__)
// The sound server's client library (loaded through ALSA's plugin) shares memory between its
// own threads in ways ThreadSanitizer cannot see, as it is not instrumented; its reports are
// about that library's internals, not about the engine.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libpulsecommon\n"
         "called_from_lib:libpulse.so\n"
         "race:libpulsecommon\n"
         "race:libpulse.so\n"
         "race:libasound_module_pcm_pulse.so\n";
}
#endif
