#pragma once

// HDF-EOS files made by the tests with the HDF4 library itself.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <hdf/mfhdf.h>

namespace aster::test {

struct Attribute {
    std::string name;
    std::string value;
    int32 type = DFNT_CHAR8;
};

// An HDF file with these global attributes, in this order, and an image of side × side
// bytes that carries a dataset attribute named as ECS text, which is no global one.
inline void WriteHdf(const std::string& path, const std::vector<Attribute>& attributes, int32 side = 16) {
    const struct Ended {
        int32 id;
        ~Ended() { SDend(id); } // also after a failed check, so the next file can be made
    } sd{SDstart(path.c_str(), DFACC_CREATE)};
    ASSERT_NE(sd.id, FAIL);
    for (const Attribute& a : attributes)
        ASSERT_NE(SDsetattr(sd.id, a.name.c_str(), a.type, static_cast<int32>(a.value.size()),
                            a.value.data()),
                  FAIL);
    int32 dims[2] = {side, side};
    int32 start[2] = {0, 0};
    const int32 image = SDcreate(sd.id, "image", DFNT_UINT8, 2, dims);
    std::vector<uint8> pixels(static_cast<std::size_t>(side) * side);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8>(i * 7);
    ASSERT_NE(SDwritedata(image, start, nullptr, dims, pixels.data()), FAIL);
    ASSERT_NE(SDsetattr(image, "coremetadata.0", DFNT_CHAR8, 5, "image"), FAIL);
    SDendaccess(image);
}

} // namespace aster::test
