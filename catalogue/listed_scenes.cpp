#include "listed_scenes.h"

#include "list_reader.h"
#include "scene_reader.h"

namespace aster {

class ListedScenes::Impl {
  public:
    explicit Impl(ReadAheadSettings settings) : m_settings(settings) {}

    ReadAheadSettings m_settings;
    ListReader m_list;
    SceneFileReader m_reader;
    std::string m_prefix;
    std::string m_line;
    std::string m_fullPath;
    std::int64_t m_total = 0;
    std::int32_t m_counter = 0;
    std::optional<Error> m_error;
};

ListedScenes::ListedScenes(ReadAheadSettings settings)
    : m_impl(std::make_unique<Impl>(settings)) {}

ListedScenes::~ListedScenes() = default;

std::optional<Error> ListedScenes::open(const std::string& folderPrefix) {
    m_impl->m_prefix = folderPrefix;
    return m_impl->m_list.open(folderPrefix + "filelist.txt");
}

std::int64_t ListedScenes::total() const {
    return m_impl->m_total;
}

bool ListedScenes::next(ListedScene& scene) {
    Impl& d = *m_impl;
    if (d.m_error || d.m_list.atEnd()) {
        if (d.m_list.error())
            d.m_error = d.m_list.error();
        return false;
    }
    ++d.m_counter;
    d.m_list.readLine(d.m_line);
    if (d.m_list.error()) {
        d.m_error = d.m_list.error();
        return false;
    }
    d.m_fullPath = d.m_prefix;
    d.m_fullPath += d.m_line;
    scene.number = d.m_counter;
    scene.fullPath = d.m_fullPath;
    scene.text = d.m_reader.read(d.m_fullPath);
    return true;
}

const std::optional<Error>& ListedScenes::error() const {
    return m_impl->m_error;
}

} // namespace aster
