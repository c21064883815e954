#include "GstPipeline.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <mutex>

namespace ve::test {

namespace {

// GStreamer's C interface, as far as it is used here. Its objects stay opaque; GError is the
// one structure whose fields are read (GLib's: a domain, a code and the message).
struct GError {
  uint32_t domain;
  int code;
  char* message;
};

// Values of GStreamer's enumerations: states, the state-change failure, the error message
// type, and the custom upstream event type (number 270 with the upstream flag). The event
// type is checked against its name when the library loads.
constexpr int kStateNull = 1;
constexpr int kStatePlaying = 4;
constexpr int kStateChangeFailure = 0;
constexpr unsigned kMessageError = 1u << 1;
constexpr int kEventCustomUpstream = (270 << 8) | 1;

struct GstApi {
  int (*initCheck)(int*, char***, GError**) = nullptr;
  void* (*parseLaunch)(const char*, GError**) = nullptr;
  int (*setState)(void*, int) = nullptr;
  void* (*getByName)(void*, const char*) = nullptr;
  void* (*getBus)(void*) = nullptr;
  void* (*popFiltered)(void*, unsigned) = nullptr;
  void (*parseError)(void*, GError**, char**) = nullptr;
  void* (*structureFromString)(const char*) = nullptr;
  void (*freeStructure)(void*) = nullptr;
  void* (*newCustomEvent)(int, void*) = nullptr;
  const char* (*eventTypeName)(int) = nullptr;
  int (*sendEvent)(void*, void*) = nullptr;
  void (*unrefObject)(void*) = nullptr;
  void (*unrefMiniObject)(void*) = nullptr;
  void (*freeError)(GError*) = nullptr;
  void (*freeMemory)(void*) = nullptr;
  std::string loadError;  // empty once everything above is there and GStreamer is initialised
};

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
  *out = reinterpret_cast<Function>(dlsym(library, name));
  return *out != nullptr;
}

// Loads and initialises GStreamer once per process; it stays loaded.
const GstApi& Api() {
  static GstApi api;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = dlopen("libgstreamer-1.0.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
      api.loadError = std::string("cannot load GStreamer: ") + dlerror();
      return;
    }
    // GLib's functions resolve through the library, which depends on GLib.
    const bool resolved =
        Resolve(library, "gst_init_check", &api.initCheck) && Resolve(library, "gst_parse_launch", &api.parseLaunch) &&
        Resolve(library, "gst_element_set_state", &api.setState) &&
        Resolve(library, "gst_bin_get_by_name", &api.getByName) &&
        Resolve(library, "gst_element_get_bus", &api.getBus) &&
        Resolve(library, "gst_bus_pop_filtered", &api.popFiltered) &&
        Resolve(library, "gst_message_parse_error", &api.parseError) &&
        Resolve(library, "gst_structure_new_from_string", &api.structureFromString) &&
        Resolve(library, "gst_structure_free", &api.freeStructure) &&
        Resolve(library, "gst_event_new_custom", &api.newCustomEvent) &&
        Resolve(library, "gst_event_type_get_name", &api.eventTypeName) &&
        Resolve(library, "gst_element_send_event", &api.sendEvent) &&
        Resolve(library, "gst_object_unref", &api.unrefObject) &&
        Resolve(library, "gst_mini_object_unref", &api.unrefMiniObject) &&
        Resolve(library, "g_error_free", &api.freeError) && Resolve(library, "g_free", &api.freeMemory);
    if (!resolved) {
      api.loadError = "GStreamer's library lacks an entry point";
      return;
    }
    GError* error = nullptr;
    if (api.initCheck(nullptr, nullptr, &error) == 0) {
      api.loadError = std::string("GStreamer did not initialise: ") + (error ? error->message : "no reason given");
      if (error != nullptr) api.freeError(error);
      return;
    }
    if (std::strcmp(api.eventTypeName(kEventCustomUpstream), "custom-upstream") != 0) {
      api.loadError = "this GStreamer numbers its event types differently";
    }
  });
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
    return;
  }
  if (made == nullptr) {
    error = "GStreamer made no pipeline";
    return;
  }
  pipeline = made;
}

GstPipeline::~GstPipeline() { Stop(); }

bool GstPipeline::Play() {
  return pipeline != nullptr && Api().setState(pipeline, kStatePlaying) != kStateChangeFailure;
}

bool GstPipeline::SendUpstream(const std::string& sink, const std::string& structure) {
  if (pipeline == nullptr) return false;
  const GstApi& api = Api();
  void* element = api.getByName(pipeline, sink.c_str());
  void* fields = api.structureFromString(structure.c_str());
  bool taken = false;
  if (element != nullptr && fields != nullptr) {
    // The event owns the structure, and sending it takes the event.
    taken = api.sendEvent(element, api.newCustomEvent(kEventCustomUpstream, fields)) != 0;
    fields = nullptr;
  }
  if (fields != nullptr) api.freeStructure(fields);
  if (element != nullptr) api.unrefObject(element);
  return taken;
}

std::string GstPipeline::PostedError() {
  if (pipeline == nullptr) return error;
  const GstApi& api = Api();
  void* bus = api.getBus(pipeline);
  void* message = bus != nullptr ? api.popFiltered(bus, kMessageError) : nullptr;
  std::string text;
  if (message != nullptr) {
    GError* posted = nullptr;
    char* details = nullptr;
    api.parseError(message, &posted, &details);
    text = posted != nullptr ? posted->message : "an element failed";
    if (details != nullptr) text += std::string(" (") + details + ")";
    if (posted != nullptr) api.freeError(posted);
    api.freeMemory(details);
    api.unrefMiniObject(message);
  }
  if (bus != nullptr) api.unrefObject(bus);
  return text;
}

void GstPipeline::Stop() {
  if (pipeline == nullptr) return;
  const GstApi& api = Api();
  api.setState(pipeline, kStateNull);
  api.unrefObject(pipeline);
  pipeline = nullptr;
}

}  // namespace ve::test
