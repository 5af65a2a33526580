// The preferences window's rules.
#include "screens/PreferencesWindowPresenter.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "platform/NotificationCenter.h"

namespace qv::screens {
namespace {

std::string number(double v) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

// Reads the numbers of a text form in order, ignoring braces, commas and spaces.
std::vector<double> numbersIn(const std::string& text) {
  std::vector<double> out;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    if (*p == '{' || *p == '}' || *p == ',' || *p == ' ') {
      ++p;
      continue;
    }
    double v = 0;
    auto [next, ec] = std::from_chars(p, end, v);
    if (ec != std::errc()) return {};
    out.push_back(v);
    p = next;
  }
  return out;
}

}  // namespace

std::string stringFromPoint(PointF p) { return "{" + number(p.x) + ", " + number(p.y) + "}"; }
std::string stringFromRect(RectF r) {
  return "{" + stringFromPoint(r.origin) + ", {" + number(r.size.width) + ", " + number(r.size.height) + "}}";
}
std::optional<PointF> pointFromString(const std::string& text) {
  auto v = numbersIn(text);
  if (v.size() != 2) return std::nullopt;
  return PointF{v[0], v[1]};
}
std::optional<RectF> rectFromString(const std::string& text) {
  auto v = numbersIn(text);
  if (v.size() != 4) return std::nullopt;
  return RectF{{v[0], v[1]}, {v[2], v[3]}};
}

PreferencesWindowPresenter::PreferencesWindowPresenter(std::vector<PreferencePane> panes, std::string title,
                                                       qv::Settings& settings)
    : panes_(std::move(panes)), title_(std::move(title)), settings_(settings), minimumSizes_(panes_.size()) {}

std::vector<std::string> PreferencesWindowPresenter::toolbarItemIdentifiers() const {
  std::vector<std::string> ids;
  for (const auto& pane : panes_) ids.push_back(pane.isPlaceholder() ? kFlexibleSpace : pane.identifier);
  return ids;
}

std::optional<std::size_t> PreferencesWindowPresenter::indexOfIdentifier(const std::string& identifier) const {
  for (std::size_t i = 0; i < panes_.size(); ++i)
    if (!panes_[i].isPlaceholder() && panes_[i].identifier == identifier) return i;
  return std::nullopt;
}

std::optional<std::size_t> PreferencesWindowPresenter::firstPaneIndex() const {
  for (std::size_t i = 0; i < panes_.size(); ++i)
    if (!panes_[i].isPlaceholder()) return i;
  return std::nullopt;
}

std::optional<std::size_t> PreferencesWindowPresenter::initialSelection() const {
  if (auto stored = settings_.stringForKey(kSelectedKey))
    if (auto index = indexOfIdentifier(*stored)) return index;
  return firstPaneIndex();
}

std::optional<PointF> PreferencesWindowPresenter::storedTopLeft() const {
  auto text = settings_.stringForKey(kTopLeftKey);
  return text ? pointFromString(*text) : std::nullopt;
}

std::string PreferencesWindowPresenter::windowTitle() const {
  if (!title_.empty() || !selected_) return title_;
  return panes_[*selected_].label;
}

std::optional<PreferencesWindowPresenter::PaneLayout> PreferencesWindowPresenter::select(std::size_t index) {
  if (index >= panes_.size() || panes_[index].isPlaceholder() || selected_ == index) return std::nullopt;
  const PreferencePane& pane = panes_[index];
  selected_ = index;
  settings_.setValue(kSelectedKey, pane.identifier);

  // The first showing in this window's life fixes the pane's minimum at its designed size.
  if (!minimumSizes_[index]) minimumSizes_[index] = pane.designedSize;
  const SizeF minimum = *minimumSizes_[index];
  SizeF wanted = pane.designedSize;
  if (auto text = settings_.stringForKey(paneFrameKey(pane.identifier)))
    if (auto saved = rectFromString(*text)) wanted = saved->size;

  PaneLayout layout;
  layout.widthGrows = pane.resizableWidth;
  layout.heightGrows = pane.resizableHeight;
  layout.contentSize.width = pane.resizableWidth && minimum.width <= wanted.width ? wanted.width : minimum.width;
  layout.contentSize.height = pane.resizableHeight && minimum.height <= wanted.height ? wanted.height : minimum.height;
  layout.minimumContentSize = minimum;
  constexpr double unlimited = std::numeric_limits<double>::max();
  SizeF maximum{pane.resizableWidth ? unlimited : layout.contentSize.width,
                pane.resizableHeight ? unlimited : layout.contentSize.height};
  if (!(pane.resizableWidth && pane.resizableHeight)) layout.maximumContentSize = maximum;
  qv::NotificationCenter::defaultCenter().post(kDidChangeViewNotification, this);
  return layout;
}

std::optional<std::size_t> PreferencesWindowPresenter::nextIndex() const {
  if (panes_.empty() || !firstPaneIndex()) return std::nullopt;
  std::size_t i = selected_.value_or(0);
  do i = (i + 1) % panes_.size();
  while (panes_[i].isPlaceholder());
  return i;
}

std::optional<std::size_t> PreferencesWindowPresenter::previousIndex() const {
  if (panes_.empty() || !firstPaneIndex()) return std::nullopt;
  std::size_t i = selected_.value_or(0);
  do i = (i + panes_.size() - 1) % panes_.size();
  while (panes_[i].isPlaceholder());
  return i;
}

void PreferencesWindowPresenter::windowDidMove(PointF topLeft) { settings_.setValue(kTopLeftKey, stringFromPoint(topLeft)); }

void PreferencesWindowPresenter::paneDidResize(SizeF size) {
  if (!selected_) return;
  settings_.setValue(paneFrameKey(panes_[*selected_].identifier), stringFromRect({{0, 0}, size}));
}

}  // namespace qv::screens
