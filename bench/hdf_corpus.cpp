#include "bench/hdf_corpus.h"

#include "bench/corpus.h"

#include <cstdio>
#include <fstream>
#include <hdf/mfhdf.h>
#include <stdexcept>

namespace aster::bench {

namespace {

// Closes the file on every way out, so that a failed file leaves no open handle.
class SdFile {
  public:
    explicit SdFile(const std::string& path) : m_id(SDstart(path.c_str(), DFACC_CREATE)) {
        if (m_id == FAIL)
            throw std::runtime_error("cannot create " + path);
    }
    SdFile(const SdFile&) = delete;
    SdFile& operator=(const SdFile&) = delete;
    ~SdFile() {
        if (m_id != FAIL)
            SDend(m_id);
    }
    int32 id() const { return m_id; }
    // Ends the file, reporting what SDend reports: it writes the file's header out.
    bool end() {
        const bool ended = SDend(m_id) != FAIL;
        m_id = FAIL;
        return ended;
    }

  private:
    int32 m_id;
};

void WriteHdf(const std::string& path, const std::string& core, int side) {
    SdFile sd(path);
    if (SDsetfillmode(sd.id(), SD_NOFILL) == FAIL ||
        SDsetattr(sd.id(), "coremetadata.0", DFNT_CHAR8, static_cast<int32>(core.size()),
                  core.data()) == FAIL)
        throw std::runtime_error("cannot write the metadata of " + path);
    int32 dims[2] = {side, side};
    const int32 image = SDcreate(sd.id(), "ImageData", DFNT_UINT8, 2, dims);
    int32 last[2] = {side - 1, side - 1};
    int32 one[2] = {1, 1};
    uint8 pixel = 1;
    const bool written = image != FAIL && SDwritedata(image, last, nullptr, one, &pixel) != FAIL;
    if (image != FAIL)
        SDendaccess(image);
    if (!written || !sd.end())
        throw std::runtime_error("cannot write the image of " + path);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

void WriteHdfCorpus(const std::string& hdfFolder, const std::string& metFolder,
                    std::size_t count, int side) {
    std::string hdfList;
    std::string metList;
    for (std::size_t i = 1; i <= count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "AST_L1B_%07zu", i);
        const std::string text = SceneText(i);
        WriteHdf(hdfFolder + "/" + name + ".hdf", text, side);
        WriteText(metFolder + "/" + name + ".met", text);
        hdfList += std::string(name) + ".hdf\r\n";
        metList += std::string(name) + ".met\r\n";
    }
    WriteText(hdfFolder + "/filelist.txt", hdfList);
    WriteText(metFolder + "/filelist.txt", metList);
}

} // namespace aster::bench
