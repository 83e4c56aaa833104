#pragma once
// Driven windows: with $ZYP_UI_QT_DRIVE=FILE the qt backend takes the user's
// actions from a script in the format of ZYP_UI=script:FILE and performs them
// on the real widgets with key and mouse events, as a person would. Tests run
// the real dialogs this way (also inside another process, such as the
// server), and scripts/screenshots.sh takes its pictures with it
// ($ZYP_UI_QT_SNAPSHOTS=FOLDER saves each window as a PNG file before the
// first action on it). Popup menus, for which scripts have no action, are
// dismissed.
#include <QObject>
#include <QTimer>

#include <set>
#include <string>

#include "platform/ui/script.h"

class QWidget;

namespace zyp::platform::ui::qt {

inline constexpr char kDriveVariable[] = "ZYP_UI_QT_DRIVE";
inline constexpr char kSnapshotVariable[] = "ZYP_UI_QT_SNAPSHOTS";

class QtHost;
class DialogWindow;

// Lives on the toolkit's thread.
class Driver {
 public:
  Driver(QtHost& host, std::string script, std::string snapshots);
  ~Driver();

 private:
  void step();
  bool fits(const detail::ScriptAction& action) const;
  DialogWindow* shown_dialog(const std::string& key) const;
  // Performs a dialog action; the reason when it cannot be done.
  std::string perform(DialogWindow& window, const detail::ScriptAction& action);
  std::string answer_box(const detail::ScriptAction& action);
  void answer_chooser(const detail::ScriptAction& action);
  // Closes what waits for an answer, as Escape does, after a mismatch.
  void escape(const std::string& what, const std::string& reason);
  void close_dialog(DialogWindow& dialog, const std::string& reason);
  void snapshot(QWidget* widget, const std::string& name);

  QtHost& host_;
  detail::ScriptCursor cursor_;
  std::string snapshots_;
  std::set<uint32_t> snapped_;  // windows already saved
  int snapshot_count_ = 0;
  QTimer timer_;
};

}  // namespace zyp::platform::ui::qt
