#pragma once

#include "fileio/error.h"

#include <QListWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// The folder list: the open folder's ancestors from the root down, the open folder
// (marked), then its subfolders, indented by depth. Its path is the open folder. A
// single click or the arrow keys only highlight an entry; a double click or Enter opens
// it.
class FolderList : public QListWidget {
    Q_OBJECT

  public:
    // Reads the subfolders of a folder, sorted; returns once they are read or the read was
    // given up.
    using Reader =
        std::function<std::optional<Error>(const std::string& folder, std::vector<std::string>&)>;

    explicit FolderList(Reader reader, QWidget* parent = nullptr);

    // The open folder as bytes, exactly as the file system names it.
    const std::string& path() const { return m_path; }
    // Opens `folder` through the reader. On failure the list keeps its path and entries.
    std::optional<Error> setPath(const std::string& folder);
    // Shows `folder`, in normal form, with these subfolders; reads nothing.
    void showFolder(const std::string& folder, std::vector<std::string> subfolders);

    // The folder an entry opens, and its depth below the root.
    std::string pathAt(int row) const;
    int depthAt(int row) const;
    int openRow() const { return m_openRow; }

  signals:
    // The user opened an entry that cannot be read.
    void openFailed(const aster::Error& error);

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void openItem(QListWidgetItem* item);

    Reader m_reader;
    std::string m_path;
    std::vector<std::string> m_subfolders;
    int m_openRow = 0;
};

} // namespace aster
