// The floor's calls spread over threads: for every line of filelist.txt, stat the path,
// open it, read the whole file into a buffer and close it, exactly like floor.c, with the
// lines handed out in list order from a shared index. With a cold cache this is what a
// run that reads ahead on several threads can at best reach, since the disk then serves
// several requests at once.
#include "fileio/unique_fd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The list read whole up front, so that handing out a line costs one atomic increment.
struct ListLines {
    std::string text;
    std::vector<std::size_t> starts; // each line's offset in text; lines end in '\0'
};

bool ReadList(const std::string& path, ListLines& lines) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        lines.text.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    // Same line rule as floor.c: a line ends at '\n', and a '\r' cuts the name short.
    std::size_t start = 0;
    while (start < lines.text.size()) {
        std::size_t end = lines.text.find('\n', start);
        if (end == std::string::npos) {
            end = lines.text.size();
            lines.text.push_back('\0');
        }
        const std::size_t cut = std::string_view(lines.text).substr(start, end - start).find('\r');
        lines.text[cut == std::string_view::npos ? end : start + cut] = '\0';
        lines.starts.push_back(start);
        start = end + 1;
    }
    return ok;
}

// One thread's share: takes the next line until none is left. Returns the bytes read.
unsigned long long ReadFiles(const std::string& prefix, const ListLines& lines,
                             std::atomic<std::size_t>& nextLine) {
    std::vector<char> buffer;
    std::string path = prefix;
    unsigned long long total = 0;
    for (std::size_t index = nextLine.fetch_add(1); index < lines.starts.size();
         index = nextLine.fetch_add(1)) {
        path.resize(prefix.size());
        path += lines.text.c_str() + lines.starts[index];
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const aster::UniqueFd fd(::open(path.c_str(), O_RDONLY));
        if (fd.get() < 0)
            continue;
        const auto size = static_cast<std::size_t>(info.st_size);
        if (size > buffer.size())
            buffer.resize(size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(fd.get(), buffer.data() + done, size - done);
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        total += done;
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER [THREADS=16]\n", argv[0]);
        return 2;
    }
    const int threads = argc == 3 ? std::atoi(argv[2]) : 16;
    if (threads < 1) {
        std::fprintf(stderr, "%s: THREADS must be at least 1\n", argv[0]);
        return 2;
    }
    const std::string prefix = std::string(argv[1]) + "/";
    ListLines lines;
    if (!ReadList(prefix + "filelist.txt", lines)) {
        std::perror((prefix + "filelist.txt").c_str());
        return 1;
    }
    std::atomic<std::size_t> nextLine{0};
    std::vector<unsigned long long> totals(static_cast<std::size_t>(threads));
    {
        std::vector<std::jthread> workers;
        for (auto& total : totals)
            workers.emplace_back([&] { total = ReadFiles(prefix, lines, nextLine); });
    }
    unsigned long long total = 0;
    for (const auto value : totals)
        total += value;
    std::printf("%llu\n", total);
    return 0;
}
