#include "EmuOutbox.h"

#include <algorithm>

void EmuOutbox::Emit(std::string bytes, EmuMicros notBefore) {
    if (bytes.empty()) return;
    lastOutput_ = std::max(lastOutput_, notBefore);
    pending_.push_back(EmuOutput{std::move(bytes), notBefore});
}

std::vector<EmuOutput> EmuOutbox::Take() {
    std::vector<EmuOutput> out;
    out.swap(pending_);
    return out;
}

void EmuOutbox::Note(const std::string& text) const {
    if (log_) log_(text);
}
