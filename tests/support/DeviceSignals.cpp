#include "support/DeviceSignals.h"

#include <cmath>
#include <cstdlib>

namespace ve::test {

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

}  // namespace ve::test
