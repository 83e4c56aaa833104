#include <algorithm>

#include "platform/export_guard.h"
#include "platform/ui/model.h"

namespace zyp::platform::ui::detail {
namespace {

// Dialog units to pixels for a 6 x 13 pixel dialog font.
constexpr int kPixelsPer4UnitsX = 6;
constexpr int kPixelsPer8UnitsY = 13;

constexpr char kMask[] = "****";

bool is_item_kind(ControlKind kind) {
  return kind == ControlKind::Combo || kind == ControlKind::List || kind == ControlKind::ListView ||
         kind == ControlKind::Tab;
}

std::string flag(bool on) { return on ? "1" : "0"; }

std::string id_text(uint32_t id) { return std::to_string(id); }

}  // namespace

std::string plain(std::string_view text) {
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    else if (text[i] == '&') continue;
    shown += text[i];
  }
  return shown;
}

bool Control::holds_items() const { return is_item_kind(kind); }

bool Control::holds_text() const {
  switch (kind) {
    case ControlKind::Static:
    case ControlKind::Edit:
    case ControlKind::Button:
    case ControlKind::Check:
    case ControlKind::Radio:
    case ControlKind::Group:
      return true;
    default:
      return false;
  }
}

std::string Control::shown_text() const { return is_password() && !text.empty() ? kMask : text; }

ModelWindow::ModelWindow(ModelHost& host, const DialogTemplate& dialog, DialogHandler& handler, WindowRole role,
                         Window* owner, bool visible, uint32_t handle)
    : host_(host),
      handler_(handler),
      role_(role),
      owner_(owner),
      handle_(handle),
      thread_(std::this_thread::get_id()),
      key_(dialog.key),
      id_(dialog_name(dialog.key)),
      caption_(dialog.caption),
      rect_{0, 0, dialog.width * kPixelsPer4UnitsX / 4, dialog.height * kPixelsPer8UnitsY / 8},
      width_units_(dialog.width),
      height_units_(dialog.height),
      visible_(visible) {
  controls_.reserve(dialog.controls.size());
  for (const ControlTemplate& source : dialog.controls) {
    Control control;
    control.id = source.id;
    control.kind = source.kind;
    control.styles = source.styles;
    control.text = source.text;
    control.enabled = !source.has(kStyleDisabled);
    control.visible = !source.has(kStyleHidden);
    control.checked = source.has(kStyleChecked);
    control.limit = source.limit;
    control.position = source.position;
    controls_.push_back(std::move(control));
  }
}

bool ModelWindow::alive() const { return alive_.load(); }

Control* ModelWindow::find(uint32_t control) {
  if (!alive()) return nullptr;
  for (Control& c : controls_) {
    if (c.id == control) return &c;
  }
  return nullptr;
}

const Control* ModelWindow::find(uint32_t control) const { return const_cast<ModelWindow*>(this)->find(control); }

bool ModelWindow::on_screen() const {
  if (!alive() || !visible_) return false;
  if (role_ != WindowRole::Child || !owner_) return true;
  return owner_->visible();
}

bool ModelWindow::set_caption(std::string_view caption) {
  return alive() && guarded(false, [&] {
           caption_ = caption;
           return true;
         });
}

std::string ModelWindow::caption() const {
  return guarded(std::string(), [&] { return caption_; });
}

bool ModelWindow::end(int result) {
  if (!alive()) return false;
  if (role_ != WindowRole::Modal) {
    host_.destroy_window(*this);
    return true;
  }
  if (!ended_) {
    ended_ = true;
    result_ = result;
  }
  return true;
}

bool ModelWindow::destroy() {
  if (role_ == WindowRole::Modal) return end(kIdCancel);
  if (!alive()) return false;
  host_.destroy_window(*this);
  return true;
}

bool ModelWindow::set_visible(bool visible) {
  if (!alive()) return false;
  visible_ = visible;
  return true;
}

void ModelWindow::repaint() {
  if (on_screen()) deliver_paint();
}

bool ModelWindow::move_to(int x, int y) {
  if (!alive()) return false;
  rect_.x = x;
  rect_.y = y;
  return true;
}

