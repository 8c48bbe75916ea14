// Control 6 on Qt: the status log as a one-column view over the log's byte
// strings.
// A scan writes hundreds of thousands of lines while no events are processed,
// so the operations work on the strings alone and the view learns of the
// changes in one step, in Sync(), before Qt next processes events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QTableView;
class QWidget;

namespace varnolt {

class StatusLineModel;

class QtStatusList {
 public:
  // Creates the view as a child of `parent`: single selection, items in
  // insertion order, a vertical scroll bar when needed. `on_user_select` runs
  // when the user (not the program) changes the selection or double-clicks an
  // item; it must not call back into this object.
  QtStatusList(QWidget* parent, std::function<void()> on_user_select);
  ~QtStatusList();

  QtStatusList(const QtStatusList&) = delete;
  QtStatusList& operator=(const QtStatusList&) = delete;

  // The view, owned by the parent widget.
  QTableView* view() const { return view_; }

  // Appends `text` as the last item.
  void Add(std::string_view text);

  // The number of items.
  int Count() const;

  // Item `index`, exactly the bytes added; the empty text for an index
  // outside the list.
  std::string Text(int index) const;

  // Deletes item `index`; an index outside the list changes nothing. Removing
  // the selected item leaves no item selected.
  void Remove(int index);

  // Selects item `index` and scrolls it into view once the view is synced;
  // -1, or any index outside the list, clears the selection. No user
  // selection callback results.
  void Select(int index);

  // Brings the view up to date with the items and the selection. Cheap when
  // nothing changed.
  void Sync();

 private:
  void OnViewSelectionChanged();

  QTableView* view_;
  StatusLineModel* model_;  // owned by view_
  std::function<void()> on_user_select_;
  int selected_ = -1;
  bool selection_dirty_ = false;
  // Set while the program changes the view, whose selection signals then do
  // not come from the user.
  bool programmatic_ = false;
};

}  // namespace varnolt
