#include "platform/lang_module.h"

#include <algorithm>
#include <charconv>
#include <new>

#include "platform/atomic_file.h"

namespace zyp::platform {
namespace {

constexpr uint32_t kLargestId = 65535;
constexpr int kLargestCoordinate = 32767;
// Static labels share this id, as they do in Windows dialog templates.
constexpr uint32_t kAnonymousControlId = 0xFFFF;

struct Token {
  std::string text;
  bool quoted = false;
};

struct ControlKindName {
  ControlKind kind;
  const char* name;
};

constexpr ControlKindName kControlKinds[] = {
    {ControlKind::Static, "static"},     {ControlKind::Edit, "edit"},         {ControlKind::Button, "button"},
    {ControlKind::Check, "check"},       {ControlKind::Radio, "radio"},       {ControlKind::Group, "group"},
    {ControlKind::Combo, "combo"},       {ControlKind::List, "list"},         {ControlKind::ListView, "listview"},
    {ControlKind::Tab, "tab"},           {ControlKind::Progress, "progress"}, {ControlKind::Picture, "picture"},
    {ControlKind::Icon, "icon"},
};

struct StyleName {
  ControlStyle style;
  const char* name;
};

constexpr StyleName kStyles[] = {
    {kStyleDefault, "default"},     {kStylePassword, "password"}, {kStyleNumber, "number"},
    {kStyleReadOnly, "readonly"},   {kStyleMultiline, "multiline"}, {kStyleDisabled, "disabled"},
    {kStyleHidden, "hidden"},       {kStyleChecked, "checked"},
};

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// A failure at the current line; thrown inside the parser only and turned
// into the error text by parse_language_module.
struct SyntaxError {
  std::string what;
};

[[noreturn]] void fail(std::string what) { throw SyntaxError{std::move(what)}; }

char escaped_char(char c) {
  switch (c) {
    case 'n': return '\n';
    case 't': return '\t';
    case '"': return '"';
    case '\\': return '\\';
    default: fail(std::string("unknown escape \\") + c);
  }
}

// Reads a quoted text starting at text[pos] == '"'; pos ends after the closing quote.
std::string read_quoted(std::string_view text, size_t& pos) {
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (++pos == text.size()) break;
      c = escaped_char(text[pos]);
    }
    out += c;
  }
  fail("text without its closing quote");
}

// Splits a line into words and quoted texts; '#' outside quotes starts a comment.
std::vector<Token> tokenize(std::string_view line) {
  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < line.size()) {
    char c = line[pos];
    if (is_blank(c)) {
      ++pos;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      tokens.push_back({read_quoted(line, pos), true});
      if (pos < line.size() && !is_blank(line[pos])) fail("a blank must follow a quoted text");
    } else {
      size_t end = pos;
      while (end < line.size() && !is_blank(line[end]) && line[end] != '"' && line[end] != '#') ++end;
      tokens.push_back({std::string(line.substr(pos, end - pos)), false});
      pos = end;
    }
  }
  return tokens;
}

std::optional<uint32_t> parse_decimal(std::string_view text, uint32_t largest) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), is_digit)) return std::nullopt;
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > largest) return std::nullopt;
  return value;
}

bool is_name(std::string_view text) {
  return !text.empty() && is_name_start(text.front()) && std::all_of(text.begin(), text.end(), is_name_char);
}

// Walks the tokens of one line.
class Cursor {
 public:
  explicit Cursor(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool done() const { return next_ == tokens_.size(); }
  // The next unquoted word, or empty (without consuming) when there is none.
  std::string peek_word() const {
    return done() || tokens_[next_].quoted ? std::string() : tokens_[next_].text;
  }
  std::string word(const char* what) {
    if (done() || tokens_[next_].quoted) fail(std::string("expected ") + what);
    return tokens_[next_++].text;
  }
  std::string text(const char* what) {
    if (done() || !tokens_[next_].quoted) fail(std::string("expected ") + what + " in double quotes");
    return tokens_[next_++].text;
  }
  uint32_t number(const char* what, uint32_t largest) {
    std::string w = word(what);
    auto value = parse_decimal(w, largest);
    if (!value) fail(std::string("expected ") + what + " (0 to " + std::to_string(largest) + "), found " + w);
    return *value;
  }
  int coordinate(const char* what) { return static_cast<int>(number(what, kLargestCoordinate)); }
  std::string resource_id() {
    std::string w = word("a resource number or name");
    if (auto number = parse_decimal(w, kLargestId)) return resource_key(*number);
    if (is_name(w)) return resource_key(w);
    fail("expected a resource number or name, found " + w);
  }
  void keyword(const char* expected) {
    std::string w = word(expected);
    if (w != expected) fail(std::string("expected ") + expected + ", found " + w);
  }
  void finish() {
    if (!done()) fail("unexpected " + tokens_[next_].text + " at the end of the line");
  }

 private:
  std::vector<Token> tokens_;
  size_t next_ = 0;
};

ControlKind control_kind(const std::string& word) {
  for (const auto& entry : kControlKinds)
    if (word == entry.name) return entry.kind;
  fail("unknown control kind " + word);
}

void read_control_styles(Cursor& cursor, ControlTemplate& control) {
  while (!cursor.done()) {
    std::string word = cursor.word("a style word");
    if (word == "limit") {
      control.limit = cursor.number("a character limit", UINT32_MAX);
      continue;
    }
    auto style = std::find_if(std::begin(kStyles), std::end(kStyles),
                              [&](const StyleName& entry) { return word == entry.name; });
    if (style == std::end(kStyles)) fail("unknown style word " + word);
    control.styles |= style->style;
  }
}

class Parser {
 public:
  LanguageModule parse(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_number_;
      parse_line(text.substr(start, end - start));
      start = end + 1;
    }
    if (dialog_) fail("dialog " + dialog_->key + " without its end");
    if (menu_) fail("menu " + menu_->key + " without its end");
    return std::move(module_);
  }

