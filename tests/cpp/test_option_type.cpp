// The column reading of option texts agrees with the reading of one text on
// every text of up to five characters over an alphabet that holds every
// letter of the four words in both cases, a neighbour of each, NUL, and
// characters outside ASCII.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pricing/core/option_type.hpp"

namespace {

int code_of_text(const std::string& text) {
    const auto side = varnelle::option_type_from_text(text);
    if (!side) return 2;
    return *side == varnelle::OptionType::Put ? 1 : 0;
}

TEST(OptionTypeCode, AgreesWithTheSingleReadingOnEveryShortText) {
    const std::uint32_t alphabet[] = {'c', 'a', 'l', 'p', 'u', 't', 'C', 'A', 'L', 'P', 'U', 'T',
                                      'b', '@', '[', 0, 0x80, 0x143, 0x163};
    const std::size_t letters = std::size(alphabet);
    int sides = 0;
    for (std::size_t length = 0; length <= 5; ++length) {
        std::size_t total = 1;
        for (std::size_t i = 0; i < length; ++i) total *= letters;
        for (std::size_t n = 0; n < total; ++n) {
            std::uint32_t chars[5] = {0, 0, 0, 0, 0};
            std::string bytes;
            bool byte_sized = true;
            for (std::size_t i = 0, rest = n; i < length; ++i, rest /= letters) {
                chars[i] = alphabet[rest % letters];
                byte_sized &= chars[i] < 0x100;
                bytes.push_back(static_cast<char>(chars[i] & 0xff));
            }
            const std::uint32_t first[4] = {chars[0], chars[1], chars[2], chars[3]};
            const int code = length > 4 ? 2 : varnelle::option_type_code(first, length);
            // Code points beyond one byte never name a side; below that, the
            // code points read as bytes must give what the text gives.
            const int want = byte_sized ? code_of_text(bytes) : 2;
            ASSERT_EQ(code, want) << "length " << length << ", text number " << n;
            sides += code != 2;
        }
    }
    EXPECT_EQ(sides, 2 + 16 + 2 + 8);  // c, call, p, put in every case
}

}  // namespace
