#pragma once
// The journal of in-place rewrites. Before a file is rewritten in place, a
// complete copy of its new or of its old contents is put on the disk and a
// record naming the file and the copy is written (both forced to the disk).
// A rewrite that was cut short (the process was killed, the machine stopped,
// a write failed) is completed or undone from the copy the next time a
// program loads the library, so the file ends up holding either its whole
// old or its whole new contents. In place the copies hold ciphertext: the new
// image when encrypting, the encrypted original when decrypting; a
// decryption into another file keeps that file's old contents.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zyp::file {

enum class Rewrite : uint32_t {
  roll_forward = 1,  // the copy holds the new contents
  roll_back = 2,     // the copy holds the old contents
};

// What a record holds.
struct JournalRecord {
  uint32_t phase = 1;  // 1 prepared: the target is untouched; 2 rewriting; 3 completed
  Rewrite direction = Rewrite::roll_forward;
  uint64_t device = 0;  // the target's identity
  uint64_t inode = 0;
  std::string target;
  std::string copy;
  std::string scratch;
};

class Journal {
 public:
  // Records that `target` (identity `identity`, locked by the caller) is to
  // be rewritten in place from or with the copy `copy`; `scratch` (may be
  // empty) is a temporary file of the operation. Until rewriting() the
  // record only names files to erase should the operation die. Null when
  // the record cannot be written.
  static std::unique_ptr<Journal> begin(Rewrite direction, const std::string& target, const struct stat& identity,
                                        const std::string& copy, const std::string& scratch);
  // The record goes, unless its rewrite started and neither finished nor
  // was settled (it then stays for the next start). Destroy the journal after
  // the temporary files it names, so that they never outlive the record.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The copy is complete and on the disk, and the target is about to be
  // written. False when the record cannot be updated (nothing may be written).
  bool rewriting();
  // The rewrite is on the disk: the record is marked completed, and goes
  // with the journal.
  void finish();
  // The rewrite failed: puts the copy's contents into the target (open as
  // `target_fd`) now. True when done; the record is then completed.
  bool settle(int target_fd);
  // Whether a started rewrite is still recorded: its copy must then be kept.
  bool pending() const;

 private:
  enum class Phase : uint32_t { prepared = 1, rewriting = 2, done = 3 };
  Journal() = default;
  bool write(Phase phase);

  std::string path_;
  JournalRecord record_;
  Phase phase_ = Phase::prepared;
  bool removed_ = false;
};

// The folder of the records: "journal" in the user's data folder.
std::string journal_folder();

// Completes or undoes every recorded rewrite whose operation is no longer
// running (its target is not locked), then erases its copy and scratch file.
// Returns how many were settled.
int recover_interrupted_rewrites();

}  // namespace zyp::file
