// Formatting for SetFloatInStr: only one floating conversion gets through,
// and exponents have three digits on every platform.
#include <gtest/gtest.h>

#include <string>

#include "shell/float_format.h"

namespace talvo {
namespace {

std::string Format(const char* format, double value) {
    std::string out;
    EXPECT_TRUE(FormatOneFloat(format, value, out)) << format;
    return out;
}

TEST(FloatFormat, FixedNotation) {
    EXPECT_EQ(Format("%7.2f", 12.5), "  12.50");
    EXPECT_EQ(Format("%-7.1f|", 12.5), "12.5   |");
    EXPECT_EQ(Format("%07.2f", -1.5), "-001.50");
    EXPECT_EQ(Format("%+.0f", 2.0), "+2");
    EXPECT_EQ(Format("Price: %.2lf %%", 3.25), "Price: 3.25 %");
}

TEST(FloatFormat, ExponentsHaveThreeDigits) {
    EXPECT_EQ(Format("%e", 12.5), "1.250000e+001");
    EXPECT_EQ(Format("%.2E", 0.000125), "1.25E-004");
    EXPECT_EQ(Format("%12.2e|", 1.5), "   1.50e+000|");
    EXPECT_EQ(Format("%012.2e", -1.5), "-001.50e+000");
    EXPECT_EQ(Format("%g", 1e-10), "1e-010");
    EXPECT_EQ(Format("%g", 1e300), "1e+300");
    EXPECT_EQ(Format("%g", 0.5), "0.5");
}

TEST(FloatFormat, RefusesEverythingElse) {
    const char* refused[] = {"%s", "%d", "%n", "%f %f", "%*f", "%.*f", "no conversion", "%Lf", "%", "%5", "%hf", "%p"};
    for (const char* f : refused) {
        std::string out = "untouched";
        EXPECT_FALSE(FormatOneFloat(f, 1.0, out)) << f;
        EXPECT_TRUE(out.empty()) << f;
    }
    std::string out;
    EXPECT_FALSE(FormatOneFloat(nullptr, 1.0, out));
}

}  // namespace
}  // namespace talvo
