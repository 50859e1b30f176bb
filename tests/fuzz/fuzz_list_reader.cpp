// The list reader over arbitrary bytes and chunk sizes: its lines, joined back with the
// line ends it took away, give back the input exactly.
#include "readahead/list_reader.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t chunk = data[0] % 16 + 1;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    const int fd = ::memfd_create("filelist", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()));

    aster::ListReader reader(chunk);
    FUZZ_CHECK(!reader.open("/proc/self/fd/" + std::to_string(fd)));
    std::size_t pos = 0;
    std::string line;
    while (!reader.atEnd()) {
        reader.readLine(line);
        FUZZ_CHECK(line.find('\r') == std::string::npos);
        FUZZ_CHECK(input.substr(pos, line.size()) == line);
        pos += line.size();
        if (pos < input.size()) {
            FUZZ_CHECK(input[pos] == '\r'); // a line ends only at a carriage return...
            ++pos;
            if (pos < input.size() && input[pos] == '\n') // ...which takes one LF along
                ++pos;
        }
    }
    FUZZ_CHECK(!reader.error());
    FUZZ_CHECK(pos == input.size());
    reader.close();
    ::close(fd);
    return 0;
}
