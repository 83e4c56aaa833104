#pragma once
// The widgets of the qt backend. They live on the toolkit's own thread and
// only mirror the model: each window's thread sends a copy of what the
// window shows (WindowView), and what the user does comes back as a
// UserAction, which that thread applies to the model like any other
// backend's user. So the handler's events run on the window's thread and the
// transcript reads the same as with the other backends.
#include <QDialog>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/ui/model.h"

class QWidget;

namespace zyp::platform::ui::qt {

struct WindowView {
  uint32_t handle = 0;
  uint32_t owner = 0;  // the owner's handle, 0 for none
  detail::WindowRole role = detail::WindowRole::Modal;
  std::string key;  // "#129"
  std::string id;   // "129"
  std::string caption;
  bool on_screen = false;
  int width_units = 0;
  int height_units = 0;
  ScreenRect rect;  // the model's rectangle (6 x 13 pixel dialog font)
  std::string picture;
  uint32_t focus = 0;
  std::vector<detail::Control> controls;
  // False while the user's latest actions are not yet in the model: edits
  // then keep what the user typed rather than the model's older text.
  bool settled = true;
};

struct UserAction {
  // Mismatch: a driven run could not do a script line (recorded on the
  // window's thread, after the typing before it).
  enum class Kind : uint8_t { Type, Check, Select, Click, Cancel, Mismatch };
  uint32_t handle = 0;
  Kind kind = Kind::Click;
  uint32_t control = 0;
  std::string text;    // Type: the edit's text; Mismatch: what it was for
  int64_t number = 0;  // Check: 0 or 1; Select: the index
  std::string reason;  // Mismatch
};

// What a view holds instead of a password edit's text when it is not empty.
inline constexpr char kPasswordHeld[] = "\x01";

// The property of a message box button that holds its ButtonId.
inline constexpr char kButtonIdProperty[] = "zypButtonId";

using ActionSink = std::function<void(UserAction)>;

// One dialog or window on screen.
class DialogWindow final : public QDialog {
 public:
  DialogWindow(const WindowView& view, QWidget* parent, ActionSink sink);

  // Brings the widgets to what the view shows, without sending actions.
  void update_from(const WindowView& view);
  uint32_t handle() const { return handle_; }
  const std::string& key() const { return key_; }
  detail::WindowRole role() const { return role_; }
  // The widget of a control, null when there is none (or several share the id).
  QWidget* control_widget(uint32_t control) const;
  ControlKind control_kind(uint32_t control) const;

  // The next click on check box or radio button `control` is reported as
  // `kind` (a script's "click" rather than "check").
  void report_next_as(uint32_t control, UserAction::Kind kind) { reported_as_[control] = kind; }

  void reject() override;  // Escape: Cancel goes to the handler
 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Slot {
    detail::Control shown;  // what the widget shows now
    QWidget* widget = nullptr;
  };
  void build(const WindowView& view);
  QWidget* make_widget(const detail::Control& control);
  void update_control(Slot& slot, const detail::Control& control, bool first);
  void act(UserAction::Kind kind, uint32_t control, std::string text = {}, int64_t number = 0);
  QRect to_pixels(const Rect& units) const;

  uint32_t handle_;
  std::string key_;
  detail::WindowRole role_;
  ActionSink sink_;
  int base_x_ = 6;  // pixels per 4 horizontal dialog units
  int base_y_ = 13;  // pixels per 8 vertical dialog units
  std::vector<Slot> slots_;
  QWidget* backdrop_ = nullptr;
  std::string backdrop_picture_;
  uint32_t focus_ = 0;
  bool shown_once_ = false;
  bool settled_ = true;
  std::map<uint32_t, UserAction::Kind> reported_as_;
};

// The picture file, loaded with white taken as transparent; null when it
// cannot be read.
QPixmap load_picture(const std::string& file);

}  // namespace zyp::platform::ui::qt