bool ModelWindow::post_command(uint32_t control, uint32_t notification) {
  return alive() && guarded(false, [&] {
           host_.post(*this, control, notification);
           return true;
         });
}

bool ModelWindow::set_timer(uint32_t timer, uint32_t period_ms) {
  if (!alive()) return false;
  return guarded(false, [&] {
    uint32_t period = std::max<uint32_t>(period_ms, 1);
    timers_[timer] = Timer{period, host_.now_ms() + period};
    return true;
  });
}

bool ModelWindow::kill_timer(uint32_t timer) { return alive() && timers_.erase(timer) == 1; }

std::optional<ControlKind> ModelWindow::control_kind(uint32_t control) const {
  const Control* c = find(control);
  if (!c) return std::nullopt;
  return c->kind;
}

bool ModelWindow::set_text(uint32_t control, std::string_view text) {
  Control* c = find(control);
  if (!c) return false;
  bool stored = guarded(false, [&] {
    c->text = text;
    return true;
  });
  if (stored && c->kind == ControlKind::Edit && !c->has(kStyleMultiline)) deliver_command(control, kEditChanged);
  return stored;
}

std::string ModelWindow::text(uint32_t control) const {
  const Control* c = find(control);
  return c ? guarded(std::string(), [&] { return c->text; }) : std::string();
}

bool ModelWindow::enable(uint32_t control, bool enabled) {
  Control* c = find(control);
  if (!c) return false;
  c->enabled = enabled;
  return true;
}

bool ModelWindow::enabled(uint32_t control) const {
  const Control* c = find(control);
  return c && c->enabled;
}

bool ModelWindow::show(uint32_t control, bool shown) {
  Control* c = find(control);
  if (!c) return false;
  c->visible = shown;
  return true;
}

bool ModelWindow::shown(uint32_t control) const {
  const Control* c = find(control);
  return c && c->visible;
}

bool ModelWindow::set_focus(uint32_t control) {
  if (!find(control)) return false;
  focus_ = control;
  return true;
}

bool ModelWindow::set_limit(uint32_t control, uint32_t limit) {
  Control* c = find(control);
  if (!c || c->kind != ControlKind::Edit) return false;
  c->limit = limit;
  return true;
}

void ModelWindow::check_radio(Control& radio) {
  auto at = controls_.begin() + (&radio - controls_.data());
  for (auto it = at; it != controls_.end() && it->kind == ControlKind::Radio; ++it) it->checked = false;
  for (auto it = at; it->kind == ControlKind::Radio; --it) {
    it->checked = false;
    if (it == controls_.begin()) break;
  }
  radio.checked = true;
}

bool ModelWindow::set_checked(uint32_t control, bool checked) {
  Control* c = find(control);
  if (!c || (c->kind != ControlKind::Check && c->kind != ControlKind::Radio)) return false;
  if (c->kind == ControlKind::Radio && checked) {
    check_radio(*c);
  } else {
    c->checked = checked;
  }
  return true;
}

bool ModelWindow::checked(uint32_t control) const {
  const Control* c = find(control);
  return c && c->checked;
}

bool ModelWindow::set_progress(uint32_t control, int percent) {
  Control* c = find(control);
  if (!c || c->kind != ControlKind::Progress) return false;
  c->percent = std::clamp(percent, 0, 100);
  return true;
}

int ModelWindow::progress(uint32_t control) const {
  const Control* c = find(control);
  return c && c->kind == ControlKind::Progress ? c->percent : 0;
}

bool ModelWindow::set_picture(uint32_t control, std::string_view picture) {
  if (control == 0) {
    return alive() && guarded(false, [&] {
             window_picture_ = picture;
             return true;
           });
  }
  Control* c = find(control);
  return c && guarded(false, [&] {
           c->picture = picture;
           return true;
         });
}

std::string ModelWindow::picture(uint32_t control) const {
  return guarded(std::string(), [&] {
    if (control == 0) return window_picture_;
    const Control* c = find(control);
    return c ? c->picture : std::string();
  });
}

int ModelWindow::add_item(uint32_t control, std::string_view text, int64_t data) {
  return insert_item(control, -1, text, data);
}