  size_t line_number() const { return line_number_; }

 private:
  void parse_line(std::string_view line) {
    Cursor cursor(tokenize(line));
    if (cursor.done()) return;
    if (dialog_) return dialog_line(cursor);
    if (menu_) return menu_line(cursor);
    top_line(cursor);
  }

  void top_line(Cursor& cursor) {
    std::string what = cursor.word("a statement");
    if (what == "string") return string_line(cursor);
    if (what == "dialog") return dialog_start(cursor);
    if (what == "menu") return menu_start(cursor);
    if (what == "bitmap") return picture_line(cursor, PictureResource::Kind::Bitmap);
    if (what == "icon") return picture_line(cursor, PictureResource::Kind::Icon);
    fail("unknown statement " + what);
  }

  void string_line(Cursor& cursor) {
    uint32_t id = cursor.number("a string number", kLargestId);
    std::string text = cursor.text("the string's text");
    cursor.finish();
    if (!module_.strings.emplace(id, std::move(text)).second) fail("string " + std::to_string(id) + " given twice");
  }

  void dialog_start(Cursor& cursor) {
    DialogTemplate dialog;
    dialog.key = cursor.resource_id();
    dialog.caption = cursor.text("the dialog's caption");
    cursor.keyword("size");
    dialog.width = cursor.coordinate("the dialog's width");
    dialog.height = cursor.coordinate("the dialog's height");
    cursor.finish();
    if (module_.dialogs.count(dialog.key)) fail("dialog " + dialog.key + " given twice");
    dialog_ = std::move(dialog);
  }

  void dialog_line(Cursor& cursor) {
    std::string what = cursor.word("control or end");
    if (what == "end") {
      cursor.finish();
      std::string key = dialog_->key;
      module_.dialogs.emplace(key, std::move(*dialog_));
      dialog_.reset();
      return;
    }
    if (what != "control") fail("expected control or end, found " + what);
    ControlTemplate control;
    control.id = cursor.number("a control id", kLargestId);
    control.kind = control_kind(cursor.word("a control kind"));
    control.text = cursor.text("the control's text");
    cursor.keyword("at");
    control.position.x = cursor.coordinate("x");
    control.position.y = cursor.coordinate("y");
    control.position.width = cursor.coordinate("the width");
    control.position.height = cursor.coordinate("the height");
    read_control_styles(cursor, control);
    if (control.id != kAnonymousControlId && dialog_->control(control.id))
      fail("control " + std::to_string(control.id) + " given twice in one dialog");
    dialog_->controls.push_back(std::move(control));
  }

  void menu_start(Cursor& cursor) {
    MenuTemplate menu;
    menu.key = cursor.resource_id();
    cursor.finish();
    if (module_.menus.count(menu.key)) fail("menu " + menu.key + " given twice");
    menu_ = std::move(menu);
    open_lists_.assign(1, &menu_->items);
  }

  void menu_line(Cursor& cursor) {
    std::string what = cursor.word("item, separator, popup or end");
    std::vector<MenuItem>& list = *open_lists_.back();
    if (what == "end") {
      cursor.finish();
      open_lists_.pop_back();
      if (open_lists_.empty()) {
        std::string key = menu_->key;
        module_.menus.emplace(key, std::move(*menu_));
        menu_.reset();
      }
      return;
    }
    MenuItem item;
    if (what == "separator") {
      item.kind = MenuItem::Kind::Separator;
    } else if (what == "item" || what == "popup") {
      item.kind = what == "item" ? MenuItem::Kind::Command : MenuItem::Kind::Popup;
      if (what == "item") item.id = cursor.number("a command id", kLargestId);
      item.text = cursor.text("the item's text");
      read_menu_flags(cursor, item);
    } else {
      fail("expected item, separator, popup or end, found " + what);
    }
    cursor.finish();
    list.push_back(std::move(item));
    if (list.back().kind == MenuItem::Kind::Popup) open_lists_.push_back(&list.back().children);
  }

