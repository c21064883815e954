#pragma once

// A GStreamer pipeline run inside the test, for what gst-launch-1.0 cannot do from its command
// line: send events into a running pipeline (rtpdtmfsrc starts and ends a telephone event only
// on an event). The machines carry GStreamer's runtime library, which gst-launch-1.0 uses, but
// not its development headers; the library is loaded when the first pipeline is made and the
// handful of its C entry points used here are declared in GstPipeline.cpp.
//
// Threads: one test thread makes, plays, signals and stops a pipeline; GStreamer's own
// threads run it in between.

#include <string>

namespace ve::test {

class GstPipeline {
 public:
  // Builds the pipeline from a description in gst-launch-1.0's syntax; Error() tells why that
  // failed, empty when it worked.
  explicit GstPipeline(const std::string& description);
  // Stops the pipeline.
  ~GstPipeline();
  GstPipeline(const GstPipeline&) = delete;
  GstPipeline& operator=(const GstPipeline&) = delete;

  const std::string& Error() const { return error; }

  // Sets the pipeline playing; false when it refuses.
  bool Play();
  // Sends a custom upstream event carrying `structure` (GStreamer's structure text, e.g.
  // "dtmf-event, type=(int)1, number=(int)5, volume=(int)10, start=(boolean)true") to the
  // element named `sink`, from where it travels up to the sources. True when one took it.
  bool SendUpstream(const std::string& sink, const std::string& structure);
  // Stops the pipeline and frees its resources (the sockets of its elements included).
  void Stop();

 private:
  void* pipeline = nullptr;
  std::string error;
};

}  // namespace ve::test
