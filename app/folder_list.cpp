#include "app/folder_list.h"

#include "fileio/folder.h"
#include "listing/folders.h"

#include <QFile>
#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>

namespace aster {

namespace {

constexpr int kIndent = 8;

// Icon, indent and the open folder's bold type follow from an entry's row, so that a
// folder of 200,000 subfolders costs one insertion and no change per entry.
class FolderDelegate : public QStyledItemDelegate {
  public:
    explicit FolderDelegate(FolderList* list)
        : QStyledItemDelegate(list), m_list(list),
          m_openIcon(list->style()->standardIcon(QStyle::SP_DirOpenIcon)),
          m_closedIcon(list->style()->standardIcon(QStyle::SP_DirClosedIcon)) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem indented(option);
        indented.rect.adjust(m_list->depthAt(index.row()) * kIndent, 0, 0, 0);
        QStyledItemDelegate::paint(painter, indented, index);
    }

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const bool open = index.row() <= m_list->openRow();
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->icon = open ? m_openIcon : m_closedIcon;
        option->decorationSize = option->icon.actualSize(option->decorationSize);
        if (index.row() == m_list->openRow()) {
            option->font.setBold(true);
            option->fontMetrics = QFontMetrics(option->font);
        }
    }

  private:
    FolderList* m_list;
    QIcon m_openIcon;
    QIcon m_closedIcon;
};

QString FromBytes(std::string_view bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

} // namespace

FolderList::FolderList(Reader reader, QWidget* parent)
    : QListWidget(parent), m_reader(std::move(reader)) {
    setItemDelegate(new FolderDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemDoubleClicked, this, &FolderList::openItem);
}

std::optional<Error> FolderList::setPath(const std::string& folder) {
    std::string normal;
    if (auto error = NormalFolderPath(folder, normal))
        return error;
    std::vector<std::string> subfolders;
    if (auto error = m_reader(normal, subfolders))
        return error;
    showFolder(normal, std::move(subfolders));
    return std::nullopt;
}

void FolderList::showFolder(const std::string& folder, std::vector<std::string> subfolders) {
    m_path = folder;
    m_subfolders = std::move(subfolders);
    clear();

    QStringList texts;
    texts.reserve(static_cast<qsizetype>(m_subfolders.size()) + 16);
    texts << QStringLiteral("/");
    for (std::size_t pos = 1; pos < m_path.size();) {
        std::size_t next = m_path.find('/', pos);
        if (next == std::string::npos)
            next = m_path.size();
        texts << FromBytes(std::string_view(m_path).substr(pos, next - pos));
        pos = next + 1;
    }
    m_openRow = static_cast<int>(texts.size()) - 1;
    for (const std::string& name : m_subfolders)
        texts << FromBytes(name);
    // One insertion for all: adding the entries one by one takes time that grows faster
    // than their number (16 s for 200,000).
    insertItems(0, texts);
    setCurrentRow(m_openRow);
    scrollToItem(item(m_openRow));
}

std::string FolderList::pathAt(int row) const {
    if (row > m_openRow)
        return JoinPath(m_path, m_subfolders.at(static_cast<std::size_t>(row - m_openRow - 1)));
    std::size_t end = 0;
    for (int depth = 0; depth < row; ++depth) {
        end = m_path.find('/', end + 1);
        if (end == std::string::npos)
            return m_path;
    }
    return row == 0 ? std::string("/") : m_path.substr(0, end);
}

int FolderList::depthAt(int row) const {
    return row <= m_openRow ? row : m_openRow + 1;
}

void FolderList::openItem(QListWidgetItem* item) {
    if (item == nullptr)
        return;
    auto error = setPath(pathAt(row(item)));
    // The list showed the folder, so one that is not there has gone since.
    if (error && (error->code == ENOENT || error->code == ENOTDIR))
        error->kind = ErrorKind::FolderGone;
    if (error && !IsCancellation(*error))
        emit openFailed(*error);
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
