// A settings file in the private-profile format, parsed once from its text.
// Every lookup answers exactly as GetPrivateProfileStringA and
// GetPrivateProfileIntA answer for a file with that text, so a command can
// take all of its keys from one read of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvo {

class ProfileText {
public:
    ProfileText() = default;
    // `text` is the file's content in the platform's own encoding, after
    // any byte-order mark (see platform::profile::ReadWhole).
    explicit ProfileText(std::string text);

    // The key's value, or `def` (without its trailing spaces) when the key
    // or its section is missing or the key has no '='.  One pair of quotes
    // around the value is dropped; at most `capacity - 1` characters are
    // returned, as for a buffer of `capacity` characters.
    std::string String(std::string_view section, std::string_view key, std::string_view def,
                       std::size_t capacity) const;
    // The key's value as an integer: `def` when the value is missing or
    // empty, else its first 29 characters read as a number (blanks, a sign,
    // a 0x, 0o or 0b prefix, then digits up to the first other character),
    // kept to 32 bits.
    std::uint32_t Int(std::string_view section, std::string_view key, std::uint32_t def) const;

private:
    struct Span {
        std::size_t at = 0;
        std::size_t size = 0;
    };
    struct Key {
        Span name;
        Span value;
        bool hasValue = false;
    };
    struct Section {
        Span name;
        std::size_t firstKey = 0;
        std::size_t keyCount = 0;
    };

    std::string_view View(Span s) const { return std::string_view(text_).substr(s.at, s.size); }
    // The key's value; false when the key, its section or its '=' is missing.
    bool Find(std::string_view section, std::string_view key, std::string_view& value) const;

    std::string text_;
    std::vector<Section> sections_;
    std::vector<Key> keys_;
};

}  // namespace talvo
