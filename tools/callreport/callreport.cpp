// callreport: compares the speech one side of a call sent with what the other side played.
// Aligns the two by cross-correlation (the mouth-to-ear delay, followed as it moves), measures
// how much of the sent speech arrived and how closely, and draws both waveforms into an SVG
// picture.
//
//   callreport SENT.wav RECEIVED.wav [--equalized] [--svg PICTURE.svg] [--start-offset-ms MS]
//
// --equalized compares with what the sender's send equaliser makes of the sent speech, which
// is what a faithful call delivers; without it the figures include the equaliser's change.
// --start-offset-ms says how much later the recording of RECEIVED started than SENT was
// spoken (the receiver's speaker start minus the sender's microphone start; negative when the
// receiver started first). RECEIVED is then put on the sender's clock, so delay_ms is the
// mouth-to-ear delay even when it is shorter than the offset, and the report adds its median
// and maximum over the call's speech.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/SpeechComparison.h"
#include "platform/WavPcmReader.h"

namespace {

constexpr int kRate = 8000;
constexpr int kMaxDelayMs = 2000;

// Mono 16-bit 8 kHz audio of a WAV file (channels averaged); false when unreadable.
bool Load(const char* path, std::vector<int16_t>* out) {
  ve::platform::WavPcmReader::Audio audio;
  if (ve::platform::WavPcmReader::ReadFile(path, &audio) != 0 || audio.channels == 0) return false;
  if (audio.sampleRate != kRate) {
    std::fprintf(stderr, "callreport: %s is %u Hz; expected %d Hz\n", path, audio.sampleRate, kRate);
    return false;
  }
  out->clear();
  for (size_t i = 0; i + audio.channels <= audio.samples.size(); i += audio.channels) {
    int sum = 0;
    for (int c = 0; c < audio.channels; ++c) sum += audio.samples[i + c];
    out->push_back(static_cast<int16_t>(sum / audio.channels));
  }
  return true;
}

// One polyline of min/max pairs per pixel column.
std::string Waveform(const std::vector<int16_t>& x, size_t from, size_t count, int width, int top, int height,
                     const char* colour) {
  std::string points;
  for (int column = 0; column < width; ++column) {
    size_t begin = from + count * column / width;
    size_t end = std::min(x.size(), from + count * (column + 1) / width);
    int lo = 0, hi = 0;
    for (size_t i = begin; i < end; ++i) {
      lo = std::min<int>(lo, x[i]);
      hi = std::max<int>(hi, x[i]);
    }
    double mid = top + height / 2.0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d,%.1f %d,%.1f ", column, mid - hi * (height / 2.0) / 32768.0, column,
                  mid - lo * (height / 2.0) / 32768.0);
    points += buf;
  }
  return "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"1\" points=\"" + points +
         "\"/>\n";
}

bool WriteSvg(const char* path, const std::vector<int16_t>& sent, const std::vector<int16_t>& received, int lag) {
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  const int width = 1200, lane = 160;
  size_t count = sent.size();
  std::fprintf(file, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", width, 2 * lane + 60);
  std::fprintf(file, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
  std::fprintf(file, "<text x=\"4\" y=\"16\" font-family=\"sans-serif\" font-size=\"13\">sent</text>\n");
  std::fputs(Waveform(sent, 0, count, width, 20, lane, "#1f5fbf").c_str(), file);
  std::fprintf(file,
               "<text x=\"4\" y=\"%d\" font-family=\"sans-serif\" font-size=\"13\">received (shifted back by %.0f ms)"
               "</text>\n",
               lane + 46, lag * 1000.0 / kRate);
  std::vector<int16_t> aligned(count, 0);
  for (size_t i = 0; i < count && i + lag < received.size(); ++i) aligned[i] = received[i + lag];
  std::fputs(Waveform(aligned, 0, count, width, lane + 50, lane, "#bf3f1f").c_str(), file);
  std::fprintf(file, "</svg>\n");
  std::fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* svgPath = nullptr;
  bool equalized = false;
  double startOffsetMs = 0;
  bool haveOffset = false;
  bool usable = argc >= 3;
  for (int i = 3; usable && i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--svg" && i + 1 < argc) {
      svgPath = argv[++i];
    } else if (option == "--equalized") {
      equalized = true;
    } else if (option == "--start-offset-ms" && i + 1 < argc) {
      char* end = nullptr;
      startOffsetMs = std::strtod(argv[++i], &end);
      haveOffset = end != argv[i] && *end == '\0';
      usable = haveOffset;
    } else {
      usable = false;
    }
  }
  if (!usable) {
    std::fprintf(stderr, "usage: callreport SENT.wav RECEIVED.wav [--equalized] [--svg PICTURE.svg] "
                         "[--start-offset-ms MS]\n");
    return 2;
  }
  std::vector<int16_t> sent, received;
  if (!Load(argv[1], &sent)) return std::fprintf(stderr, "callreport: cannot read %s\n", argv[1]), 1;
  if (!Load(argv[2], &received)) return std::fprintf(stderr, "callreport: cannot read %s\n", argv[2]), 1;
  if (equalized) sent = ve::analysis::SendEqualized(sent);
  if (haveOffset) received = ve::analysis::OnReferenceClock(received, startOffsetMs, kRate);

  const ve::analysis::SpeechArrival a = ve::analysis::CompareSpeech(sent, received, kMaxDelayMs);
  std::printf("delay_ms=%.1f delay_changes=%d correlation=%.3f segmental_snr_db=%.1f speech_frames=%zu arrived=%zu "
              "missing_pct=%.1f\n",
              a.delayMs, a.delayChanges, a.correlation, a.segmentalSnr, a.speechFrames,
              a.speechFrames - a.missingFrames, 100.0 * (a.speechFrames ? a.missingShare : 0.0));
  // Without the offset the lag includes the time between the two recordings' starts.
  if (haveOffset && a.medianDelayMs > 0) {
    std::printf("mouth_to_ear_median_ms=%.0f mouth_to_ear_max_ms=%.0f\n", a.medianDelayMs, a.maxDelayMs);
  }
  const int lag = static_cast<int>(a.delayMs * kRate / 1000.0 + 0.5);
  if (svgPath != nullptr && !WriteSvg(svgPath, sent, received, lag)) {
    std::fprintf(stderr, "callreport: cannot write %s\n", svgPath);
    return 1;
  }
  return 0;
}
