#include "fileio/folder.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/whole_file.h"
#include "stac/stac_output.h"

#include <sys/stat.h>

namespace aster {

namespace {

Error ReadsBackWrong(const std::string& path) {
    return Error{EIO, "The items written to " + path + " read back wrong",
                 "Nothing was changed. Check the disk, then try again."};
}

// One GeoJSON FeatureCollection of the items, its features one a line, written as every
// other output file is (see ReplacementFile).
class ItemCollectionFile final : public StacOutput {
  public:
    ItemCollectionFile(const std::string& folderPrefix, const StacOptions& options)
        : StacOutput(folderPrefix, options, false) {}

    std::optional<Error> start(const SceneRunHost& host) override;
    std::optional<Error> publish(SceneRunHost& host) override;
    std::string_view replacedFile() const override { return m_outputPath; }
    bool replacesEarlier() const override { return m_replacing; }

  private:
    std::string render(const StacItem& item) const override { return CompactItem(item); }
    std::optional<Error> place(PreparedItem& prepared, const std::string&) override {
        m_features->add(prepared.json);
        return std::nullopt;
    }
    std::optional<Error> finishItems() override;
    std::optional<Error> fixIds();
    bool copyLine(std::string_view line, const std::vector<bool>& changed,
                  ItemCollectionWriter& writer, std::size_t& feature, std::string& fixed);

    bool m_replacing = false; // an earlier file is there
    ReplacementFile m_file;
    ReplacementFile m_second; // the file again, when ids changed at the end
    std::optional<ItemCollectionWriter> m_features;
};

std::optional<Error> ItemCollectionFile::start(const SceneRunHost& host) {
    hearStopsOf(host);
    // A run that was killed left its scratch file here.
    RemoveStaleScratch(m_outputFolder, [&host] { return !host.cancelRequestedOnAnyThread(); });
    struct stat info {};
    m_replacing = ::lstat(m_outputPath.c_str(), &info) == 0;
    if (!m_options.overwrite && m_replacing)
        return ExistsError(m_options.outputPath);
    if (auto error = m_file.create(FolderPrefix(m_outputFolder), m_outputName))
        return error;
    m_features.emplace(m_file.stream());
    return std::nullopt;
}

// One line of the first file into the second, its feature's id replaced when it changed.
bool ItemCollectionFile::copyLine(std::string_view line, const std::vector<bool>& changed,
                                  ItemCollectionWriter& writer, std::size_t& feature,
                                  std::string& fixed) {
    const std::optional<std::string_view> json = FeatureOnLine(line);
    if (!json)
        return true;
    const std::size_t item = feature++;
    if (item >= changed.size())
        return false;
    if (!changed[item]) {
        writer.add(*json);
        return true;
    }
    if (!ReplaceItemId(*json, m_ids.finalId(item), false, fixed))
        return false;
    writer.add(fixed);
    return true;
}

// The ItemCollection again, with the features whose id changed at the end written anew:
// read back from the first file a line at a time, so the file's size does not matter.
std::optional<Error> ItemCollectionFile::fixIds() {
    std::size_t count = 0;
    const std::vector<bool> changed = changedItems(count);
    if (count == 0)
        return std::nullopt;
    m_file.stream().flush();
    if (auto error = m_file.check())
        return error;
    if (auto error = m_second.create(FolderPrefix(m_outputFolder), m_outputName))
        return error;
    ItemCollectionWriter writer(m_second.stream());
    std::string pending, fixed;
    std::vector<char> chunk(1 << 16);
    std::size_t feature = 0;
    for (off_t offset = 0;;) {
        std::size_t got = 0;
        if (const int err = ReadAt(m_file.fd(), chunk.data(), chunk.size(), offset, got))
            return SystemError(err, m_options.outputPath);
        if (got == 0)
            break;
        offset += static_cast<off_t>(got);
        pending.append(chunk.data(), got);
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (!copyLine(std::string_view(pending).substr(start, end - start), changed, writer,
                          feature, fixed))
                return ReadsBackWrong(m_options.outputPath);
        }
        pending.erase(0, start);
    }
    if (feature != changed.size())
        return ReadsBackWrong(m_options.outputPath);
    writer.finish();
    return std::nullopt;
}

std::optional<Error> ItemCollectionFile::finishItems() {
    m_features->finish();
    // What the ids' files failed at explains a fix that went wrong better than the fix.
    if (auto error = fixIds())
        return m_ids.error() ? m_ids.error() : error;
    if (const auto& error = m_ids.error())
        return *error;
    ReplacementFile& final = m_second.fd() >= 0 ? m_second : m_file;
    final.stream().flush();
    return final.check();
}

std::optional<Error> ItemCollectionFile::publish(SceneRunHost& /*host*/) {
    return PublishTogether({m_second.fd() >= 0 ? &m_second : &m_file});
}

} // namespace

std::unique_ptr<StacOutput> MakeItemCollectionFile(const std::string& folderPrefix,
                                                   const StacOptions& options) {
    return std::make_unique<ItemCollectionFile>(folderPrefix, options);
}

} // namespace aster
