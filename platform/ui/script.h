#pragma once
// Scripts of user actions (ZYP_UI=script:FILE): the parser of one line and
// the shared position in the file. The format is described in
// platform/ui/SCRIPT_FORMAT.txt.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"

namespace zyp::platform::ui::detail {

struct ScriptAction {
  enum class Verb : uint8_t { Set, Check, Select, Click, Tick, MsgBox, Browse, Invalid };
  Verb verb = Verb::Invalid;
  int line = 0;             // 1-based line number in the file
  std::string source;       // the line as written, without its comment
  std::string dialog;       // dialog verbs: the resource key of N ("#129", "ABOUTENU")
  uint32_t control = 0;     // set, check, select, click
  int64_t number = 0;       // check: 0 or 1, select: index, tick: count, msgbox: button
  std::string text;         // set: the text; browse: the path
  bool cancel = false;      // browse without a path
  std::string error;        // Invalid: what is wrong with the line

  bool for_dialog() const {
    return verb == Verb::Set || verb == Verb::Check || verb == Verb::Select || verb == Verb::Click ||
           verb == Verb::Tick;
  }
};

// The action of one line; nothing for a blank or comment line.
std::optional<ScriptAction> parse_script_line(std::string_view line, int number);

// The first action at or after byte `offset` of `script`, with the offset of
// the line after it; no action at the end of the script.
struct ScriptStep {
  std::optional<ScriptAction> action;
  size_t next_offset = 0;
};
ScriptStep next_script_action(std::string_view script, size_t offset);

// The position in a script, shared by every process that has the same file
// open as its script: each action is taken by exactly one of them. The
// position lives in a shared block named after the file, which starts again
// at the top when no live process uses the script any more, or when the part
// already taken has changed (a new script under the same name).
class ScriptCursor {
 public:
  explicit ScriptCursor(std::string path);
  ~ScriptCursor();
  ScriptCursor(const ScriptCursor&) = delete;
  ScriptCursor& operator=(const ScriptCursor&) = delete;

  // Looks at the next action and moves past it when `take` returns true, in
  // one step that no other process can come between. `take` must only
  // decide. Nothing when the script has ended (or cannot be read: *problem
  // then says why).
  std::optional<ScriptAction> next(const std::function<bool(const ScriptAction&)>& take,
                                   std::string* problem = nullptr);

  const std::string& path() const { return path_; }

 private:
  struct Position {
    uint64_t offset;
    uint64_t prefix_hash;
  };
  Position* position();

  std::string path_;
  std::string lock_path_;
  std::unique_ptr<SharedMemory> shared_;
  Position local_{0, 0};  // when the shared block cannot be made
};

}  // namespace zyp::platform::ui::detail