int ModelWindow::insert_item(uint32_t control, int index, std::string_view text, int64_t data) {
  Control* c = find(control);
  if (!c || !c->holds_items()) return -1;
  return guarded(-1, [&] {
    ListItem item;
    item.texts.assign(std::max<size_t>(c->columns.size(), 1), std::string());
    item.texts[0] = text;
    item.data = data;
    size_t at = index < 0 || static_cast<size_t>(index) > c->items.size() ? c->items.size() : index;
    c->items.insert(c->items.begin() + at, std::move(item));
    return static_cast<int>(at);
  });
}

bool ModelWindow::set_item_text(uint32_t control, int index, int column, std::string_view text) {
  Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size() || column < 0) {
    return false;
  }
  size_t columns = c->kind == ControlKind::ListView ? std::max<size_t>(c->columns.size(), 1) : 1;
  if (static_cast<size_t>(column) >= columns) return false;
  return guarded(false, [&] {
    std::vector<std::string>& texts = c->items[index].texts;
    if (texts.size() <= static_cast<size_t>(column)) texts.resize(column + 1);
    texts[column] = text;
    return true;
  });
}

bool ModelWindow::set_item_data(uint32_t control, int index, int64_t data) {
  Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size()) return false;
  c->items[index].data = data;
  return true;
}

bool ModelWindow::remove_item(uint32_t control, int index) {
  Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size()) return false;
  c->items.erase(c->items.begin() + index);
  return true;
}

bool ModelWindow::clear_items(uint32_t control) {
  Control* c = find(control);
  if (!c || !c->holds_items()) return false;
  c->items.clear();
  return true;
}

int ModelWindow::item_count(uint32_t control) const {
  const Control* c = find(control);
  return c && c->holds_items() ? static_cast<int>(c->items.size()) : 0;
}

std::string ModelWindow::item_text(uint32_t control, int index, int column) const {
  const Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size() || column < 0) {
    return {};
  }
  const std::vector<std::string>& texts = c->items[index].texts;
  return static_cast<size_t>(column) < texts.size() ? guarded(std::string(), [&] { return texts[column]; })
                                                     : std::string();
}

int64_t ModelWindow::item_data(uint32_t control, int index) const {
  const Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size()) return 0;
  return c->items[index].data;
}

bool ModelWindow::select_item(uint32_t control, int index) {
  Control* c = find(control);
  if (!c || !c->holds_items()) return false;
  for (ListItem& item : c->items) item.selected = false;
  if (index == -1) return true;
  if (index < 0 || static_cast<size_t>(index) >= c->items.size()) return false;
  c->items[index].selected = true;
  return true;
}

bool ModelWindow::set_item_selected(uint32_t control, int index, bool selected) {
  Control* c = find(control);
  if (!c || !c->holds_items() || index < 0 || static_cast<size_t>(index) >= c->items.size()) return false;
  if (c->kind != ControlKind::ListView && selected) return select_item(control, index);
  c->items[index].selected = selected;
  return true;
}

int ModelWindow::selected_item(uint32_t control) const {
  const Control* c = find(control);
  if (!c || !c->holds_items()) return -1;
  for (size_t i = 0; i < c->items.size(); ++i) {
    if (c->items[i].selected) return static_cast<int>(i);
  }
  return -1;
}

std::vector<int> ModelWindow::selected_items(uint32_t control) const {
  return guarded(std::vector<int>(), [&] {
    std::vector<int> chosen;
    const Control* c = find(control);
    if (!c || !c->holds_items()) return chosen;
    for (size_t i = 0; i < c->items.size(); ++i) {
      if (c->items[i].selected) chosen.push_back(static_cast<int>(i));
    }
    return chosen;
  });
}

bool ModelWindow::add_column(uint32_t control, std::string_view header, int width, ColumnAlign align) {
  Control* c = find(control);
  if (!c || c->kind != ControlKind::ListView) return false;
  return guarded(false, [&] {
    c->columns.push_back(ListColumn{std::string(header), width, align});
    return true;
  });
}

int ModelWindow::column_count(uint32_t control) const {
  const Control* c = find(control);
  return c && c->kind == ControlKind::ListView ? static_cast<int>(c->columns.size()) : 0;
}

void ModelWindow::deliver_init() {
  auto keep = shared_from_this();
  if (alive()) handler_.on_init(*this);
}

