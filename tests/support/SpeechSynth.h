#pragma once

// Speech test material made at run time: espeak-ng speaks a text, sox turns it into 8 kHz mono
// 16-bit PCM. Nothing is stored in the repository; the files live in a temporary directory
// only while one utterance is made. Windows programs cannot run the tools: their build speaks
// the sentences of SpeechSentences.h in the voices the Windows tests use beforehand, and only
// those can be had there.

#include <cstdint>
#include <string>
#include <vector>

namespace ve::test {

// Whether espeak-ng and sox can be run (Windows: whether the build's speech files exist).
bool SpeechToolsAvailable();

// `text` spoken by espeak-ng voice `voice` (e.g. "en-us", "en-gb+f3", "de+m3") at `wordsPerMinute`,
// as 8 kHz mono samples. Empty when the tools fail.
std::vector<int16_t> SynthesizeSpeech(const std::string& text, const std::string& voice,
                                      int wordsPerMinute = 160);

// A few sentences by one voice with `pauseMs` of silence before, between and after them,
// cut or padded to `seconds`. Results are cached per voice for the life of the process.
std::vector<int16_t> SpeechWithPauses(const std::string& voice, double seconds, int pauseMs = 300);

}  // namespace ve::test
