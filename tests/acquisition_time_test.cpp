// Scene dates and times as written, in ISO 8601's extended and basic forms, and the instant
// they give, truncated to the millisecond so that it never leaves the day written.
#include "metadata/acquisition_time.h"

#include <gtest/gtest.h>

namespace aster {
namespace {

TEST(AcquisitionTime, TruncatesToTheMillisecondWithinItsDay) {
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
        {"2003-04-12", "18:32:07.4145", "2003-04-12T18:32:07.414Z"}, // never rounded
        {"2003-04-12", "18:32:07.0004999999", nullptr},              // ten digits: no time
        {"2003-04-12", "18:32:07.000499999", "2003-04-12T18:32:07.000Z"},
        {"2003-04-12", "18:32:07.0005", "2003-04-12T18:32:07.000Z"},
        {"2003-04-12", "18:32:59.9996Z", "2003-04-12T18:32:59.999Z"},
        {"2003-04-12", "18:59:59.9999", "2003-04-12T18:59:59.999Z"},
        {"2003-12-31", "23:59:59.9995", "2003-12-31T23:59:59.999Z"},
        {"2003-12-31", "23:59:59.9999", "2003-12-31T23:59:59.999Z"}, // no carry into 2004
        {"2003-12-31", "23:59:59.9994999", "2003-12-31T23:59:59.999Z"},
        {"2003-02-28", "23:59:59.99999", "2003-02-28T23:59:59.999Z"},
        {"2004-02-28", "23:59:59.99999", "2004-02-28T23:59:59.999Z"}, // leap year
        {"2004-02-29", "23:59:59.999999999", "2004-02-29T23:59:59.999Z"},
        {"2000-02-28", "23:59:59.9999", "2000-02-28T23:59:59.999Z"}, // every 400 years
        {"1900-02-28", "23:59:59.9999", "1900-02-28T23:59:59.999Z"}, // not every 100
        {"2003-04-30", "23:59:59.9999", "2003-04-30T23:59:59.999Z"},
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
        // A leap second is its day's last millisecond, never second 60; only 23:59 has one.
        {"2003-12-31", "23:59:60", "2003-12-31T23:59:59.999Z"},
        {"2003-06-30", "23:59:60.9999Z", "2003-06-30T23:59:59.999Z"},
        {"2003-12-31", "235960.5", "2003-12-31T23:59:59.999Z"},
        {"2003-04-12", "23:58:60", nullptr},
        {"2003-04-12", "23:59:61", nullptr},
        // ISO 8601's basic form: the fraction's digits straight after the seconds, or a '.'.
        {"20231217", "002443486000Z", "2023-12-17T00:24:43.486Z"},
        {"20231217", "002443", "2023-12-17T00:24:43.000Z"},
        {"20231217", "002443.4869Z", "2023-12-17T00:24:43.486Z"},
        {"2023-12-17", "235959999999999", "2023-12-17T23:59:59.999Z"},
        {"20231231", "23:59:59.9999", "2023-12-31T23:59:59.999Z"},
        {"20231217", "0024439999999999", nullptr}, // ten digits
        {"20231217", "002443.", nullptr},
        {"20231217", "002443,5", nullptr},
        {"20231217", "00:2443", nullptr},
        {"20231217", "12:00:00486", nullptr}, // the extended form's fraction needs its '.'
        {"20231217", "00244", nullptr},
        {"20231217", "240000", nullptr},
        {"20230229", "120000", nullptr},
        {"2023-1217", "120000", nullptr},
        {"202312170", "120000", nullptr},
        {"2023121", "120000", nullptr},
        {"2003-04-12", "12:05", "2003-04-12T12:05:00.000Z"}, // ISO 8601's minutes alone
        {"2003-04-12", "23:59Z", "2003-04-12T23:59:00.000Z"},
        {"2003-04-12", "24:00", nullptr},
        {"2003-04-12", "12:5", nullptr},
        {"2003-04-12", "12:05.5", nullptr},
        {"2003-04-12", "1:02:03", nullptr},
        {"2003-04-12", "12:00:00.", nullptr},
        {"2003-04-12", "12:00:00,5", nullptr},
        {"2003-04-12", "12:00:00.5ZZ", nullptr},
        {"2003-04-12", "12:00:00.-5", nullptr},
        {"2003-04-12", "+2:00:00", nullptr},
        // An offset from UTC moves the instant, across a day's or a year's end too.
        {"2003-04-12", "18:32:07.414+00:00", "2003-04-12T18:32:07.414Z"},
        {"2003-04-12", "18:32:07-00:00", "2003-04-12T18:32:07.000Z"},
        {"2003-04-12", "23:30:00-05:00", "2003-04-13T04:30:00.000Z"},
        {"2003-01-01", "01:00:00.9999+05:30", "2002-12-31T19:30:00.999Z"},
        {"20231217", "002443+0100", "2023-12-16T23:24:43.000Z"},
        {"2003-04-12", "12:05+01:00", "2003-04-12T11:05:00.000Z"},
        {"2003-04-12", "12:00:00+5:00", nullptr},
        {"2003-04-12", "12:00:00+05:60", nullptr},
        {"2003-04-12", "12:00:00+24:00", nullptr},
        {"2003-04-12", "12:00:00+05", "2003-04-12T07:00:00.000Z"},
        {"2003-04-12", "12:00:00+5", nullptr},
        // A leap second is 23:59:60 in UTC; an offset that leaves four-digit years, none.
        {"2004-01-01", "00:59:60+01:00", "2003-12-31T23:59:59.999Z"},
        {"2003-12-31", "18:59:60.5-05:00", "2003-12-31T23:59:59.999Z"},
        {"2003-12-31", "23:59:60-01:00", nullptr},
        {"9999-12-31", "23:30:00-01:00", nullptr},
        {"0001-01-01", "00:30:00+01:00", nullptr},
        {"0001-01-01", "01:00:00+01:00", "0001-01-01T00:00:00.000Z"},
        {"0000-06-01", "12:00:00", nullptr},
        {"2003-04-12", "12:00:00Z+01:00", nullptr},
        {"2003-04-12", "12:00:00+01:00Z", nullptr},
        {"2003-04-12", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.date) + " " + c.time);
        const auto date = ParseSceneDate(c.date);
        const auto time = ParseSceneTime(c.time);
        const auto read = date && time ? AcquisitionInstant(*date, *time) : std::nullopt;
        if (c.instant == nullptr) {
            EXPECT_FALSE(read);
            continue;
        }
        ASSERT_TRUE(read);
        const UtcMilliseconds instant = *read;
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
    EXPECT_EQ(ParseSceneTime("23:59:60.25Z"), (TimeOfDay{23, 59, 60, 250'000'000}));
    EXPECT_EQ(ParseSceneDate("20231217"), (CalendarDate{2023, 12, 17}));
    EXPECT_EQ(ParseSceneTime("002443486000Z"), (TimeOfDay{0, 24, 43, 486'000'000}));
    EXPECT_EQ(ParseSceneTime("18:32:07.414z"), (TimeOfDay{18, 32, 7, 414'000'000}));
    EXPECT_EQ(ParseSceneTime("18:32:07-01:30"), (TimeOfDay{18, 32, 7, 0, -90}));
}

// Every millisecond of a day round-trips through the text, written in either form, and
// BreakDown agrees with the calendar across month and year ends.
TEST(AcquisitionTime, InstantsRoundTripThroughTheirText) {
    for (const char* day : {"0001-01-01", "0999-12-31", "2003-12-31", "2004-02-28", "2004-02-29",
                            "2100-02-28", "9999-12-31"}) {
        const auto date = ParseSceneDate(day);
        ASSERT_TRUE(date);
        for (int ms = 0; ms < 86'400'000; ms += 86'400'000 / 997 + 1) {
            char text[32];
            std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", ms / 3'600'000,
                          ms / 60'000 % 60, ms / 1000 % 60, ms % 1000);
            const auto time = ParseSceneTime(text);
            ASSERT_TRUE(time) << text;
            const std::string formatted = FormatRfc3339(AcquisitionInstant(*date, *time).value());
            EXPECT_EQ(formatted, std::string(day) + "T" + text + "Z");
            std::snprintf(text, sizeof text, "%02d%02d%02d%03dZ", ms / 3'600'000, ms / 60'000 % 60,
                          ms / 1000 % 60, ms % 1000);
            const auto basicTime = ParseSceneTime(text);
            const auto basicDate = ParseSceneDate(std::string(day).erase(7, 1).erase(4, 1));
            ASSERT_TRUE(basicTime && basicDate) << text;
            EXPECT_EQ(FormatRfc3339(AcquisitionInstant(*basicDate, *basicTime).value()), formatted);
        }
    }
}

} // namespace
} // namespace aster
