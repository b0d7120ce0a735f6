// The client side of Telnet with the COM port control option (RFC 2217):
// the bytes a request becomes on the wire and the data a stream of
// received bytes holds, with the option's answers picked out of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvo::telnet {

inline constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                               kSe = 240;
inline constexpr unsigned char kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
// Commands of the COM port option, client to server; the server answers
// with the code plus 100.
inline constexpr unsigned char kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                               kPurgeData = 12;
inline constexpr unsigned char kServerOffset = 100;

// Appends `data` to `out` with every 0xFF doubled.
void Escape(const unsigned char* data, std::uint32_t count, std::vector<unsigned char>& out);
// IAC SB COM-PORT-OPTION code value... IAC SE, the value escaped.
void ComPortCommand(unsigned char code, const unsigned char* value, std::uint32_t length,
                    std::vector<unsigned char>& out);

// Splits received bytes into data and Telnet commands; its state carries
// over from one read to the next, so a command may arrive in pieces.
class Decoder {
public:
    // A new connection: forgets all state and appends what the client sends
    // first - it will use the COM port option, and binary transmission with
    // suppressed go-aheads both ways.
    void Start(std::vector<unsigned char>& out);
    // Moves the data bytes of `in` to the front of `in` (in place) and
    // returns their number.  Option requests of the server are answered
    // into `reply`; answers of the COM port option are kept below.
    std::uint32_t Decode(unsigned char* in, std::uint32_t count, std::vector<unsigned char>& reply);

    // The server agreed to the COM port option (DO) or refused it (DONT).
    bool comPortAccepted = false;
    bool comPortRefused = false;
    // The last answer to each COM port command (code without the offset)
    // and its value; `answered` has the codes seen since it was cleared.
    std::uint32_t answered = 0;  // bit per code 0-31
    std::uint32_t value[32] = {};

private:
    void Negotiate(unsigned char verb, unsigned char option, std::vector<unsigned char>& reply);
    void Subnegotiation();

    enum class State : unsigned char { kData, kCommand, kOption, kSub, kSubCommand };
    State state_ = State::kData;
    unsigned char verb_ = 0;
    std::string sb_;
    bool sbOverflow_ = false;
    // Options already answered, so that a server's repeated request is not
    // answered again (which could loop).
    bool doneWill_[256] = {};
    bool doneDo_[256] = {};
};

}  // namespace talvo::telnet
