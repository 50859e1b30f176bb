#include "readahead/listed_names.h"

#include "fileio/ascii.h"

#include <algorithm>
#include <functional>

namespace aster {

namespace {

// `find .` writes "./X.met" where a listing writes "X.met": one name either way.
std::string_view WithoutDotSlashes(std::string_view line) {
    while (line.starts_with("./"))
        line.remove_prefix(2);
    return line;
}

} // namespace

ListedNames::ListedNames(std::string folderPrefix, ListOptions list,
                         std::vector<std::string> endings)
    : m_prefix(std::move(folderPrefix)), m_list(std::move(list)),
      m_endings(std::move(endings)) {}

bool ListedNames::contains(std::string_view fullPath) {
    std::call_once(m_read, [this] { read(); });
    if (!fullPath.starts_with(m_prefix))
        return false;
    const std::size_t hash =
        std::hash<std::string_view>{}(WithoutDotSlashes(fullPath.substr(m_prefix.size())));
    return std::binary_search(m_hashes.begin(), m_hashes.end(), hash);
}

void ListedNames::read() {
    ListReader reader(1 << 16, m_list.lineFeedEnds);
    if (reader.open(ListPath(m_prefix, m_list.path)))
        return;
    std::string line;
    while (!reader.atEnd()) {
        reader.readLine(line);
        if (std::any_of(m_endings.begin(), m_endings.end(), [&line](const std::string& end) {
                return EndsWithNoCase(line, end);
            }))
            m_hashes.push_back(std::hash<std::string_view>{}(WithoutDotSlashes(line)));
    }
    if (reader.error())
        m_hashes.clear(); // a list read in part would name some files and not others
    std::sort(m_hashes.begin(), m_hashes.end());
}

} // namespace aster
