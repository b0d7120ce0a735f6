#include "net/telnet.h"

namespace talvo::telnet {

void Escape(const unsigned char* data, std::uint32_t count, std::vector<unsigned char>& out) {
    for (std::uint32_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
    }
}

void ComPortCommand(unsigned char code, const unsigned char* value, std::uint32_t length,
                    std::vector<unsigned char>& out) {
    out.insert(out.end(), {kIac, kSb, kComPort, code});
    Escape(value, length, out);
    out.insert(out.end(), {kIac, kSe});
}

void Decoder::Start(std::vector<unsigned char>& out) {
    *this = Decoder();
    out.insert(out.end(), {kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill,
                           kSuppressGoAhead, kIac, kDo, kSuppressGoAhead});
    // Our own offers count as answered: a server's DO or WILL for them
    // needs no second offer.
    doneWill_[kComPort] = doneWill_[kBinary] = doneWill_[kSuppressGoAhead] = true;
    doneDo_[kBinary] = doneDo_[kSuppressGoAhead] = true;
}

void Decoder::Negotiate(unsigned char verb, unsigned char option, std::vector<unsigned char>& reply) {
    const bool wanted = option == kBinary || option == kSuppressGoAhead || option == kComPort;
    switch (verb) {
        case kDo:
            if (option == kComPort) comPortAccepted = true;
            if (!doneWill_[option]) {
                doneWill_[option] = true;
                reply.insert(reply.end(), {kIac, static_cast<unsigned char>(wanted ? kWill : kWont), option});
            }
            break;
        case kDont:
            if (option == kComPort) comPortRefused = true;
            break;
        case kWill:
            if (!doneDo_[option]) {
                doneDo_[option] = true;
                const bool take = option == kBinary || option == kSuppressGoAhead;
                reply.insert(reply.end(), {kIac, static_cast<unsigned char>(take ? kDo : kDont), option});
            }
            break;
        default:  // WONT: nothing to answer
            break;
    }
}

void Decoder::Subnegotiation() {
    if (sbOverflow_ || sb_.size() < 2 || static_cast<unsigned char>(sb_[0]) != kComPort) return;
    const unsigned code = static_cast<unsigned char>(sb_[1]);
    if (code < kServerOffset || code >= kServerOffset + 32) return;
    std::uint32_t v = 0;
    for (std::size_t i = 2; i < sb_.size() && i < 6; ++i) v = (v << 8) | static_cast<unsigned char>(sb_[i]);
    value[code - kServerOffset] = v;
    answered |= 1u << (code - kServerOffset);
}

std::uint32_t Decoder::Decode(unsigned char* in, std::uint32_t count, std::vector<unsigned char>& reply) {
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char c = in[i];
        switch (state_) {
            case State::kData:
                if (c == kIac) {
                    state_ = State::kCommand;
                } else {
                    in[out++] = c;
                }
                break;
            case State::kCommand:
                if (c == kIac) {
                    in[out++] = c;  // an escaped 0xFF data byte
                    state_ = State::kData;
                } else if (c == kDo || c == kDont || c == kWill || c == kWont) {
                    verb_ = c;
                    state_ = State::kOption;
                } else if (c == kSb) {
                    sb_.clear();
                    sbOverflow_ = false;
                    state_ = State::kSub;
                } else {
                    state_ = State::kData;  // NOP, GA and the like: skipped
                }
                break;
            case State::kOption:
                Negotiate(verb_, c, reply);
                state_ = State::kData;
                break;
            case State::kSub:
                if (c == kIac) {
                    state_ = State::kSubCommand;
                } else if (sb_.size() < 64) {
                    sb_.push_back(static_cast<char>(c));
                } else {
                    sbOverflow_ = true;
                }
                break;
            case State::kSubCommand:
                if (c == kSe) {
                    Subnegotiation();
                    state_ = State::kData;
                } else if (c == kIac) {
                    if (sb_.size() < 64) sb_.push_back(static_cast<char>(c));
                    state_ = State::kSub;
                } else {
                    // A command inside a subnegotiation: the subnegotiation
                    // was cut short; the byte is a command of its own.
                    state_ = State::kCommand;
                    --i;
                }
                break;
        }
    }
    return out;
}

}  // namespace talvo::telnet