  static void read_menu_flags(Cursor& cursor, MenuItem& item) {
    while (!cursor.done()) {
      std::string word = cursor.word("grayed or checked");
      if (word == "grayed") {
        item.grayed = true;
      } else if (word == "checked") {
        item.checked = true;
      } else {
        fail("unknown menu flag " + word);
      }
    }
  }

  void picture_line(Cursor& cursor, PictureResource::Kind kind) {
    PictureResource picture;
    picture.kind = kind;
    picture.key = cursor.resource_id();
    picture.file = cursor.text("the picture's file");
    cursor.finish();
    if (picture.file.empty()) fail("empty picture file name");
    std::string key = picture.key;
    if (!module_.pictures.emplace(key, std::move(picture)).second) fail("picture " + key + " given twice");
  }

  LanguageModule module_;
  std::optional<DialogTemplate> dialog_;
  std::optional<MenuTemplate> menu_;
  // The item lists of the open menu and its open popups, innermost last.
  // Pointers into menu_ stay valid: an item list only grows at its end while
  // it is the innermost one, and a popup's children are pushed only after the
  // popup itself was added.
  std::vector<std::vector<MenuItem>*> open_lists_;
  size_t line_number_ = 0;
};

template <typename Map>
const typename Map::mapped_type* find_in(const Map& map, const typename Map::key_type& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

std::string file_of_picture(const LanguageModule& module, const PictureResource* picture) {
  if (!picture) return {};
  if (picture->file.front() == '/' || module.folder.empty()) return picture->file;
  return module.folder + "/" + picture->file;
}

}  // namespace

std::string resource_key(uint32_t number) { return "#" + std::to_string(number); }

std::string resource_key(std::string_view name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), ascii_upper);
  return key;
}

const char* control_kind_name(ControlKind kind) {
  for (const auto& entry : kControlKinds)
    if (entry.kind == kind) return entry.name;
  return "static";
}

const ControlTemplate* DialogTemplate::control(uint32_t id) const {
  auto it = std::find_if(controls.begin(), controls.end(), [&](const ControlTemplate& c) { return c.id == id; });
  return it == controls.end() ? nullptr : &*it;
}

const std::string* LanguageModule::string(uint32_t id) const { return find_in(strings, id); }
const DialogTemplate* LanguageModule::dialog(uint32_t number) const { return find_in(dialogs, resource_key(number)); }
const DialogTemplate* LanguageModule::dialog(std::string_view name) const {
  return find_in(dialogs, resource_key(name));
}
const MenuTemplate* LanguageModule::menu(uint32_t number) const { return find_in(menus, resource_key(number)); }
const MenuTemplate* LanguageModule::menu(std::string_view name) const { return find_in(menus, resource_key(name)); }
const PictureResource* LanguageModule::picture(uint32_t number) const {
  return find_in(pictures, resource_key(number));
}
const PictureResource* LanguageModule::picture(std::string_view name) const {
  return find_in(pictures, resource_key(name));
}
std::string LanguageModule::picture_path(std::string_view name) const { return file_of_picture(*this, picture(name)); }
std::string LanguageModule::picture_path(uint32_t number) const { return file_of_picture(*this, picture(number)); }

std::optional<LanguageModule> parse_language_module(std::string_view text, std::string* error) {
  Parser parser;
  try {
    return parser.parse(text);
  } catch (const SyntaxError& e) {
    if (error) *error = "line " + std::to_string(parser.line_number()) + ": " + e.what;
  } catch (const std::bad_alloc&) {
    if (error) *error = "out of memory";
  }
  return std::nullopt;
}

std::optional<LanguageModule> load_language_module(const std::string& path, std::string* error) {
  try {
    auto text = read_whole_file(path);
    if (!text) {
      if (error) *error = "cannot read " + path;
      return std::nullopt;
    }
    std::string detail;
    auto module = parse_language_module(*text, &detail);
    if (!module) {
      if (error) *error = path + ": " + detail;
      return std::nullopt;
    }
    size_t slash = path.find_last_of('/');
    module->path = path;
    module->folder = slash == std::string::npos ? std::string() : path.substr(0, std::max<size_t>(slash, 1));
    size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
      module->language = resource_key(std::string_view(path).substr(dot + 1));
    return module;
  } catch (...) {
    if (error) *error = "out of memory";
    return std::nullopt;
  }
}

std::string language_module_file(const std::string& folder, std::string_view stem, std::string_view language) {
  std::string file = folder;
  if (!file.empty() && file.back() != '/') file += '/';
  file.append(stem).append(".").append(language);
  return file;
}

}  // namespace zyp::platform
