#include "SettingList.h"

TSettingList::TSettingList(std::span<const std::string_view> items, int selected) {
  Assign(items, selected);
}

void TSettingList::Assign(std::span<const std::string_view> items, int selected) {
  items_.assign(items.begin(), items.end());
  Select(selected);
}

void TSettingList::Clear() {
  items_.clear();
  selected_ = -1;
}

void TSettingList::Add(std::string_view item) {
  items_.emplace_back(item);
}

void TSettingList::Select(int index) {
  selected_ = (index >= 0 && index < Count()) ? index : -1;
}

int TSettingList::IndexOf(std::string_view text) const {
  for (int i = 0; i < Count(); ++i) {
    if (items_[i] == text) return i;
  }
  return -1;
}

bool TSettingList::SelectText(std::string_view text) {
  const int index = IndexOf(text);
  if (index < 0) return false;
  selected_ = index;
  return true;
}

const std::string& TSettingList::Text() const {
  static const std::string kEmpty;
  return selected_ >= 0 ? items_[selected_] : kEmpty;
}
