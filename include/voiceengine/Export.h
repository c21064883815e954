#pragma once

// VOICEENGINE_API marks what the shared engine library exports: the VoiceEngine class and the
// operations of the voiceengine namespace. Everything else in the library is hidden. The
// Windows library exports the class by ordinal through its module-definition file instead.
// VOICEENGINE_LOCAL keeps a private member of an exported class out of the export table.
#if defined(_WIN32)
#define VOICEENGINE_API
#define VOICEENGINE_LOCAL
#else
#define VOICEENGINE_API __attribute__((visibility("default")))
#define VOICEENGINE_LOCAL __attribute__((visibility("hidden")))
#endif
