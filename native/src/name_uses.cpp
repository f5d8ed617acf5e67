// The names a module's code reads by literal, noted as the module is loaded
// (see NameUse): what the name check resolves against the host package.
#include <new>
#include <vector>

#include "kelvora/function.hpp"

namespace kelvora {

namespace {

// Made on first use: the notes are taken while the module's static objects are
// initialised, in no particular order.
std::vector<NameUse>& uses() noexcept {
    static std::vector<NameUse> noted;
    return noted;
}

}  // namespace

void note_name_use(const char* global, const char* attribute, std::uint64_t site) noexcept {
    try {
        uses().push_back({global, attribute, site});
    } catch (std::bad_alloc&) {  // a note lost: the check is the poorer, the module unharmed
    }
}

const std::vector<NameUse>& name_uses() noexcept {
    return uses();
}

}  // namespace kelvora
