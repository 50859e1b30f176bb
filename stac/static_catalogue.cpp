#include "fileio/fd_stream_buf.h"
#include "fileio/file_attributes.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "fileio/whole_file.h"
#include "stac/earlier_catalogue.h"
#include "stac/stac_output.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

// The folder a reading thread writes an item to before the run knows the item's id:
// named for the scene's line in the list, with a leading "." that no id has.
std::string ItemFolderAside(std::int32_t sceneNumber) {
    return ".scene-" + std::to_string(sceneNumber);
}

// The mode a new folder gets here: 0777 less the process's umask, read without changing it.
mode_t NewFolderMode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Umask:"))
            return 0777 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    return 0755;
}

// A folder of collection.json and ID/ID.json, written into a scratch folder beside the
// output, brought to disk with one syncfs and moved into place whole.
class StaticCatalogue final : public StacOutput {
  public:
    StaticCatalogue(const std::string& folderPrefix, const StacOptions& options)
        : StacOutput(folderPrefix, options, true) {}

    std::optional<Error> plan() override;
    std::optional<Error> start(const SceneRunHost& host) override;
    std::optional<Error> publish(SceneRunHost& host) override;
    bool replacesEarlier() const override { return m_replacing; }

  private:
    std::string render(const StacItem& item) const override { return PrettyItem(item); }
    void prepareAside(PreparedItem& prepared, std::int32_t number) override;
    std::optional<Error> place(PreparedItem& prepared, const std::string& writtenAs) override;
    std::optional<Error> finishItems() override;
    std::optional<Error> writeItem(const PreparedItem& prepared);
    std::optional<Error> fixIds();
    std::optional<Error> writeCollection();
    void giveEarlierAttributes();
    std::optional<Error> moveIntoPlace(bool replace);

    // Removed with everything in it unless it was moved into place.
    ScratchFolder m_scratch;
    // The scratch folder, for the reading threads to write items into; -1 until made.
    std::atomic<int> m_scratchFd{-1};
    bool m_replacing = false;
};

std::optional<Error> StaticCatalogue::plan() {
    if (auto error = StacOutput::plan())
        return error;
    // Replacing the folder of the scenes, or one that holds it, would take them along.
    if (m_sceneFolder == m_outputPath || m_sceneFolder.starts_with(m_outputPath + "/") ||
        m_outputPath == "/")
        return Error{EINVAL,
                     "The catalogue cannot take the place of the folder its scenes are in: " +
                         m_options.outputPath,
                     "Name a folder for the catalogue outside the scene folder.", ErrorKind::Other};
    return std::nullopt;
}

std::optional<Error> StaticCatalogue::start(const SceneRunHost& host) {
    hearStopsOf(host);
    // A run that was killed left its scratch folder here.
    RemoveStaleScratch(m_outputFolder, [&host] { return !host.cancelRequestedOnAnyThread(); });
    if (auto error = CheckEarlierCatalogue(m_outputPath, m_options.outputPath,
                                           m_options.overwrite, m_replacing))
        return error;
    if (auto error = m_scratch.create(m_outputFolder, m_options.outputPath))
        return error;
    // Items the reading threads prepared before this are written in their turn.
    m_scratchFd.store(m_scratch.fd());
    return std::nullopt;
}

// The reading threads create the items' folders and files, the larger part of a static
// catalogue's time, beside the run's own thread; that one then only renames each folder
// to its item's id in list order.
void StaticCatalogue::prepareAside(PreparedItem& prepared, std::int32_t number) {
    const int scratchFd = m_scratchFd.load();
    if (scratchFd < 0)
        return;
    std::string aside = ItemFolderAside(number);
    const std::string file = aside + "/" + prepared.item.id + ".json";
    if (::mkdirat(scratchFd, aside.c_str(), 0777) != 0)
        prepared.asideErrno = errno;
    else
        prepared.asideErrno = WriteNewFileAt(scratchFd, file, prepared.json);
    prepared.aside = std::move(aside);
}

std::optional<Error> StaticCatalogue::writeItem(const PreparedItem& prepared) {
    const std::string& folder = prepared.item.id;
    if (::mkdirat(m_scratch.fd(), folder.c_str(), 0777) != 0)
        return SystemError(errno, m_options.outputPath + "/" + folder);
    if (const int err =
            WriteNewFileAt(m_scratch.fd(), folder + "/" + folder + ".json", prepared.json))
        return SystemError(err, m_options.outputPath + "/" + folder);
    return std::nullopt;
}

// Puts an item that a reading thread wrote aside in its folder, named for the id the run
// gave it, writing the file again when it was written with another id.
std::optional<Error> StaticCatalogue::place(PreparedItem& prepared, const std::string& writtenAs) {
    if (prepared.aside.empty())
        return writeItem(prepared);
    const int scratchFd = m_scratch.fd();
    const std::string& id = prepared.item.id;
    const std::string where = m_options.outputPath + "/" + id;
    if (prepared.asideErrno != 0)
        return SystemError(prepared.asideErrno, where);
    if (prepared.rendered) {
        const std::string before =
            prepared.aside + "/" + (writtenAs.empty() ? id : writtenAs) + ".json";
        if (::unlinkat(scratchFd, before.c_str(), 0) != 0)
            return SystemError(errno, where);
        if (const int err =
                WriteNewFileAt(scratchFd, prepared.aside + "/" + id + ".json", prepared.json))
            return SystemError(err, where);
    }
    if (::renameat(scratchFd, prepared.aside.c_str(), scratchFd, id.c_str()) != 0)
        return SystemError(errno, where);
    return std::nullopt;
}

