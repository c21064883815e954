#include "platform/CriticalSection.h"

#include "platform/win32/WindowsHeaders.h"

namespace ve::platform {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection), "storage holds the system's lock");

namespace {
CRITICAL_SECTION* Native(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

CriticalSection::CriticalSection() { ::InitializeCriticalSection(Native(storage)); }

CriticalSection::~CriticalSection() { ::DeleteCriticalSection(Native(storage)); }

void CriticalSection::lock() { ::EnterCriticalSection(Native(storage)); }

void CriticalSection::unlock() { ::LeaveCriticalSection(Native(storage)); }

bool CriticalSection::try_lock() { return ::TryEnterCriticalSection(Native(storage)) != 0; }

}  // namespace ve::platform
