#pragma once
// What every fuzz target shares: the input as text, and the one rule they
// all check — bad input may end in the system's own exception (a clear
// message), never in anything else. Any other exception escapes and aborts,
// which libFuzzer and the replay both report as a finding.

#include "core/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

inline std::string Text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Runs action; a refusal with the system's own message is a normal outcome.
template <typename Action> bool Refused(Action&& action) {
    try {
        action();
        return false;
    } catch (const Exception&) {
        return true;
    }
}

// Takes option bytes off the front of an input; answers 0 once it is used up.
class TInputPrefix {
  public:
    TInputPrefix(const uint8_t*& data, size_t& size) : FData(data), FSize(size) {}
    uint8_t Byte() {
        if (FSize == 0) return 0;
        --FSize;
        return *FData++;
    }

  private:
    const uint8_t*& FData;
    size_t& FSize;
};

} // namespace fuzz
