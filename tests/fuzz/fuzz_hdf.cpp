// The HDF texts reader on any bytes after an HDF file's first four: it gives texts or a
// reason, never both, leaves no descriptor open, and a second read of the same bytes
// gives the same answer, so that nothing of one file stays in the library for the next.
#include "metadata/hdf_texts.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

aster::HdfTextsOrReason ReadBytes(const std::string& bytes) {
    const int fd = ::memfd_create("fuzz.hdf", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    aster::HdfTextsOrReason read = aster::ReadHdfTextsHere(fd);
    ::close(fd);
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!bytes.starts_with(aster::kHdf4Magic))
        bytes.insert(0, aster::kHdf4Magic);
    const aster::HdfTextsOrReason first = ReadBytes(bytes);
    FUZZ_CHECK(first.texts.has_value() == first.reason.empty());
    const aster::HdfTextsOrReason second = ReadBytes(bytes);
    FUZZ_CHECK(second.texts == first.texts && second.reason == first.reason);
    return 0;
}
