// The desired state's values as the interface takes them: a JSON body's
// "value" for an item, checked and made canonical.
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "manage/desired.h"

using namespace talvo::service;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the item; the rest is the value's JSON text.
    if (size < 1 || size > 64 * 1024) return 0;
    const std::vector<ItemInfo>& items = Items();
    const std::string item = items[data[0] % items.size()].name;
    const json value = json::parse(data + 1, data + size, nullptr, false);
    if (value.is_discarded()) return 0;

    std::string canonical, error;
    const bool good = CanonicalValue(item, value, canonical, error);
    if (!good) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    // The canonical text is JSON, and canonical already: the same value
    // always gives the same text.
    const json parsed = json::parse(canonical, nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded() && parsed.dump() == canonical);
    // What the interface shows of it, given back unchanged, sets the same
    // value (a secret item is shown as {"set": true}: "keep what is stored").
    const json shown = InterfaceValue(item, canonical);
    if (KeepsSecret(item, shown)) return 0;
    std::string back;
    FUZZ_CHECK(CanonicalValue(item, shown, back, error));
    FUZZ_CHECK(back == canonical);
    return 0;
}
