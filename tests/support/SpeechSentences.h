#pragma once

// The sentences of the test speech. The Windows build speaks them on the build machine
// (tests/SpeechFiles.cmake reads this file): keep one double-quoted sentence per line.

namespace ve::test {

inline constexpr const char* kSpeechSentences[] = {
    "The quick brown fox jumps over the lazy dog.",
    "Please call me back at seven thirty this evening.",
    "She sells sea shells by the sea shore, while a thousand voices sing.",
    "How much wood would a woodchuck chuck?",
};

}  // namespace ve::test
