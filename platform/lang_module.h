#pragma once
// Language modules: the per-language resource files of a deliverable
// (STEM.LANG, for example ZYPres.ENU) holding its string table, dialog
// templates, menus and picture references. The text format is described in
// resources/LANGUAGE_MODULES.txt; in short:
//
//   # comment
//   string 2 "Copying %s"
//   dialog 102 "Progress" size 240 70
//     control 1000 progress "" at 10 30 220 10
//     control 2 button "Cancel" at 95 50 50 14 default
//   end
//   menu 200
//     item 1001 "&Open"
//     separator
//     popup "&More"
//       item 1002 "&Details" grayed
//     end
//   end
//   bitmap IDB_DEFAULTBITMAP "zypdefault.bmp"
//
// Parsing is strict: any line that does not follow the format makes the
// whole module fail with the line number, so a faulty module is found when
// it is made rather than when a dialog turns out incomplete.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform {

// Resources other than strings are named by a number (0 to 65535) or by a
// name (letters, digits and '_', not starting with a digit; compared without
// regard to case). A resource_key is the canonical form: "#101" for a
// number, the upper-case name otherwise.
std::string resource_key(uint32_t number);
std::string resource_key(std::string_view name);

enum class ControlKind : uint8_t {
  Static,    // text
  Edit,      // text entry
  Button,    // push button
  Check,     // check box
  Radio,     // radio button
  Group,     // group frame
  Combo,     // combo box
  List,      // list box
  ListView,  // list view with columns
  Tab,       // tab strip
  Progress,  // progress bar
  Picture,   // picture area (a bitmap or an animation)
  Icon,      // static icon
};

// The keyword of a kind in the module text ("static", "listview", ...).
const char* control_kind_name(ControlKind kind);

enum ControlStyle : uint32_t {
  kStyleDefault = 0x01,    // the default push button
  kStylePassword = 0x02,   // edit: characters are not shown
  kStyleNumber = 0x04,     // edit: digits only
  kStyleReadOnly = 0x08,   // edit: not editable
  kStyleMultiline = 0x10,  // edit: several lines
  kStyleDisabled = 0x20,   // greyed out at start
  kStyleHidden = 0x40,     // not shown at start
  kStyleChecked = 0x80,    // check box or radio button ticked at start
};

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct ControlTemplate {
  uint32_t id = 0;
  ControlKind kind = ControlKind::Static;
  std::string text;
  uint32_t styles = 0;  // ControlStyle bits
  uint32_t limit = 0;   // edit: most characters accepted, 0 for no limit
  Rect position;        // in dialog units
  bool has(ControlStyle style) const { return (styles & style) != 0; }
};

struct DialogTemplate {
  std::string key;  // resource_key of its number or name
  std::string caption;
  int width = 0;
  int height = 0;
  std::vector<ControlTemplate> controls;  // in file order (the tab order)
  const ControlTemplate* control(uint32_t id) const;
};

struct MenuItem {
  enum class Kind : uint8_t { Command, Separator, Popup };
  Kind kind = Kind::Command;
  uint32_t id = 0;  // commands only
  std::string text;
  bool grayed = false;
  bool checked = false;
  std::vector<MenuItem> children;  // popups only
};

struct MenuTemplate {
  std::string key;
  std::vector<MenuItem> items;
};

struct PictureResource {
  enum class Kind : uint8_t { Bitmap, Icon };
  std::string key;
  Kind kind = Kind::Bitmap;
  std::string file;  // absolute, or relative to the module's folder as written
};

class LanguageModule {
 public:
  // The module's file, its folder and its language code (the file's extension).
  std::string path;
  std::string folder;
  std::string language;

  std::map<uint32_t, std::string> strings;
  std::map<std::string, DialogTemplate> dialogs;  // by resource_key
  std::map<std::string, MenuTemplate> menus;
  std::map<std::string, PictureResource> pictures;

  const std::string* string(uint32_t id) const;
  const DialogTemplate* dialog(uint32_t number) const;
  const DialogTemplate* dialog(std::string_view name) const;
  const MenuTemplate* menu(uint32_t number) const;
  const MenuTemplate* menu(std::string_view name) const;
  const PictureResource* picture(uint32_t number) const;
  const PictureResource* picture(std::string_view name) const;
  // The picture's file as a path that can be opened (relative files are
  // taken from the module's folder); empty when there is no such picture.
  std::string picture_path(std::string_view name) const;
  std::string picture_path(uint32_t number) const;
};

// Parses module text. On failure the result is empty and *error (when
// given) reads "line N: what is wrong".
std::optional<LanguageModule> parse_language_module(std::string_view text, std::string* error = nullptr);

// Reads and parses a module file; path, folder and language are filled in
// from the file name. Empty when it cannot be read or parsed (*error says why).
std::optional<LanguageModule> load_language_module(const std::string& path, std::string* error = nullptr);

// The file of `stem` in `language` inside `folder`: folder/STEM.LANG.
std::string language_module_file(const std::string& folder, std::string_view stem, std::string_view language);

// The module that a toolbox resource handle (ZYPResourceModule*) stands
// for: ZYPLoadResource hands out LanguageModule objects under that opaque
// type, so the user-interface host builds dialogs from the same data.
inline const LanguageModule* language_module_of(const void* handle) {
  return static_cast<const LanguageModule*>(handle);
}

}  // namespace zyp::platform
