#include "list_reader.h"

#include "test_support.h"

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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReadAll(c.bytes), c.lines);
    }
}

TEST(ListReader, LinesAcrossChunkBoundaries) {
    // The reader works in 64 KiB chunks: put a CR as the last byte of the first chunk and
    // its LF as the first byte of the second, and a line longer than a chunk.
    const std::string first(65535, 'a');
    const std::string longLine(200000, 'b');
    EXPECT_EQ(ReadAll(first + "\r\n" + longLine + "\r\nc"),
              (std::vector<std::string>{first, longLine, "c"}));
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
