// The ODL reader on any bytes: it ends in bounded time with metadata or a reason, what it
// gives holds together, and a reader used again gives the same answer.
#include "metadata/odl_reader.h"
#include "metadata/scene_metadata.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/metadata_check.h"

#include <cstdint>
#include <string>

namespace {

// Counts blocks as the reader reports them.
class Nesting final : public aster::OdlHandler {
  public:
    void begin(std::string_view) override {
        ++m_depth;
        FUZZ_CHECK(m_depth <= 64);
    }
    void end() override {
        FUZZ_CHECK(m_depth > 0);
        --m_depth;
    }
    void assign(std::string_view name, const aster::OdlValue& value) override {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(value.kind != aster::OdlValue::None);
        FUZZ_CHECK(value.text.size() <= 16u << 20);
    }

  private:
    std::size_t m_depth = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Nesting nesting;
    aster::ReadOdl(bytes, nesting);
    // As it comes, and as the body of a file that ODL's first statement opens.
    aster::fuzz::CheckMetadata(bytes);
    aster::fuzz::CheckMetadata("GROUP = INVENTORYMETADATA\n" + bytes);
    // Cut in two, as an HDF-EOS file's core and product metadata.
    const std::string_view whole(bytes);
    aster::fuzz::CheckHdfTexts(whole.substr(0, size / 2), whole.substr(size / 2));
    return 0;
}
