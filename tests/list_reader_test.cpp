#include "readahead/list_reader.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

namespace aster {
namespace {

std::vector<std::string> ReadAll(const std::string& bytes) {
    test::TempFolder folder;
    folder.write("filelist.txt", bytes);
    ListReader reader;
    EXPECT_FALSE(reader.open(folder.file("filelist.txt")));
    std::vector<std::string> lines;
    std::string line;
    while (!reader.atEnd()) {
        reader.readLine(line);
        lines.push_back(line);
    }
    EXPECT_FALSE(reader.error());
    return lines;
}

TEST(ListReader, LineEnds) {
    using Lines = std::vector<std::string>;
    struct Case {
        const char* name;
        std::string bytes;
        Lines lines;
    };
    const Case cases[] = {
        {"empty file", "", {}},
        {"CR LF after every line", "a.met\r\nb.met\r\n", {"a.met", "b.met"}},
        {"no final line end", "a.met\r\nb.met", {"a.met", "b.met"}},
        {"lone LF belongs to the line", "a\nb\r\nc", {"a\nb", "c"}},
        {"LF-only file is one line", "a\nb\n", {"a\nb\n"}},
        {"CR alone ends a line", "a\rb\r", {"a", "b"}},
        {"CR CR LF gives an empty line", "a\r\r\nb", {"a", "", "b"}},
        {"empty lines", "\r\n\r\n", {"", ""}},
        {"trailing blanks stay", "a.met  \r\n", {"a.met  "}},
        {"NUL and high bytes stay", std::string("a\0\xff\r\n", 5), {std::string("a\0\xff", 3)}},
        {"a byte order mark is no part of the first name",
         "\xEF\xBB\xBF"
         "a\r\n\xEF\xBB\xBF"
         "b",
         {"a", "\xEF\xBB\xBF"
               "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReadAll(c.bytes), c.lines);
    }
}

TEST(ListReader, LinesAcrossChunkBoundaries) {
    // The reader works in 64 KiB chunks: put a CR as the last byte of the first chunk and
    // its LF as the first byte of the second, and a line of the longest length allowed,
    // which spans two chunks.
    const std::string first(65535, 'a');
    const std::string longLine(ListReader::kMaxLineBytes, 'b');
    EXPECT_EQ(ReadAll(first + "\r\n" + longLine + "\r\nc"),
              (std::vector<std::string>{first, longLine, "c"}));
}

TEST(ListReader, CountsTheLinesItWillRead) {
    const std::string longest(ListReader::kMaxLineBytes, 'x');
    for (const std::string& bytes :
         {std::string(), std::string("a"), std::string("a\r\nb\r\n"), std::string("\r\r\n\n"),
          std::string("a\rb\nc\r"), std::string(65535, 'a') + "\r\n" + longest + "\r\nc",
          longest + "\r" + longest}) {
        SCOPED_TRACE(bytes.size());
        test::TempFolder folder;
        folder.write("filelist.txt", bytes);
        ListReader reader;
        ASSERT_FALSE(reader.open(folder.file("filelist.txt")));
        EXPECT_EQ(reader.countLines(), static_cast<std::int64_t>(ReadAll(bytes).size()));
    }
}

TEST(ListReader, LineLongerThanAnyNameIsAnError) {
    test::TempFolder folder;
    folder.write("filelist.txt",
                 "a.met\r\n" + std::string(ListReader::kMaxLineBytes + 1, 'x') + "\r\nb.met");
    ListReader reader(4096);
    ASSERT_FALSE(reader.open(folder.file("filelist.txt")));
    EXPECT_EQ(reader.countLines(), 2);
    std::string line;
    reader.readLine(line);
    EXPECT_EQ(line, "a.met");
    reader.readLine(line);
    ASSERT_TRUE(reader.error());
    EXPECT_EQ(reader.error()->code, ENAMETOOLONG);
    EXPECT_EQ(reader.error()->description,
              "Line 2 of " + folder.file("filelist.txt") + " is longer than 65536 bytes");
    EXPECT_TRUE(reader.atEnd());
}

TEST(ListReader, OpenFailures) {
    test::TempFolder folder;
    ::mkdir(folder.file("dir").c_str(), 0755);
    ::mkfifo(folder.file("fifo").c_str(), 0644);
    for (const auto& [name, code] :
         {std::pair{"missing", ENOENT}, std::pair{"dir", EISDIR}, std::pair{"fifo", EINVAL}}) {
        SCOPED_TRACE(name);
        ListReader reader;
        const auto error = reader.open(folder.file(name));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, code);
        EXPECT_NE(error->description.find(folder.file(name)), std::string::npos);
    }
}

} // namespace
} // namespace aster
