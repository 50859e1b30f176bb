#pragma once

#include "error.h"

#include <QListWidget>
#include <optional>
#include <string>

namespace aster {

// The folder list: the open folder's ancestors from the root down, the open folder
// (marked), then its subfolders, indented by depth. Its path is the open folder. A
// single click or the arrow keys only highlight an entry; a double click or Enter opens
// it. Everything is read synchronously: the tree is small and the run is single-threaded.
class FolderList : public QListWidget {
    Q_OBJECT

  public:
    explicit FolderList(QWidget* parent = nullptr);

    // The open folder as bytes, exactly as the file system names it.
    const std::string& path() const { return m_path; }
    // Opens `folder`. On failure the list keeps its path and entries.
    std::optional<Error> setPath(const std::string& folder);

    static constexpr int PathRole = Qt::UserRole;
    static constexpr int DepthRole = Qt::UserRole + 1;

  signals:
    // The user opened an entry that cannot be read.
    void openFailed(const aster::Error& error);
    // The user opened an entry and the path changed.
    void pathChanged();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void openItem(QListWidgetItem* item);

    std::string m_path;
};

// The folder's path in normal form: absolute, no "." or empty components, no trailing
// separator except for the root.
std::string NormalFolderPath(const std::string& path);

} // namespace aster
