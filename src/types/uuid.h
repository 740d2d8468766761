// Version-4 UUID texts from operating-system random bytes.
#pragma once

#include <string>

namespace zembrel::types {

// 36 characters: 32 lower-case hex digits in groups 8-4-4-4-12, version
// nibble 4, variant bits 10. Ends the process with "could not retrieve random
// bytes for uuid: {}" when getentropy fails. Thread-safe.
std::string new_uuid();

}  // namespace zembrel::types
