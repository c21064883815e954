#include "GstPipeline.h"

#include <dlfcn.h>

#include <cstdint>

namespace ve::test {

namespace {

// GStreamer's C interface, as far as it is used here. Its objects stay opaque; GError is the
// one structure whose fields are read (GLib's: a domain, a code and the message).
struct GError {
  uint32_t domain;
  int code;
  char* message;
};

// Values of GStreamer's enumerations: states, the state-change failure and the custom upstream
// event type (number 270 with the upstream flag).
constexpr int kStateNull = 1;
constexpr int kStatePlaying = 4;
constexpr int kStateChangeFailure = 0;
constexpr int kEventCustomUpstream = (270 << 8) | 1;

struct GstApi {
  int (*initCheck)(int*, char***, GError**) = nullptr;
  void* (*parseLaunch)(const char*, GError**) = nullptr;
  int (*setState)(void*, int) = nullptr;
  void* (*getByName)(void*, const char*) = nullptr;
  void* (*structureFromString)(const char*) = nullptr;
  void* (*newCustomEvent)(int, void*) = nullptr;
  int (*sendEvent)(void*, void*) = nullptr;
  void (*unrefObject)(void*) = nullptr;
  void (*freeError)(GError*) = nullptr;
  std::string loadError;  // empty once everything above is there and GStreamer is initialised
};

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  *out = reinterpret_cast<Function>(dlsym(library, name));
  return *out != nullptr;
}

GstApi Load() {
  GstApi api;
  void* library = dlopen("libgstreamer-1.0.so.0", RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) {
    api.loadError = std::string("cannot load GStreamer: ") + dlerror();
    return api;
  }
  // GLib's functions resolve through the library, which depends on GLib.
  if (!Resolve(library, "gst_init_check", &api.initCheck) || !Resolve(library, "gst_parse_launch", &api.parseLaunch) ||
      !Resolve(library, "gst_element_set_state", &api.setState) ||
      !Resolve(library, "gst_bin_get_by_name", &api.getByName) ||
      !Resolve(library, "gst_structure_new_from_string", &api.structureFromString) ||
      !Resolve(library, "gst_event_new_custom", &api.newCustomEvent) ||
      !Resolve(library, "gst_element_send_event", &api.sendEvent) ||
      !Resolve(library, "gst_object_unref", &api.unrefObject) || !Resolve(library, "g_error_free", &api.freeError)) {
    api.loadError = "GStreamer's library lacks an entry point";
    return api;
  }
  GError* error = nullptr;
  if (api.initCheck(nullptr, nullptr, &error) == 0) {
    api.loadError = std::string("GStreamer did not initialise: ") + (error ? error->message : "no reason given");
    if (error != nullptr) api.freeError(error);
  }
  return api;
}

// GStreamer, loaded and initialised once per process; it stays loaded.
const GstApi& Api() {
  static const GstApi api = Load();
  return api;
}

}  // namespace

GstPipeline::GstPipeline(const std::string& description) {
  const GstApi& api = Api();
  if (!api.loadError.empty()) {
    error = api.loadError;
    return;
  }
  GError* parseError = nullptr;
  void* made = api.parseLaunch(description.c_str(), &parseError);
  if (parseError != nullptr) {
    // A description that names a missing element or property still gives a pipeline, with
    // the error beside it.
    error = std::string("GStreamer refused the pipeline: ") + parseError->message;
    api.freeError(parseError);
    if (made != nullptr) api.unrefObject(made);
  } else if (made == nullptr) {
    error = "GStreamer made no pipeline";
  } else {
    pipeline = made;
  }
}

GstPipeline::~GstPipeline() { Stop(); }

bool GstPipeline::Play() {
  return pipeline != nullptr && Api().setState(pipeline, kStatePlaying) != kStateChangeFailure;
}

bool GstPipeline::SendUpstream(const std::string& sink, const std::string& structure) {
  const GstApi& api = Api();
  void* element = pipeline != nullptr ? api.getByName(pipeline, sink.c_str()) : nullptr;
  if (element == nullptr) return false;
  // The event owns the structure, and sending it takes the event.
  const bool taken =
      api.sendEvent(element, api.newCustomEvent(kEventCustomUpstream, api.structureFromString(structure.c_str()))) != 0;
  api.unrefObject(element);
  return taken;
}

void GstPipeline::Stop() {
  if (pipeline == nullptr) return;
  Api().setState(pipeline, kStateNull);
  Api().unrefObject(pipeline);
  pipeline = nullptr;
}

}  // namespace ve::test
