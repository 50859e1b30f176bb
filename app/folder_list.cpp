#include "folder_list.h"

#include "folder.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace aster {

namespace {

constexpr int kIndent = 8;

class IndentDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem indented(option);
        indented.rect.adjust(index.data(FolderList::DepthRole).toInt() * kIndent, 0, 0, 0);
        QStyledItemDelegate::paint(painter, indented, index);
    }
};

bool IsFolder(int dirFd, const dirent& entry) {
    if (entry.d_type == DT_DIR)
        return true;
    if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN)
        return false;
    struct stat info {};
    return ::fstatat(dirFd, entry.d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}

std::optional<Error> ReadSubfolders(const std::string& folder, std::vector<std::string>& names) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir)
        return SystemError(errno, folder);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0)
                return SystemError(errno, folder);
            break;
        }
        if (entry->d_name[0] != '.' && IsFolder(::dirfd(dir.get()), *entry))
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return std::nullopt;
}

std::string ChildPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

} // namespace

std::string NormalFolderPath(const std::string& path) {
    std::vector<char> cwd(4096);
    const bool known = ::getcwd(cwd.data(), cwd.size()) != nullptr;
    return NormalFolderPath(path, known ? std::string_view(cwd.data()) : std::string_view());
}

FolderList::FolderList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemDoubleClicked, this, &FolderList::openItem);
}

std::optional<Error> FolderList::setPath(const std::string& folder) {
    const std::string normal = NormalFolderPath(folder);
    std::vector<std::string> subfolders;
    if (auto error = ReadSubfolders(normal, subfolders))
        return error;

    m_path = normal;
    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    const auto add = [this](const std::string& path, const QString& text, int depth,
                            const QIcon& icon) {
        auto* item = new QListWidgetItem(icon, text, this);
        item->setData(PathRole, QByteArray::fromStdString(path));
        item->setData(DepthRole, depth);
        return item;
    };

    add("/", QStringLiteral("/"), 0, openIcon);
    int depth = 0;
    std::size_t pos = 1;
    QListWidgetItem* openItem = item(0);
    while (pos < m_path.size()) {
        std::size_t next = m_path.find('/', pos);
        if (next == std::string::npos)
            next = m_path.size();
        ++depth;
        openItem = add(m_path.substr(0, next),
                       QFile::decodeName(QByteArray::fromStdString(m_path.substr(pos, next - pos))),
                       depth, openIcon);
        pos = next + 1;
    }
    QFont bold = openItem->font();
    bold.setBold(true);
    openItem->setFont(bold);
    for (const std::string& name : subfolders)
        add(ChildPath(m_path, name), QFile::decodeName(QByteArray::fromStdString(name)), depth + 1,
            closedIcon);
    setCurrentItem(openItem);
    scrollToItem(openItem);
    return std::nullopt;
}

void FolderList::openItem(QListWidgetItem* item) {
    if (item == nullptr)
        return;
    const std::string target = item->data(PathRole).toByteArray().toStdString();
    if (auto error = setPath(target)) {
        emit openFailed(*error);
        return;
    }
    emit pathChanged();
}

void FolderList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        openItem(currentItem());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

} // namespace aster