void ModelWindow::deliver_command(uint32_t control, uint32_t notification) {
  auto keep = shared_from_this();
  if (alive()) handler_.on_command(*this, control, notification);
}

void ModelWindow::deliver_timer(uint32_t timer) {
  auto keep = shared_from_this();
  if (alive()) handler_.on_timer(*this, timer);
}

void ModelWindow::deliver_paint() {
  auto keep = shared_from_this();
  if (alive()) handler_.on_paint(*this);
}

void ModelWindow::deliver_destroy() {
  auto keep = shared_from_this();
  if (alive()) handler_.on_destroy(*this);
}

void ModelWindow::mark_dead() {
  timers_.clear();
  alive_.store(false);
}

std::optional<uint64_t> ModelWindow::next_due() const {
  std::optional<uint64_t> first;
  for (const auto& [id, timer] : timers_) {
    if (!first || timer.due < *first) first = timer.due;
  }
  return first;
}

bool ModelWindow::fire_next_timer() {
  auto first = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (first == timers_.end() || it->second.due < first->second.due) first = it;
  }
  if (first == timers_.end()) return false;
  host_.move_clock_to(first->second.due);
  first->second.due += first->second.period;
  deliver_timer(first->first);
  return true;
}

bool ModelWindow::fire_due_timer(uint64_t now) {
  for (auto& [id, timer] : timers_) {
    if (timer.due > now) continue;
    timer.due = now + timer.period;  // ticks missed while busy come as one, as on Windows
    deliver_timer(id);
    return true;
  }
  return false;
}

std::vector<ShownEntry> ModelWindow::shown_entries() const {
  std::vector<ShownEntry> entries;
  entries.push_back({"~caption", "caption " + quote(caption_), true});
  entries.push_back({"~visible", std::string("visible ") + flag(visible_), visible_});
  if (!window_picture_.empty()) entries.push_back({"~picture", "picture 0 " + quote(window_picture_), false});
  for (size_t i = 0; i < controls_.size(); ++i) {
    const Control& c = controls_[i];
    const std::string at = ":" + std::to_string(i);
    const std::string id = id_text(c.id);
    if (c.holds_text()) entries.push_back({"text" + at, "text " + id + " " + quote(c.shown_text()), c.text.empty()});
    entries.push_back({"enable" + at, "enable " + id + " " + flag(c.enabled), c.enabled});
    entries.push_back({"show" + at, "show " + id + " " + flag(c.visible), c.visible});
    if (c.kind == ControlKind::Check || c.kind == ControlKind::Radio) {
      entries.push_back({"check" + at, "check " + id + " " + flag(c.checked), !c.checked});
    }
    if (c.kind == ControlKind::Progress) {
      entries.push_back({"progress" + at, "progress " + id + " " + std::to_string(c.percent), c.percent == 0});
    }
    if (!c.picture.empty()) entries.push_back({"picture" + at, "picture " + id + " " + quote(c.picture), false});
    if (!c.holds_items()) continue;
    if (c.kind == ControlKind::ListView) {
      std::string headers = "columns " + id;
      for (const ListColumn& column : c.columns) headers += " " + quote(column.header);
      entries.push_back({"columns" + at, headers, c.columns.empty()});
      entries.push_back({"rows" + at, "rows " + id + " " + std::to_string(c.items.size()), c.items.empty()});
      for (size_t row = 0; row < c.items.size(); ++row) {
        std::string line = "row " + id + " " + std::to_string(row);
        for (const std::string& text : c.items[row].texts) line += " " + quote(text);
        entries.push_back({"row" + at + ":" + std::to_string(row), line, false});
      }
    } else {
      std::string line = "items " + id;
      for (const ListItem& item : c.items) line += " " + quote(item.texts[0]);
      entries.push_back({"items" + at, line, c.items.empty()});
    }
    std::string selection = "select " + id;
    bool none = true;
    for (size_t row = 0; row < c.items.size(); ++row) {
      if (!c.items[row].selected) continue;
      selection += " " + std::to_string(row);
      none = false;
    }
    if (none) selection += " -1";
    entries.push_back({"select" + at, selection, none});
  }
  return entries;
}

}  // namespace zyp::platform::ui::detail
