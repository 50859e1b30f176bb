// Scene dates and times as written, and the instant they give, rounded to the millisecond
// with the carry into the next second, minute, hour, day, month and year.
#include "metadata/acquisition_time.h"

#include <gtest/gtest.h>

namespace aster {
namespace {

TEST(AcquisitionTime, RoundsToTheMillisecondWithCarry) {
    struct Case {
        const char* date;
        const char* time;
        const char* instant;
    };
    const Case cases[] = {
        {"2003-04-12", "18:32:07.414000Z", "2003-04-12T18:32:07.414Z"},
        {"2003-04-12", "18:32:07", "2003-04-12T18:32:07.000Z"}, // no Z: UTC all the same
        {"2003-04-12", "18:32:07.4", "2003-04-12T18:32:07.400Z"},
        {"2003-04-12", "18:32:07.41", "2003-04-12T18:32:07.410Z"},
        {"2003-04-12", "18:32:07.4144", "2003-04-12T18:32:07.414Z"},
        {"2003-04-12", "18:32:07.41449", "2003-04-12T18:32:07.414Z"},
        {"2003-04-12", "18:32:07.4145", "2003-04-12T18:32:07.415Z"}, // halves up
        {"2003-04-12", "18:32:07.0004999999", nullptr},              // ten digits: no time
        {"2003-04-12", "18:32:07.000499999", "2003-04-12T18:32:07.000Z"},
        {"2003-04-12", "18:32:07.0005", "2003-04-12T18:32:07.001Z"},
        {"2003-04-12", "18:32:59.9996Z", "2003-04-12T18:33:00.000Z"},
        {"2003-04-12", "18:59:59.9999", "2003-04-12T19:00:00.000Z"},
        {"2003-12-31", "23:59:59.9995", "2004-01-01T00:00:00.000Z"},
        {"2003-12-31", "23:59:59.9994999", "2003-12-31T23:59:59.999Z"},
        {"2003-02-28", "23:59:59.99999", "2003-03-01T00:00:00.000Z"},
        {"2004-02-28", "23:59:59.99999", "2004-02-29T00:00:00.000Z"}, // leap year
        {"2004-02-29", "23:59:59.999999999", "2004-03-01T00:00:00.000Z"},
        {"2000-02-28", "23:59:59.9999", "2000-02-29T00:00:00.000Z"}, // every 400 years
        {"1900-02-28", "23:59:59.9999", "1900-03-01T00:00:00.000Z"}, // not every 100
        {"2003-04-30", "23:59:59.9999", "2003-05-01T00:00:00.000Z"},
        {"0001-01-01", "00:00:00.000", "0001-01-01T00:00:00.000Z"},
        {"9999-12-31", "23:59:59.999", "9999-12-31T23:59:59.999Z"},
        {"2003-02-29", "12:00:00", nullptr},
        {"2003-04-31", "12:00:00", nullptr},
        {"2003-13-01", "12:00:00", nullptr},
        {"2003-00-10", "12:00:00", nullptr},
        {"2003-4-12", "12:00:00", nullptr},
        {"2003/04/12", "12:00:00", nullptr},
        {"2003-04-12 ", "12:00:00", nullptr},
        {"2003-04-12", "24:00:00", nullptr},
        {"2003-04-12", "23:60:00", nullptr},
        {"2003-04-12", "23:59:60", nullptr}, // never second 60, not even a leap second
        {"2003-04-12", "1:02:03", nullptr},
        {"2003-04-12", "12:00:00.", nullptr},
        {"2003-04-12", "12:00:00,5", nullptr},
        {"2003-04-12", "12:00:00.5ZZ", nullptr},
        {"2003-04-12", "12:00:00.-5", nullptr},
        {"2003-04-12", "+2:00:00", nullptr},
        {"2003-04-12", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.date) + " " + c.time);
        const auto date = ParseSceneDate(c.date);
        const auto time = ParseSceneTime(c.time);
        if (c.instant == nullptr) {
            EXPECT_FALSE(date && time);
            continue;
        }
        ASSERT_TRUE(date && time);
        const UtcMilliseconds instant = AcquisitionInstant(*date, *time);
        EXPECT_EQ(FormatRfc3339(instant), c.instant);
        // The fields agree with the text, and no second is ever 60.
        const UtcParts parts = BreakDown(instant);
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", parts.year,
                      parts.month, parts.day, parts.hour, parts.minute, parts.second,
                      parts.millisecond);
        EXPECT_EQ(std::string(text), c.instant);
        EXPECT_LT(parts.second, 60);
    }
}

TEST(AcquisitionTime, FieldsAsWritten) {
    EXPECT_EQ(ParseSceneDate("2004-02-29"), (CalendarDate{2004, 2, 29}));
    EXPECT_EQ(ParseSceneTime("18:32:07.414000Z"), (TimeOfDay{18, 32, 7, 414'000'000}));
    EXPECT_EQ(ParseSceneTime("00:00:00.000000001"), (TimeOfDay{0, 0, 0, 1}));
    EXPECT_EQ(ParseSceneTime("23:59:59.9"), (TimeOfDay{23, 59, 59, 900'000'000}));
}

// Every millisecond of a day round-trips through the text, and BreakDown agrees with the
// calendar across month and year ends.
TEST(AcquisitionTime, InstantsRoundTripThroughTheirText) {
    for (const char* day : {"2003-12-31", "2004-02-28", "2004-02-29", "2100-02-28"}) {
        const auto date = ParseSceneDate(day);
        ASSERT_TRUE(date);
        for (int ms = 0; ms < 86'400'000; ms += 86'400'000 / 997 + 1) {
            char text[32];
            std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", ms / 3'600'000,
                          ms / 60'000 % 60, ms / 1000 % 60, ms % 1000);
            const auto time = ParseSceneTime(text);
            ASSERT_TRUE(time) << text;
            const std::string formatted = FormatRfc3339(AcquisitionInstant(*date, *time));
            EXPECT_EQ(formatted, std::string(day) + "T" + text + "Z");
        }
    }
}

} // namespace
} // namespace aster
