#include <cstring>

#include "commands/families.h"

namespace talvo::family {

AmountText AmountText::FromFloat(float value) {
    AmountText a;
    EncodeAmount(a.chars, 0, value == 0.0f ? 0.0f : value);
    return a;
}

AmountText AmountText::FromCents(std::int32_t cents) {
    AmountText a;
    EncodeCents(a.chars, 0, cents);
    return a;
}

}  // namespace talvo::family
