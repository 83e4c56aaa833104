#pragma once
// Private profile (INI) files with the Windows semantics that stored files
// depend on:
// - "[name]" opens a section; "key=value" lines follow; lines starting with
//   ';' are comments. Lines that are none of these (blank, comment, text
//   before the first section, a line without '=') are kept as they are but
//   never read as keys.
// - Section and key names compare without regard to ASCII case; names and
//   values are trimmed of blanks and tabs on read; the first occurrence of a
//   section, and of a key within it, wins.
// - Reading a value removes one pair of enclosing double quotes.
// - Writing an existing key rewrites its line as "key=value", keeping the
//   stored spelling of the key; a new key goes after the last entry of its
//   section; a new section goes at the end of the file as "[name]" and its
//   key line. Deleting a key removes its lines; deleting a section removes
//   every block of that name with all its lines.
// - Lines end with CR LF on output; CR LF and lone LF are accepted on input.
//
// Registry hives use the same layout with another rule for keys
// (IniKeys::QuotedExact): a key line may start with a double-quoted name in
// which backslash escapes the next character, so the name may hold '=';
// keys compare byte for byte. Section names still ignore case.
//
// IniDocument is the text in memory (the key store never puts its plain text
// on a disk); the profile_* functions read a file whole, act on it and write
// it back atomically, keeping the file's mode and extended attributes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform {

enum class IniKeys : uint8_t {
  Profile,      // names up to the first '=', compared without ASCII case
  QuotedExact,  // a leading "quoted" name may hold '='; compared exactly
};

class IniDocument {
 public:
  struct Entry {
    std::string key;    // as stored
    std::string value;  // trimmed, quotes kept
  };

  IniDocument() = default;
  explicit IniDocument(std::string_view text, IniKeys keys = IniKeys::Profile);
  explicit IniDocument(IniKeys keys) : keys_(keys) {}

  // The whole text, every line ended by CR LF.
  std::string text() const;
  bool empty() const { return lines_.empty(); }

  bool has_section(std::string_view section) const;
  // The value with one pair of enclosing quotes removed (GetPrivateProfileString).
  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  // The value as stored, trimmed but with its quotes.
  std::optional<std::string> raw_value(std::string_view section, std::string_view key) const;
  // Names in file order, each once, in their first spelling.
  std::vector<std::string> section_names() const;
  std::vector<std::string> key_names(std::string_view section) const;
  // The readable entries of a section in file order (one per key name).
  std::vector<Entry> entries(std::string_view section) const;

  // False (nothing changed) when a name is empty, or the section, key or
  // value cannot stand on one line of its kind: CR, LF or NUL anywhere, '='
  // in a key (outside a quoted name under IniKeys::QuotedExact), a key
  // starting with '[' or ';'.
  bool set(std::string_view section, std::string_view key, std::string_view value);
  // Appends an empty section when there is none of that name.
  bool add_section(std::string_view section);
  // True when something was removed.
  bool erase_key(std::string_view section, std::string_view key);
  bool erase_section(std::string_view section);

 private:
  enum class Kind : uint8_t { Other, Section, Key };
  struct Line {
    std::string text;
    Kind kind = Kind::Other;
    std::string name;   // section or key name, trimmed
    size_t equals = 0;  // a key line's '=' before its value
  };
  struct Range {
    size_t header;
    size_t end;  // one past the section's last line
  };

  Line classify(std::string text) const;
  size_t key_end(std::string_view body) const;
  bool same_key(std::string_view a, std::string_view b) const;
  bool valid_key(std::string_view key) const;
  std::optional<Range> find_section(std::string_view section) const;
  std::optional<size_t> find_key(const Range& range, std::string_view key) const;
  std::optional<std::string> trimmed_value(std::string_view section, std::string_view key) const;

  std::vector<Line> lines_;
  IniKeys keys_ = IniKeys::Profile;
};

// Removes one pair of enclosing double quotes (a value of at least two
// characters that starts and ends with '"').
std::string_view unquote_profile_value(std::string_view value);

// Files. A missing file reads as an empty document; the result is empty when
// the file exists but cannot be read (errno set).
std::optional<IniDocument> read_ini_file(const std::string& path, IniKeys keys = IniKeys::Profile);
// Replaces the file with the document. A file that exists keeps its mode and
// its "user." extended attributes (the suite's attribute word); a new one is
// made with mode 0644. A file whose owner write bit is clear (the read-only
// attribute) is refused with error 5. On failure last_error() says why.
bool write_ini_file(const std::string& path, const IniDocument& doc);

// GetPrivateProfileString for one key: the value, or nothing when the file,
// section or key is missing.
std::optional<std::string> read_profile_value(const std::string& path, std::string_view section,
                                              std::string_view key);
std::string get_profile_string(const std::string& path, std::string_view section, std::string_view key,
                               std::string_view fallback);
// GetPrivateProfileInt: `fallback` when the key is missing or empty; else
// the leading number of the value (decimal, or hexadecimal after "0x",
// optionally signed, blanks skipped), 0 when there is none.
uint32_t get_profile_int(const std::string& path, std::string_view section, std::string_view key,
                         int32_t fallback);
// GetPrivateProfileSectionNames, and GetPrivateProfileString with a null key.
std::vector<std::string> get_profile_section_names(const std::string& path);
std::vector<std::string> get_profile_key_names(const std::string& path, std::string_view section);

// WritePrivateProfileString with a value, with a null value, and with a null
// key. Writing creates a missing file; deleting what is not there succeeds
// and writes nothing. False with last_error() set on failure (87 for a name
// or value that cannot be stored, 5 for a read-only file).
bool write_profile_string(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value);
bool delete_profile_key(const std::string& path, std::string_view section, std::string_view key);
bool delete_profile_section(const std::string& path, std::string_view section);

// The Windows list form of `names` in `buffer`: each name and a NUL, then one
// more NUL. Returns the characters written without the final NUL. When the
// list does not fit, it is cut so that the buffer ends with two NULs, and the
// result is size - 2. A buffer of one byte gets a single NUL.
size_t to_double_nul_list(const std::vector<std::string>& names, char* buffer, size_t size);

}  // namespace zyp::platform
