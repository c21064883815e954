#include "platform/VirtualPlaybackDevice.h"

#include "platform/VirtualPort.h"
#include "platform/WavPcmWriter.h"

namespace ve::platform {

namespace {

class PlaybackPort : public VirtualPort {
 public:
  PlaybackPort(const WAVEFORMATEX& format, std::shared_ptr<VirtualPlaybackDevice> owner,
               std::unique_ptr<WavPcmWriter> writer)
      : VirtualPort(format, false), owner(owner), writer(std::move(writer)) {}
  ~PlaybackPort() override {
    if (writer != nullptr) {
      writer->Close();
      owner->Release();
    }
  }

 protected:
  void Exchange(uint8_t* data, uint32_t bytes) override {
    if (writer != nullptr) writer->Write(data, bytes);
  }

 private:
  std::shared_ptr<VirtualPlaybackDevice> owner;
  std::unique_ptr<WavPcmWriter> writer;
};

}  // namespace

std::unique_ptr<VirtualPlaybackDevice> VirtualPlaybackDevice::Discard(std::string name) {
  return std::unique_ptr<VirtualPlaybackDevice>(new VirtualPlaybackDevice(std::move(name), ""));
}

std::unique_ptr<VirtualPlaybackDevice> VirtualPlaybackDevice::WavRecorder(std::string name, std::string path) {
  return std::unique_ptr<VirtualPlaybackDevice>(new VirtualPlaybackDevice(std::move(name), std::move(path)));
}

MMRESULT VirtualPlaybackDevice::OpenPlayback(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) {
  if (path.empty()) {
    *port = std::make_unique<PlaybackPort>(format, nullptr, nullptr);
    return MMSYSERR_NOERROR;
  }
  std::lock_guard<std::mutex> guard(mutex);
  if (opened) return MMSYSERR_ALLOCATED;
  auto writer = std::make_unique<WavPcmWriter>();
  if (!writer->Open(path.c_str(), format)) return MMSYSERR_ERROR;
  opened = true;
  *port = std::make_unique<PlaybackPort>(format, shared_from_this(), std::move(writer));
  return MMSYSERR_NOERROR;
}

void VirtualPlaybackDevice::Release() {
  std::lock_guard<std::mutex> guard(mutex);
  opened = false;
}

}  // namespace ve::platform
