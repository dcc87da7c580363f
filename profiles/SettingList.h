// One setting list of the main window as plain model state: ordered display texts and one
// selected index. The GUI binds a drop-down widget to it; the profile code reads and writes it.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

class TSettingList {
 public:
  TSettingList() = default;
  // Items in order; selects `selected` (see Select).
  TSettingList(std::span<const std::string_view> items, int selected);

  // Replaces all items and selects `selected` (see Select).
  void Assign(std::span<const std::string_view> items, int selected);
  void Clear();
  void Add(std::string_view item);

  // Selects the item at `index`; an index that names no item leaves the list with no selection.
  void Select(int index);
  // Selects the first item equal to `text` (whole text, case-sensitive). Returns false and keeps
  // the current selection when there is none.
  bool SelectText(std::string_view text);
  // Index of the first item equal to `text`, or -1.
  int IndexOf(std::string_view text) const;

  int ItemIndex() const { return selected_; }  // -1: no selection
  int Count() const { return static_cast<int>(items_.size()); }
  const std::vector<std::string>& Items() const { return items_; }
  // The selected item's text; the empty text when nothing is selected.
  const std::string& Text() const;

  // Widget properties the window logic sets; the model only stores them.
  bool Enabled = true;
  int DropDownCount = 8;

 private:
  std::vector<std::string> items_;
  int selected_ = -1;
};
