#include "ui/qt_status_list.h"

#include <QAbstractListModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ui/qt_text.h"

namespace varnolt {

// The log's lines as bytes. The view sees the first `announced_` of them;
// lines added after the last Announce() exist for the program but not yet for
// the view, which keeps per-line model notifications (and the relayout each
// one schedules) off the scan's path.
class StatusLineModel : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : announced_;
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= announced_) return {};
    const std::string& line = Line(index.row());
    return DecodeText(line);
  }

  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& Line(int index) const { return *lines_[static_cast<size_t>(index)]; }

  void Append(std::string_view text) {
    // A scan logs the same two texts for every link: each line refers to one
    // shared copy of its text, found without hashing when it is one of the
    // last two.
    const std::string* shared = nullptr;
    for (const std::string* recent : recent_texts_) {
      if (recent && *recent == text) shared = recent;
    }
    if (!shared) {
      auto found = texts_.find(text);
      if (found == texts_.end()) found = texts_.emplace(text).first;
      shared = &*found;
      recent_texts_[1] = recent_texts_[0];
      recent_texts_[0] = shared;
    }
    lines_.push_back(shared);
  }

  void Erase(int index) {
    if (index < announced_) {
      beginRemoveRows(QModelIndex(), index, index);
      lines_.erase(lines_.begin() + index);
      --announced_;
      endRemoveRows();
    } else {
      lines_.erase(lines_.begin() + index);
    }
  }

  // Tells the view of every line added since the last call, in one insertion.
  void Announce() {
    const int count = static_cast<int>(lines_.size());
    if (count == announced_) return;
    beginInsertRows(QModelIndex(), announced_, count - 1);
    announced_ = count;
    endInsertRows();
  }

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  // The distinct texts ever logged; the few stage texts of each scan add up
  // to little.
  std::unordered_set<std::string, TextHash, std::equal_to<>> texts_;
  const std::string* recent_texts_[2] = {nullptr, nullptr};
  std::vector<const std::string*> lines_;
  int announced_ = 0;
};

QtStatusList::QtStatusList(QWidget* parent, std::function<void()> on_user_select)
    : view_(new QTableView(parent)),
      model_(new StatusLineModel(view_)),
      on_user_select_(std::move(on_user_select)) {
  view_->setModel(model_);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // A list: one column as wide as the view, rows of one line's height,
  // neither headers nor grid, and Tab leaves it as it leaves any control.
  // A table rather than a list view because a list view lays out every row
  // anew whenever rows are added (a tenth of the time of a large scan in
  // the window), while a table's rows are fixed-size sections of its header.
  view_->horizontalHeader()->hide();
  view_->horizontalHeader()->setStretchLastSection(true);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setMinimumSectionSize(1);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 2);
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  view_->setTabKeyNavigation(false);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setTextElideMode(Qt::ElideNone);
  // The log has no horizontal extent to scroll to; a horizontal bar would
  // cover half of its two visible lines.
  view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  QObject::connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, view_,
                   [this] { OnViewSelectionChanged(); });
  QObject::connect(view_, &QAbstractItemView::doubleClicked, view_, [this] {
    if (!programmatic_) on_user_select_();
  });
}

QtStatusList::~QtStatusList() = default;

void QtStatusList::Add(std::string_view text) { model_->Append(text); }

int QtStatusList::Count() const { return model_->Count(); }

std::string QtStatusList::Text(int index) const {
  if (index < 0 || index >= Count()) return {};
  return model_->Line(index);
}

void QtStatusList::Remove(int index) {
  if (index < 0 || index >= Count()) return;
  programmatic_ = true;
  model_->Erase(index);
  programmatic_ = false;
  if (index == selected_) {
    selected_ = -1;
    selection_dirty_ = true;
  } else if (index < selected_) {
    --selected_;
  }
}

void QtStatusList::Select(int index) {
  selected_ = index >= 0 && index < Count() ? index : -1;
  selection_dirty_ = true;
}

void QtStatusList::Sync() {
  programmatic_ = true;
  model_->Announce();
  if (selection_dirty_) {
    selection_dirty_ = false;
    QItemSelectionModel* selection = view_->selectionModel();
    if (selected_ < 0) {
      selection->clear();
    } else {
      const QModelIndex index = model_->index(selected_);
      selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
      view_->scrollTo(index);
    }
  }
  programmatic_ = false;
}

void QtStatusList::OnViewSelectionChanged() {
  if (programmatic_) return;
  const QModelIndexList rows = view_->selectionModel()->selectedIndexes();
  selected_ = rows.isEmpty() ? -1 : rows.first().row();
  on_user_select_();
}

}  // namespace varnolt