// Items whose id changed at the end are moved aside first, so that an id one gives up
// while another takes it never meets itself, then each is written again with its id and
// moved to its own folder.
std::optional<Error> StaticCatalogue::fixIds() {
    std::size_t count = 0;
    const std::vector<bool> changed = changedItems(count);
    if (count == 0)
        return std::nullopt;
    const int scratchFd = m_scratch.fd();
    const auto aside = [](std::size_t item) { return ".item-" + std::to_string(item); };
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (changed[i] && ::renameat(scratchFd, std::string(m_ids.provisionalId(i)).c_str(),
                                     scratchFd, aside(i).c_str()) != 0)
            return SystemError(errno, m_options.outputPath);
    }
    std::string json, fixed;
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (!changed[i])
            continue;
        const std::string folder = aside(i);
        const std::string before = folder + "/" + std::string(m_ids.provisionalId(i)) + ".json";
        const std::string id(m_ids.finalId(i));
        if (const int err = ReadWholeFileAt(scratchFd, before, kMaxMetadataBytes, json))
            return SystemError(err, m_options.outputPath);
        if (!ReplaceItemId(json, id, true, fixed))
            return Error{EIO, "An item written to " + m_options.outputPath + " reads back wrong",
                         "Nothing was changed. Check the disk, then try again."};
        if (const int err = WriteNewFileAt(scratchFd, folder + "/" + id + ".json", fixed))
            return SystemError(err, m_options.outputPath);
        if (::unlinkat(scratchFd, before.c_str(), 0) != 0 ||
            ::renameat(scratchFd, folder.c_str(), scratchFd, id.c_str()) != 0)
            return SystemError(errno, m_options.outputPath);
    }
    return std::nullopt;
}

std::optional<Error> StaticCatalogue::writeCollection() {
    UniqueFd fd(::openat(m_scratch.fd(), std::string(kCollectionFile).c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd)
        return SystemError(errno, m_options.outputPath);
    {
        FdStreamBuf buffer(fd.get());
        std::ostream out(&buffer);
        WriteCollectionDocument(out, m_collection, m_ids.size(),
                                [this](std::size_t item) { return ItemHref(m_ids.finalId(item)); });
        out.flush();
        if (buffer.failedErrno() != 0)
            return SystemError(buffer.failedErrno(), m_options.outputPath);
        if (!out)
            return SystemError(EIO, m_options.outputPath);
    }
    if (::close(fd.release()) != 0)
        return SystemError(errno, m_options.outputPath);
    return std::nullopt;
}

std::optional<Error> StaticCatalogue::finishItems() {
    // What the ids' files failed at explains a fix that went wrong better than the fix.
    if (auto error = fixIds())
        return m_ids.error() ? m_ids.error() : error;
    if (auto error = writeCollection())
        return error;
    if (const auto& error = m_ids.error())
        return *error;
    // One flush of the whole file system rather than one per file: a hundred thousand
    // fsyncs would take many times as long as writing the files.
    if (::syncfs(m_scratch.fd()) != 0)
        return SystemError(errno, m_options.outputPath);
    return std::nullopt;
}

// The new folder takes what the earlier one had, as a replaced file does: owner and
// group where this user may give them, mode, access lists and user attributes. A new
// folder gets the mode mkdir would have given it.
void StaticCatalogue::giveEarlierAttributes() {
    const UniqueFd parent(::open(m_outputFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::optional<FileAttributes> earlier =
        parent ? FileAttributes::readFolder(parent.get(), m_outputName.c_str()) : std::nullopt;
    if (earlier)
        earlier->giveTo(m_scratch.fd());
    else
        ::fchmod(m_scratch.fd(), NewFolderMode());
}

std::optional<Error> StaticCatalogue::moveIntoPlace(bool replace) {
    std::string keptAt;
    const std::function<bool(int)> keep = [this](int earlierFd) {
        std::string what;
        if (WhatAsterDidNotWrite(earlierFd, m_options.outputPath, what))
            return true; // what cannot be read is never removed
        return !what.empty();
    };
    std::optional<Error> moved = m_scratch.moveTo(m_outputName, replace, m_options.outputPath,
                                                  keep, &keptAt);
    if (moved || keptAt.empty())
        return moved;
    return Error{ENOTEMPTY,
                 "The new catalogue is at " + m_options.outputPath +
                     ", but files that aster does not write were put in the earlier one while "
                     "the run worked, so it was not removed: it is kept whole at " + keptAt,
                 "Move what you need out of it, then remove it.", ErrorKind::Other};
}

std::optional<Error> StaticCatalogue::publish(SceneRunHost& /*host*/) {
    if (m_replacing)
        giveEarlierAttributes();
    else
        ::fchmod(m_scratch.fd(), NewFolderMode());
    std::optional<Error> moved = moveIntoPlace(m_replacing);
    if (moved && !m_replacing && (moved->code == EEXIST || moved->code == ENOTEMPTY)) {
        // Made while this run worked: judged as if it had been there from the start,
        // refused with the same advice, or replaced with --overwrite when it may be.
        bool exists = false;
        if (auto error = CheckEarlierCatalogue(m_outputPath, m_options.outputPath,
                                               m_options.overwrite, exists))
            return error;
        if (exists) {
            giveEarlierAttributes();
            moved = moveIntoPlace(true);
        }
    }
    return moved;
}

} // namespace

std::unique_ptr<StacOutput> MakeStaticCatalogue(const std::string& folderPrefix,
                                                const StacOptions& options) {
    return std::make_unique<StaticCatalogue>(folderPrefix, options);
}

} // namespace aster
